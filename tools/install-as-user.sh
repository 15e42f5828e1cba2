#!/usr/bin/env bash
# Installs kestrum from dist/ as a user of the given interpreter would, once from the sdist (built
# by that system's own compiler) and once from the repaired wheel, each into a fresh virtual
# environment, and runs the tour with each.
#
#   bash tools/install-as-user.sh PYTHON
#
# An interpreter from a Debian root (tools/debian-python.sh) is that root's user: the installs
# run inside the root.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/root.sh

python="${1:?usage: install-as-user.sh PYTHON}"
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
# The interpreter and ABI tags, as cp313-cp313t: a free-threaded build takes its own wheel.
tag="$("$python" -c 'import sys, sysconfig
t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print("cp%d%d-cp%d%d%s" % (*sys.version_info[:2], *sys.version_info[:2], t))')"
sdists=(dist/kestrum-*.tar.gz)
# This machine's glibc wheel: dist/ also holds the arm64 and musllinux ones of the same tag.
wheels=(dist/kestrum-*-"$tag"-*manylinux_*_"$(uname -m)".whl)
[ -f "${sdists[0]}" ] && [ -f "${wheels[0]}" ] ||
    { echo "install-as-user.sh: dist/ needs the sdist and the $tag wheel" >&2; exit 1; }

if root="$(root_of "$python")"; then
    run_in_root "$root" bash "$PWD/tools/install-as-user.sh" "python$version"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for what in "${sdists[0]}" "${wheels[0]}"; do
    "$python" -m venv "$work/$(basename "$what")"
    "$work/$(basename "$what")/bin/python" -m pip install --quiet "$PWD/$what"
    "$work/$(basename "$what")/bin/python" examples/tour.py >/dev/null
    echo "install-as-user.sh: CPython $version: $(basename "$what") installs and runs the tour"
done
