#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version, or fails saying so.
#
#   bash tools/find-python.sh 3.12
#   bash tools/find-python.sh 3.13t     (free-threaded: built without the GIL)
#   bash tools/find-python.sh 3.13t-tsan   (the same, instrumented by ThreadSanitizer)
#
# Looks in pyenv's versions (the newest patch release first), then for python3.12 on PATH. A
# candidate counts only if it runs and reports that version: pyenv's shims exist for versions
# that are installed but not selected, and fail when run. CPython 3.14 and 3.15, which this
# machine's Debian lacks, come from Debian's unstable suite otherwise (tools/debian-python.sh,
# which makes its root on first use). A free-threaded version (3.13t) not found that way is built
# from Debian's source once per machine (tools/freethreaded-python.sh), and so is the
# instrumented one (3.13t-tsan), which nothing else provides.
set -euo pipefail

version="${1:?usage: find-python.sh MAJOR.MINOR[t][-tsan]}"
case "$version" in
3.*t-tsan) exec bash "$(dirname "$0")/freethreaded-python.sh" "$version" ;;
esac
# pyenv names its free-threaded builds 3.13.1t, and they report 3.13 with the GIL disabled.
case "$version" in
*t) pattern="${version%t}.*t" ;;
*) pattern="$version.*" ;;
esac
candidates=()
root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
if [ -d "$root/versions" ]; then
    mapfile -t found < <(
        find "$root/versions" -mindepth 1 -maxdepth 1 -name "$pattern" -printf '%f\n' | sort -rV
    )
    for name in "${found[@]}"; do
        candidates+=("$root/versions/$name/bin/python$version")
    done
fi
if on_path="$(command -v "python$version")"; then
    candidates+=("$on_path")
fi

probe='import sys, sysconfig
t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print("%d.%d%s" % (*sys.version_info[:2], t), sys.implementation.name)'
for candidate in "${candidates[@]}"; do
    if [ -x "$candidate" ] && reported="$("$candidate" -c "$probe" 2>/dev/null)" &&
        [ "$reported" = "$version cpython" ]; then
        echo "$candidate"
        exit 0
    fi
done

case "$version" in
3.14 | 3.15) exec bash "$(dirname "$0")/debian-python.sh" "$version" ;;
3.*t) exec bash "$(dirname "$0")/freethreaded-python.sh" "$version" ;;
esac
echo "find-python.sh: no CPython $version found: looked in ${root}/versions/$pattern and for" \
    "python$version on PATH. Install it (for example: pyenv install $version)." >&2
exit 1
