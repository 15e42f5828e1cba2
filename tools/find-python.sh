#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version, or fails saying so.
#
#   bash tools/find-python.sh 3.12
#
# Looks in pyenv's versions (the newest patch release first), then for python3.12 on PATH. A
# candidate counts only if it runs and reports that version: pyenv's shims exist for versions
# that are installed but not selected, and fail when run. CPython 3.14 and 3.15, which this
# machine's Debian lacks, come from Debian's unstable suite otherwise (tools/debian-python.sh,
# which makes its root on first use).
set -euo pipefail

version="${1:?usage: find-python.sh MAJOR.MINOR}"
candidates=()
root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
if [ -d "$root/versions" ]; then
    mapfile -t found < <(
        find "$root/versions" -mindepth 1 -maxdepth 1 -name "$version.*" -printf '%f\n' | sort -rV
    )
    for name in "${found[@]}"; do
        candidates+=("$root/versions/$name/bin/python$version")
    done
fi
if on_path="$(command -v "python$version")"; then
    candidates+=("$on_path")
fi

for candidate in "${candidates[@]}"; do
    if [ -x "$candidate" ] && reported="$("$candidate" -c \
        'import sys; print("%d.%d" % sys.version_info[:2], sys.implementation.name)' 2>/dev/null)" &&
        [ "$reported" = "$version cpython" ]; then
        echo "$candidate"
        exit 0
    fi
done

case "$version" in
3.14 | 3.15) exec bash "$(dirname "$0")/debian-python.sh" "$version" ;;
esac
echo "find-python.sh: no CPython $version found: looked in ${root}/versions/$version.* and for" \
    "python$version on PATH. Install it (for example: pyenv install $version)." >&2
exit 1
