#!/usr/bin/env bash
# Builds kestrum and the test-only module with ThreadSanitizer for a free-threaded CPython 3.13t
# that is itself built with it, runs the threaded tests under it with the GIL off, and fails on
# any report that has a kestrum frame.
#
#   bash tools/tsan.sh [pytest arguments...]      (default: tests/test_threads.py)
#
# The interpreter (tools/find-python.sh 3.13t-tsan, built once per machine) is instrumented, as
# CPython's own free-threading CI runs its tests: ThreadSanitizer sees the interpreter's locks,
# its allocator and its atomics, so a report is a race, whoever's. Every program here shares
# gcc's runtime, which the interpreter links. The suppressions are the interpreter's own, from its
# source (Tools/tsan/), with tools/tsan.supp after them; both name interpreter frames only. Of the
# interpreter's, race_top:update_one_slot matches where a constructor is replaced: 3.13 writes a
# class's slot plainly as `Cls.__init__` is assigned (its gh-127266), racing its own type_call
# and kestrum's atomic read of the slot alike, which nothing on kestrum's side can order.
# PYTHON_GIL=0 keeps the GIL off even if a module asks for it.
#
# Leaves on the machine: the build, a virtual environment with pytest and hypothesis, and the
# reports, under build/tsan/ in the clone.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
interpreter="$(bash "$root/tools/find-python.sh" 3.13t-tsan | tail -n 1)"
build="${KESTRUM_TSAN_BUILD:-$root/build/tsan}"
logs="$build/reports"
cxx=g++
mkdir -p "$build"
suppressions="$build/tsan.supp"
cat "$(dirname "$interpreter")/../share/tsan/suppressions_free_threading.txt" \
    "$root/tools/tsan.supp" >"$suppressions"

# Runs an instrumented program: this runtime maps its shadow memory at fixed places that a
# randomised layout may already use (setarch -R). Reports matter only for the tests, below.
instrumented() {
    setarch "$(uname -m)" -R env TSAN_OPTIONS="${TSAN_OPTIONS:-report_bugs=0}" "$@"
}

# The environment the tests run in; remade when its interpreter has gone.
venv="$build/venv"
python="$venv/bin/python"
if ! instrumented "$python" -c '' 2>/dev/null; then
    rm -rf "$venv"
    instrumented "$interpreter" -m venv "$venv"
    # hypothesis as in tools/test-wheel.sh: newer ones build with Rust on 3.13t.
    instrumented "$python" -m pip install --quiet --disable-pip-version-check \
        --root-user-action=ignore pytest hypothesis==6.155.2 cmake ninja
fi

# The build of an earlier, since deleted environment names its gone tools: start again.
cache="$build/cmake/CMakeCache.txt"
if [ -f "$cache" ] && ! [ -x "$(sed -n 's/^CMAKE_MAKE_PROGRAM:[A-Z]*=//p' "$cache")" ]; then
    rm -rf "$build/cmake"
fi
if [ ! -f "$cache" ]; then
    # The host's g++ has the runtime; a toolchain file (tools/lib/compiler.sh) would choose zig.
    instrumented env -u CMAKE_TOOLCHAIN_FILE "$venv/bin/cmake" -S "$root" -B "$build/cmake" \
        -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_SANITIZE_THREAD=ON -DKESTRUM_TESTING=ON \
        -DPython_EXECUTABLE="$python" >/dev/null
fi
nice "$venv/bin/cmake" --build "$build/cmake" -j "${KESTRUM_JOBS:-2}" --target kestrum _kestrum_testing

targets=("$root/tests/test_threads.py")
for argument in "$@"; do
    [ -e "${argument%%::*}" ] && targets=()
done

rm -rf "$logs"
mkdir -p "$logs"
status=0
# exitcode=0: reports are judged below, not by pytest's status.
options="suppressions=$suppressions:print_suppressions=1:exitcode=0:history_size=7"
TSAN_OPTIONS="$options:log_path=$logs/tsan" instrumented env PYTHON_GIL=0 \
    PYTHONPATH="$build/cmake" \
    KESTRUM_TESTING_BUILD="$build/cmake/tests/native" \
    KESTRUM_THREAD_OPERATIONS="${KESTRUM_THREAD_OPERATIONS:-20000}" \
    "$python" -m pytest -p no:cacheprovider "${targets[@]}" "$@" || status=$?

# A report concerns kestrum when a frame of its stacks is in kestrum's sources or objects. The
# suppressions that matched are counted too: a suppressed report may have had kestrum frames on
# its other stack.
instrumented "$python" - "$logs" <<'EOF' || status=1
import collections, pathlib, re, sys

ours = re.compile(r" (binding|src|crates|tests/native)/\S+:\d+|kestrum\.cpython|_kestrum_testing\.cpython")
ours_count, other = 0, 0
for log in sorted(pathlib.Path(sys.argv[1]).glob("tsan.*")):
    for report in re.findall(r"={18}\n(WARNING: ThreadSanitizer.*?)\n={18}", log.read_text(errors="replace"), re.S):
        if ours.search(report):
            ours_count += 1
            print(f"{log.name}:\n{report}\n")
        else:
            other += 1
matched = collections.Counter()
for log in pathlib.Path(sys.argv[1]).glob("tsan.*"):
    for count, pattern in re.findall(r"^(\d+) (\w+:\S+)$", log.read_text(errors="replace"), re.M):
        matched[pattern] += int(count)
for pattern, count in sorted(matched.items()):
    print(f"tsan: suppressed {count} time(s): {pattern}")
print(f"tsan: {ours_count} report(s) with a kestrum frame, {other} without; logs in {sys.argv[1]}")
sys.exit(1 if ours_count else 0)
EOF
exit "$status"
