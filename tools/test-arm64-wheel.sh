#!/usr/bin/env bash
# Runs the test suite against the arm64 wheel of one CPython version under qemu-user emulation:
# the wheel given, or one that tools/build-arm64-wheel.sh builds first.
#
#   bash tools/test-arm64-wheel.sh 3.11|3.13|3.14|3.15|3.13t [--built WHEEL] [pytest arguments...]
#
# The wheel is installed with its test extra into an emulated environment; the test-only module
# is built for the same interpreter with the same compiler, natively (the environment's cmake is
# an arm64 program). The stubs' type checks (tests/test_typing.py) are left out: they give the
# same answer on every architecture, run natively with every x86-64 wheel, and under emulation
# they were most of the run.
#
# Exits with pytest's status; 5 means that no test was collected.
set -euo pipefail
cd "$(dirname "$0")/.."

version="${1:?usage: test-arm64-wheel.sh 3.11|3.13|3.14|3.15|3.13t [--built WHEEL] [pytest arguments...]}"
shift
fail() { echo "test-arm64-wheel.sh: $*" >&2; exit 1; }
if [ "${1:-}" = "--built" ]; then
    wheel="$(realpath "${2:?--built needs a wheel}")"
    shift 2
else
    wheel="$(realpath "$(bash tools/build-arm64-wheel.sh "$version" | tail -n 1)")"
fi
source tools/lib/arm64.sh

echo "== installing $(basename "$wheel") with its test extra into an emulated environment"
environment "$work/venv" "$wheel[test]"
cmake -S . -B "$work/testing" -G Ninja "${cmake_args[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DKESTRUM_TESTING=ON -DPython_EXECUTABLE="$work/venv/bin/python" >"$work/testing.log" 2>&1 ||
    { cat "$work/testing.log"; fail "configuring the test-only module failed"; }
cmake --build "$work/testing" --target _kestrum_testing >>"$work/testing.log" 2>&1 ||
    { cat "$work/testing.log"; fail "building the test-only module failed"; }
export KESTRUM_TESTING_BUILD="$work/testing/tests/native"

"$work/venv/bin/python" tools/lib/installed.py "$wheel"
"$work/venv/bin/python" -m pytest --ignore=tests/test_typing.py "$@"
