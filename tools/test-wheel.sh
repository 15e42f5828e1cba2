#!/usr/bin/env bash
# Installs a wheel for one interpreter with its test extra into a fresh virtual environment made
# with that interpreter and runs the test suite against that installation. The wheel is the one
# given, or one that tools/build-wheel.sh builds and repairs first. On a free-threaded
# interpreter the test extra leaves out what cannot be installed there (see below).
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
gil_disabled="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED"))')"
if [ "$gil_disabled" = 1 ]; then
    # No marker tells a free-threaded interpreter apart, so the test extra is adjusted here:
    # the newest hypothesis builds with Rust, 6.155.2 installs; numpy builds from source unless
    # told to take its cp313t wheel; mypy needs ast-serialize, which has no cp313t wheel (all as of
    # 2026-12-09), so the typing tests find no mypy there.
    "${pip[@]}" "$wheel"
    mapfile -t extra < <("$venv/bin/python" -c '
import importlib.metadata, re
pins = {"hypothesis": "hypothesis==6.155.2"}
for requirement in importlib.metadata.requires("kestrum"):
    what, _, marker = requirement.partition(";")
    name = re.match(r"[A-Za-z0-9_.-]+", what).group()
    if re.search(r"extra *== *.test.", marker) and name != "mypy":
        print(pins.get(name, what.strip()))
')
    "${pip[@]}" --only-binary numpy "${extra[@]}"
else
    "${pip[@]}" "$wheel[test]"
fi
"$venv/bin/python" tools/lib/installed.py "$wheel"
"$venv/bin/python" -m pytest "$@"
