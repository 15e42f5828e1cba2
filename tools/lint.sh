#!/usr/bin/env bash
# Lint and format checks: ruff on the Python files, clang-format and clang-tidy on the C++ files.
# Runs every check and exits non-zero if any of them failed.
set -uo pipefail
cd "$(dirname "$0")/.."

source tools/lib/lint-tools.sh
tidy_dir="${KESTRUM_TIDY_DIR:-build/tidy}"

failed=()
check() {
    local name="$1"
    shift
    echo "== $name"
    "$@" || failed+=("$name")
}

mapfile -t cxx_files < <(cxx_sources)

tidy() {
    cmake -S . -B "$tidy_dir" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKESTRUM_TESTING=ON \
        -DPython_EXECUTABLE="$(command -v python)" >"$tidy_dir.configure.log" 2>&1 || {
        cat "$tidy_dir.configure.log"
        return 1
    }
    # Translation units of our own code; headers are reached through HeaderFilterRegex.
    mapfile -t units < <(python - "$tidy_dir/compile_commands.json" <<'PY'
import json, os, sys
roots = ("binding/", "src/", "crates/", "tests/native/")
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(roots):
        print(path)
PY
    )
    [ "${#units[@]}" -gt 0 ] || { echo "no translation units in $tidy_dir/compile_commands.json"; return 1; }
    "$bin/clang-tidy" -p "$tidy_dir" --quiet "${units[@]}"
}

mkdir -p "$(dirname "$tidy_dir")"
check "ruff check" "$bin/ruff" check .
check "ruff format" "$bin/ruff" format --check .
if [ "${#cxx_files[@]}" -gt 0 ]; then
    check "clang-format" "$bin/clang-format" --dry-run --Werror "${cxx_files[@]}"
    check "clang-tidy" tidy
fi

if [ "${#failed[@]}" -gt 0 ]; then
    echo "lint failed: ${failed[*]}"
    exit 1
fi
echo "lint passed"
