#!/usr/bin/env bash
# Prints the path of a host-runnable CPython of the given version taken from Debian's unstable
# suite, for the versions this machine's own Debian lacks (3.14 and 3.15).
#
#   bash tools/debian-python.sh 3.14
#
# The interpreter, its headers and venv support live in a Debian root made by
# tools/debian-root.sh, once per machine. They need a newer C library than the host's, so the
# printed path is a small wrapper that runs the root's interpreter on the host through the root's
# own dynamic loader and libraries. The host's compiler then builds against the root's headers,
# and a wheel built that way asks its users for no newer C library than a host-built one. Next to
# the wrapper, `root` names the root, where tools/test-wheel.sh runs the suite.
set -euo pipefail

version="${1:?usage: debian-python.sh MAJOR.MINOR}"
case "$version" in
3.14 | 3.15) ;;
*) echo "debian-python.sh: CPython $version is not taken from Debian here" >&2; exit 1 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
# One run at a time makes or remakes the root and the wrappers; others wait for it.
roots="${KESTRUM_ROOTS:-/var/cache/kestrum/roots}"
mkdir -p "$roots"
exec 9>"$roots/.lock"
flock 9
root="$(bash "$here/debian-root.sh" sid "python$version" "python$version-dev" \
    "python$version-venv" g++ cmake ninja-build git)"
lib="$root/lib/x86_64-linux-gnu"
usrlib="$root/usr/lib/x86_64-linux-gnu"
[ -x "$root/usr/bin/python$version" ] && [ -x "$lib/ld-linux-x86-64.so.2" ] || {
    echo "debian-python.sh: $root lacks python$version or its dynamic loader" >&2
    exit 1
}

host="$root.host"
mkdir -p "$host/bin" "$host/include/x86_64-linux-gnu"
echo "$root" >"$host/root"
# Made again only when the root changed: steps running side by side use the interpreter.
if [ ! -d "$host/lib/python$version" ] || [ "$root/.kestrum-packages" -nt "$host/lib/python$version" ]; then
    rm -rf "$host/lib/python$version.new"
    mkdir -p "$host/lib/python$version.new"
    # The wrapper's folder is a prefix of its own: the interpreter finds its standard library there
    # by the usual landmarks, in venvs too, so no PYTHONHOME leaks into the programs it starts.
    for entry in "$root/usr/lib/python$version"/*; do
        ln -s "$entry" "$host/lib/python$version.new/"
    done
    ln -sfn "$root/usr/include/python$version" "$host/include/python$version"
    # Debian's pyconfig.h includes <x86_64-linux-gnu/python3.x/pyconfig.h>; this folder holds just
    # that directory, so the root's newer C library headers never come ahead of the host's.
    ln -sfn "$root/usr/include/x86_64-linux-gnu/python$version" \
        "$host/include/x86_64-linux-gnu/python$version"
    # The build-time paths name /usr (ensurepip's wheels among them); the copy names the root's.
    for data in "$root/usr/lib/python$version"/_sysconfigdata__*.py; do
        rm "$host/lib/python$version.new/$(basename "$data")"
        sed "s|^\(    '[A-Za-z_0-9]*': '\)/usr|\1$root/usr|" "$data" \
            >"$host/lib/python$version.new/$(basename "$data")"
    done
    rm -rf "$host/lib/python$version"
    mv "$host/lib/python$version.new" "$host/lib/python$version"
fi

source "$here/lib/write.sh"
wrapper="$host/bin/python$version"
write_program "$wrapper" <<WRAPPER
#!/bin/sh
# CPython $version of the Debian root $root, run on the host (made by tools/debian-python.sh).
# Invoked through a venv's link, \$0 names the venv's interpreter, so the venv is found.
export CPATH="$host/include\${CPATH:+:\$CPATH}"
exec "$lib/ld-linux-x86-64.so.2" --library-path "$lib:$usrlib" --argv0 "\$0" \\
    "$root/usr/bin/python$version" "\$@"
WRAPPER
echo "$wrapper"
