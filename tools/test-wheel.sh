#!/usr/bin/env bash
# Installs a wheel for one interpreter with its test extra into a fresh virtual environment made
# with that interpreter and runs the test suite against that installation. The wheel is the one
# given, or one that tools/build-wheel.sh builds and repairs first (into build/wheels/; dist/
# stays the release's). The test extra is installed as the README installs it, wheels only.
#
#   bash tools/test-wheel.sh [--python PYTHON] [--built WHEEL] [pytest arguments...]
#                                                                     (default: python3)
#
# An interpreter from a Debian root (tools/debian-python.sh) builds on the host, and the suite
# runs inside that root, with its own C library, as that system's users would run it.
#
# Exits with pytest's status; 5 means that no test was collected.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/root.sh

python=python3
if [ "${1:-}" = "--python" ]; then
    python="${2:?--python needs an interpreter}"
    shift 2
fi
wheel=""
if [ "${1:-}" = "--built" ]; then
    wheel="${2:?--built needs a wheel}"
    shift 2
fi

if root="$(root_of "$python")"; then
    [ -n "$wheel" ] || wheel="$(bash tools/build-wheel.sh "$python" | tail -n 1)"
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    run_in_root "$root" bash "$PWD/tools/test-wheel.sh" --python "python$version" \
        --built "$(realpath "$wheel")" "$@"
fi
if [ "${KESTRUM_IN_ROOT:-}" != 1 ]; then
    # The suite builds its test-only module with the wheel's compiler (inside a root, with that
    # system's own).
    source tools/lib/compiler.sh "$python"
    [ -n "$wheel" ] || wheel="$(bash tools/build-wheel.sh "$python" | tail -n 1)"
fi

venv="$(mktemp -d)/venv"
trap 'rm -rf "$(dirname "$venv")"' EXIT
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore)
# Wheels only: the newest releases of some test tools have no wheel for a free-threaded
# interpreter, and pip would try to build them; it takes the newest that has one instead.
"${pip[@]}" --only-binary :all: "$wheel[test]"
"$venv/bin/python" tools/lib/installed.py "$wheel"
"$venv/bin/python" -m pytest "$@"
