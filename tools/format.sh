#!/usr/bin/env bash
# Rewrites files in place with the pinned formatters: ruff format for Python, clang-format
# for C++. With paths, formats only those; without, everything that tools/lint.sh checks.
set -euo pipefail
cd "$(dirname "$0")/.."

python -m pip install --quiet --disable-pip-version-check --root-user-action=ignore -r tools/lint-requirements.txt
bin="$(python -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"

if [ "$#" -gt 0 ]; then
    paths=("$@")
else
    mapfile -t paths < <(
        git ls-files --cached --others --exclude-standard -- '*.py' '*.pyi'
        for dir in binding src crates tests/native; do
            [ -d "$dir" ] && find "$dir" -type f \( -name '*.cpp' -o -name '*.hpp' \)
        done
    )
fi

python_files=()
cxx_files=()
for path in "${paths[@]}"; do
    case "$path" in
        *.py | *.pyi) python_files+=("$path") ;;
        *.cpp | *.hpp) cxx_files+=("$path") ;;
    esac
done
[ "${#python_files[@]}" -eq 0 ] || "$bin/ruff" format "${python_files[@]}"
[ "${#cxx_files[@]}" -eq 0 ] || "$bin/clang-format" -i "${cxx_files[@]}"
