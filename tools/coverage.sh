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

root="$(cd "$(dirname "$0")/.." && pwd)"
python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"
build="${KESTRUM_COVERAGE_BUILD:-$root/build/coverage}"
venv="$build/venv"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_MODULE_LINKER_FLAGS="--coverage" \
        -DKESTRUM_TESTING=ON -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build "$build" -j "${KESTRUM_JOBS:-2}" --target kestrum _kestrum_testing

if [ ! -x "$venv/bin/gcovr" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --root-user-action=ignore -r "$root/tools/coverage-requirements.txt"
fi

find "$build" -name '*.gcda' -delete

# The whole suite unless the arguments name tests of their own.
targets=("$root/tests")
for argument in "$@"; do
    [ -e "${argument%%::*}" ] && targets=()
done

set +e
env \
    PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
    KESTRUM_TESTING_BUILD="$build/tests/native" \
    "$python" -m pytest -q -p no:cacheprovider "${targets[@]}" "$@"
status=$?
set -e

# Only the modules' objects: cmake's compiler check was built with --coverage too. The objects
# name their sources relative to the source root (-ffile-prefix-map).
cd "$root"
"$venv/bin/gcovr" --root "$root" \
    "$build/CMakeFiles/kestrum_binding.dir" "$build/CMakeFiles/kestrum.dir" \
    "$build/tests/native/CMakeFiles/_kestrum_testing.dir" \
    --filter 'binding/' --filter 'src/' --filter 'crates/' \
    --merge-lines \
    --txt-metric line --txt "$build/report.txt" --json-summary "$build/summary.json"
cat "$build/report.txt"

"$venv/bin/python" - "$build/summary.json" <<'PY'
import json
import sys

files = json.load(open(sys.argv[1]))["files"]
print("\nBy directory:")
for top in ("binding/", "src/", "crates/"):
    mine = [f for f in files if f["filename"].startswith(top)]
    total = sum(f["line_total"] for f in mine)
    covered = sum(f["line_covered"] for f in mine)
    share = f"{100 * covered / total:.1f}%" if total else "-"
    print(f"  {top:9} {covered:5} of {total:5} lines  {share}")
PY
if [ "$status" -ne 0 ]; then
    echo "coverage: the tests failed (pytest status $status); the counts above are from that run"
fi
exit "$status"
