#!/usr/bin/env bash
# Rewrites files in place with the pinned formatters: ruff format for Python, clang-format
# for C++. With paths, formats only those; without, everything that tools/lint.sh checks.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/lib/lint-tools.sh

if [ "$#" -gt 0 ]; then
    paths=("$@")
else
    mapfile -t paths < <(python_sources; cxx_sources)
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
