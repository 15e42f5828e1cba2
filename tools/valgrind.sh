#!/usr/bin/env bash
# Runs the test suite under valgrind's memcheck and fails on any invalid read, write or free
# (except the known overreads of glibc's vectorised string routines), and on any use of
# uninitialised memory or definite leak that involves kestrum's frames.
#
#   bash tools/valgrind.sh [pytest arguments...]
#
# kestrum and the test-only module are built with debug information into build/valgrind.
# PYTHONMALLOC=malloc makes every Python object a heap block of its own, which is what lets
# memcheck see a read past one. Slow (the whole suite takes tens of minutes), so not part of
# CI; the heavy tests run smaller here (fewer property-test examples and threaded operations,
# and no ten-million-element scale check). Processes that tests start are not traced.
set -euo pipefail

source "$(dirname "$0")/lib/native-build.sh"
build="${KESTRUM_VALGRIND_BUILD:-$root/build/valgrind}"
logs="$build/reports"
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }

native_build "$build" kestrum _kestrum_testing -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRUM_TESTING=ON
suite_targets "$@"

rm -rf "$logs"
mkdir -p "$logs"
set +e
env \
    PYTHONMALLOC=malloc \
    "${built_env[@]}" \
    KESTRUM_FUZZ_EXAMPLES="${KESTRUM_FUZZ_EXAMPLES:-20}" \
    KESTRUM_THREAD_OPERATIONS="${KESTRUM_THREAD_OPERATIONS:-1000}" \
    KESTRUM_SKIP_SCALE=1 \
    valgrind --tool=memcheck --xml=yes --xml-file="$logs/memcheck.%p.xml" \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --num-callers=40 --trace-children=no \
        "$python" -m pytest -p no:cacheprovider "${targets[@]}" "$@"
status=$?
set -e

# Leaks that tools/lsan.supp excuses (none at present) are left out here too.
exec "$python" - "$logs" "$status" "$root/tools/lsan.supp" <<'EOF'
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

logs, status, suppressions = pathlib.Path(sys.argv[1]), int(sys.argv[2]), pathlib.Path(sys.argv[3])
kept_on_purpose = [
    line.split(":", 1)[1].strip()
    for line in suppressions.read_text().splitlines()
    if line.startswith("leak:")
]
ours = re.compile(r"kestrum\.cpython|_kestrum_testing\.cpython")
invalid = re.compile(r"Invalid(Read|Write|Free|Jump|MemPool)|MismatchedFree|Overlap|FishyValue")

failures, foreign = [], 0
for log in sorted(logs.glob("memcheck.*.xml")):
    text = log.read_text(errors="replace")
    if "<error>" not in text:
        # Also the unfinished reports of processes forked to run another program, which
        # memcheck stops following when they do.
        continue
    root = ET.fromstring(text)
    for error in root.iter("error"):
        kind = error.findtext("kind", "")
        frames = [
            (frame.findtext("obj", ""), frame.findtext("fn", ""), frame.findtext("file", ""),
             frame.findtext("line", ""))
            for frame in error.iter("frame")
        ]
        involves_us = any(ours.search(obj) for obj, _, _, _ in frames)
        if kind.startswith("Leak_") and any(
            pattern in fn for pattern in kept_on_purpose for _, fn, _, _ in frames
        ):
            continue
        # glibc's vectorised string routines read whole aligned blocks, past the end of their
        # inputs but never past a page; memcheck cannot tell that from a real overread.
        vectorised = bool(frames) and re.search(r"_(avx2|evex|sse\d)", frames[0][1])
        if (invalid.match(kind) and not vectorised) or involves_us:
            what = error.findtext("what") or error.findtext("xwhat/text") or ""
            stack = "\n".join(f"    {fn} ({file}:{line}) in {obj}" for obj, fn, file, line in frames)
            failures.append(f"{log.name}: {kind}: {what}\n{stack}")
        else:
            foreign += 1

for failure in failures:
    print(failure, end="\n\n")
print(f"valgrind: {len(failures)} error(s) concerning kestrum or invalid accesses, "
      f"{foreign} other report(s) of the interpreter ignored; reports kept in {logs}")
sys.exit(status if status != 0 else (1 if failures else 0))
EOF
