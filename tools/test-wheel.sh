#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel into dist/, installs the wheel with its test extra
# into a fresh virtual environment and runs the test suite against that installation.
# Arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="$(mktemp -d)/venv"
trap 'rm -rf "$(dirname "$venv")"' EXIT

python -m pip install --quiet --disable-pip-version-check --root-user-action=ignore build
rm -f dist/kestrum-*
python -m build --outdir dist .
wheels=(dist/kestrum-*.whl)

python -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    "${wheels[0]}[test]"
# Tests must see the installed module, never one from the source tree.
"$venv/bin/python" -c '
import os, sys, kestrum
where = os.path.realpath(kestrum.__file__)
assert where.startswith(os.path.realpath(sys.prefix) + os.sep), where
print("testing", where)
'
"$venv/bin/python" -m pytest "$@"
