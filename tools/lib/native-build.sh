# Sourced by tools/sanitize.sh, tools/valgrind.sh, tools/coverage.sh and fuzz/run.sh: a CMake
# build of kestrum (and the test-only module) from this clone for one interpreter, outside pip,
# and the suite run against it.
#
# Sets root (the clone) and python (the interpreter named by $PYTHON, default python3).
#
#   native_build BUILD TARGET... -- CMAKE_ARGUMENT...
#       configures BUILD (unless it was configured so already, with tools that still exist),
#       builds the targets, and sets built_env: the variables that make tests import from it
#   suite_targets ARGUMENT...
#       sets targets: the whole suite, unless the pytest arguments name tests of their own

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"

native_build() {
    local build="$1" targets=() wanted entry tool fresh
    shift
    while [ "$1" != -- ]; do
        targets+=("$1")
        shift
    done
    shift
    # A build configured otherwise (another interpreter or compiler), or with tools that have
    # gone since (those of a deleted virtual environment), starts again.
    wanted="$(printf '%s\n' "$python" "$@")"
    if [ -f "$build/CMakeCache.txt" ]; then
        fresh=1
        [ "$(cat "$build/.kestrum-configure" 2>/dev/null)" = "$wanted" ] || fresh=0
        for entry in CMAKE_COMMAND CMAKE_MAKE_PROGRAM; do
            tool="$(sed -n "s/^$entry:[A-Z]*=//p" "$build/CMakeCache.txt")"
            [ -x "$tool" ] || fresh=0
        done
        [ "$fresh" -eq 1 ] || rm -rf "$build"
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        local generator=()
        command -v ninja >/dev/null && generator=(-G Ninja)
        cmake -S "$root" -B "$build" "${generator[@]}" -DPython_EXECUTABLE="$python" "$@" >/dev/null
        printf '%s\n' "$wanted" >"$build/.kestrum-configure"
    fi
    cmake --build "$build" -j "${KESTRUM_JOBS:-2}" --target "${targets[@]}"
    built_env=(PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
        KESTRUM_TESTING_BUILD="$build/tests/native")
}

suite_targets() {
    local argument
    targets=("$root/tests")
    for argument in "$@"; do
        [ -e "${argument%%::*}" ] && targets=()
    done
    return 0
}
