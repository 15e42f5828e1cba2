#!/usr/bin/env bash
# Builds kestrum and the test-only module with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs the whole test suite under them with the ordinary release interpreter, and fails on any
# sanitizer report that concerns kestrum.
#
#   bash tools/sanitize.sh [pytest arguments...]
#
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded, and
# PYTHONMALLOC=malloc sends every Python allocation through the sanitizer's malloc, which is
# what lets it see a Python object that kestrum reads out of bounds, uses after free or leaks.
#
# Every process of the run (pytest, the interpreters and tools that tests start) writes its
# reports to its own file under the log directory; they are read at the end:
# - any AddressSanitizer error (out of bounds, use after free, double free, ...) in any process
#   fails the run: a wild write from kestrum can surface in an interpreter frame;
# - any UndefinedBehaviorSanitizer report fails it (only kestrum's code is instrumented);
# - a leak fails it when its allocation stack has a kestrum frame. Leaks of the interpreter
#   and of the tools (bash, nm, mypy) are counted and listed but are not ours to fix.
# tools/lsan.supp would name allocations that kestrum keeps on purpose; it is empty.
#
# Every allocation of the interpreter goes through the sanitizer here, which makes the
# property tests several times slower: they run 300 examples per constructor entry unless
# KESTRUM_FUZZ_EXAMPLES says otherwise (the ordinary test run does the full count).
set -euo pipefail

source "$(dirname "$0")/lib/native-build.sh"
# One build per interpreter version: the modules are compiled against its headers.
cache_tag="$("$python" -c 'import sys; print(sys.implementation.cache_tag)')"
build="${KESTRUM_SANITIZE_BUILD:-$root/build/sanitize-$cache_tag}"
logs="${KESTRUM_SANITIZE_LOGS:-$build/reports}"
# The sanitizer runtimes that g++ links the modules against; the interpreter is not linked
# against them, so they must be loaded first.
cxx=g++

native_build "$build" kestrum _kestrum_testing -- -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_SANITIZE=ON -DKESTRUM_TESTING=ON

asan="$("$cxx" -print-file-name=libasan.so)"
ubsan="$("$cxx" -print-file-name=libubsan.so)"
for runtime in "$asan" "$ubsan"; do
    [ -f "$runtime" ] || { echo "sanitize.sh: $runtime not found (install g++'s sanitizer runtimes)" >&2; exit 2; }
done

suite_targets "$@"

rm -rf "$logs"
mkdir -p "$logs"
status="$logs/pytest.status"

# exitcode=0: a leak anywhere would otherwise replace pytest's own exit status at exit; the
# reports are judged below instead. A memory error still stops the process where it happens.
set +e
env \
    LD_PRELOAD="$asan:$ubsan" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:exitcode=0:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$logs/asan" \
    LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/tools/ubsan.supp:log_path=$logs/ubsan" \
    "${built_env[@]}" \
    KESTRUM_SANITIZED=1 \
    KESTRUM_FUZZ_EXAMPLES="${KESTRUM_FUZZ_EXAMPLES:-300}" \
    "$python" -c '
import sys
import pytest
status = pytest.main(sys.argv[2:])
with open(sys.argv[1], "w") as out:
    out.write(str(int(status)))
sys.exit(status)
' "$status" -p no:cacheprovider "${targets[@]}" "$@"
set -e

# Kestrum's frames: its source directories, its namespace and its two shared objects.
exec "$python" - "$logs" "$status" <<'EOF'
import pathlib
import re
import sys

logs, status_file = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
ours = re.compile(r" (binding|src|crates|tests/native)/\S+:\d+| in kestrum::|kestrum\.cpython|_kestrum_testing\.cpython")

failures, foreign_leaks = [], []
for log in sorted(logs.glob("*san.*")):
    text = log.read_text(errors="replace")
    for record in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if "runtime error:" in record or re.search(r"ERROR: AddressSanitizer", record):
            failures.append(f"{log.name}:\n{record.strip()}")
        elif re.match(r"(Direct|Indirect) leak of ", record):
            (failures if ours.search(record) else foreign_leaks).append(f"{log.name}:\n{record.strip()}")

for record in failures:
    print(record, end="\n\n")
print(f"sanitize: {len(failures)} report(s) concerning kestrum, "
      f"{len(foreign_leaks)} leak record(s) of other code (interpreter, tools) ignored; "
      f"reports kept in {logs}")
if not status_file.exists():
    print("sanitize: the test run did not finish (see the reports above)")
    sys.exit(1)
status = int(status_file.read_text())
sys.exit(status if status != 0 else (1 if failures else 0))
EOF
