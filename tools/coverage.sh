#!/usr/bin/env bash
# Line coverage of the native code (binding/, src/, crates/) by the test suite.
#
#   bash tools/coverage.sh [pytest arguments...]
#
# kestrum and the test-only module are built with --coverage, unoptimised so that every line
# keeps its own counter, into build/coverage; the suite runs against that build (processes that
# tests start add their counts too), and gcovr, installed into a virtual environment of its own,
# reports each file's covered share and the lines that never ran. Counters start from zero on
# every run. The report is also written to build/coverage/report.txt.
set -euo pipefail

source "$(dirname "$0")/lib/native-build.sh"
build="${KESTRUM_COVERAGE_BUILD:-$root/build/coverage}"
venv="$build/venv"

native_build "$build" kestrum _kestrum_testing -- -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_MODULE_LINKER_FLAGS="--coverage" -DKESTRUM_TESTING=ON

if [ ! -x "$venv/bin/gcovr" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --root-user-action=ignore -r "$root/tools/coverage-requirements.txt"
fi

find "$build" -name '*.gcda' -delete

suite_targets "$@"

set +e
env \
    "${built_env[@]}" \
    "$python" -m pytest -q -p no:cacheprovider "${targets[@]}" "$@"
status=$?
set -e

# Only the modules' objects: cmake's compiler check was built with --coverage too. The objects
# name their sources relative to the source root (-ffile-prefix-map).
objects=("$build/CMakeFiles/kestrum_binding.dir" "$build/CMakeFiles/kestrum.dir"
    "$build/tests/native/CMakeFiles/_kestrum_testing.dir")
cd "$root"
"$venv/bin/gcovr" --root "$root" "${objects[@]}" \
    --filter 'binding/' --filter 'src/' --filter 'crates/' --merge-lines \
    --txt-metric line --txt "$build/report.txt"
cat "$build/report.txt"

# gcovr takes a line's count from the per-function blocks of gcov's output, and GCC 12's gcov
# prints no block for a lambda inside some template instances (the guarded deallocation of the
# test-only module's classes, say), so gcovr reports such lines as never run. gcov's own count
# for a line sums every instance; the list of lines never run, and the totals, come from it.
mapfile -t counters < <(find "${objects[@]}" -name '*.gcda' | sort)
"$python" - "${counters[@]}" <<'PY' | tee "$build/never-run.txt"
import collections
import re
import subprocess
import sys

TOPS = ("binding/", "src/", "crates/")
counts = collections.defaultdict(dict)  # file -> line -> largest count seen (0: never run)
for counter in sys.argv[1:]:
    output = subprocess.run(
        ["gcov", "--stdout", "--object-directory", counter.rsplit("/", 1)[0], counter],
        capture_output=True, text=True, check=True,
    ).stdout
    source = None
    for line in output.splitlines():
        if match := re.match(r"\s*-:\s*0:Source:(.*)", line):
            source = match.group(1) if match.group(1).startswith(TOPS) else None
        elif source and (match := re.match(r"\s*([^:\s]+):\s*(\d+):", line)):
            token, number = match.group(1), int(match.group(2))
            if token == "-":
                continue
            run = 0 if token.startswith(("#", "=")) else int(token.rstrip("*"))
            lines = counts[source]
            lines[number] = max(lines.get(number, 0), run)

print("\nLines never run, by gcov's own per-line counts:")
texts = {}
for source in sorted(counts):
    never = sorted(n for n, run in counts[source].items() if run == 0)
    if never:
        text = texts.setdefault(source, open(source).read().splitlines())
        for number in never:
            print(f"  {source}:{number}: {text[number - 1].strip()}")
print("\nBy directory:")
for top in TOPS:
    mine = [lines for source, lines in counts.items() if source.startswith(top)]
    total = sum(len(lines) for lines in mine)
    run = sum(1 for lines in mine for c in lines.values() if c > 0)
    share = f"{100 * run / total:.1f}%" if total else "-"
    print(f"  {top:9} {run:5} of {total:5} lines run  {share}")
PY
if [ "$status" -ne 0 ]; then
    echo "coverage: the tests failed (pytest status $status); the counts above are from that run"
fi
exit "$status"
