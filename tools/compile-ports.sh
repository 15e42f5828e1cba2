#!/usr/bin/env bash
# Compiles the module for the systems kestrum ships no wheel for, warnings as errors, so that the
# code stays portable and a port has only the platform unit (binding/platform.*) to write:
#
#   x86-64 Windows: zig's mingw-w64 (x86_64-windows-gnu) against CPython 3.13's own headers and
#     PC/pyconfig.h, from the source tarball tools/lib/debian-source.sh keeps; then linked into a
#     DLL against an import library of python313.dll made of exactly the symbols the objects ask
#     for, which must export PyInit_kestrum and nothing else;
#   arm64 macOS: zig's clang (aarch64-macos) against the host's CPython 3.13 headers (a Linux
#     pyconfig.h, so only kestrum's own code is checked), linked as a bundle that leaves the
#     interpreter's symbols to the loader.
#
#   bash tools/compile-ports.sh [windows] [macos]      (default: both)
#   bash tools/compile-ports.sh --warm    (the one-time part: the source tarball, and zig's C and
#                                          C++ runtimes for both targets, built into its cache)
#
# Neither is run: nothing here can run them, and no wheel for them ships until one can be tested.
# The sources, include folders and definitions are CMake's own (a configure in a temporary folder
# writes compile_commands.json); the flags are the release build's. Needs zig
# (tools/zig-toolchain.sh), binutils' objdump and nm, and CPython 3.13. Leaves nothing behind but
# the cache (zig, the source tarball).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/tools/lib/debian-roots.sh"
source "$root/tools/lib/debian-source.sh"
fail() { echo "compile-ports.sh: $*" >&2; exit 1; }

targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(windows macos)
zig="$(bash "$root/tools/zig-toolchain.sh" --zig)"
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$(dirname "$(dirname "$(dirname "$zig")")")/cache}"
if [ "${targets[*]}" = --warm ]; then
    python_source 3.13 >/dev/null
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    printf '%s\n' '#include <string>' \
        'extern "C" int warm(int n) { try { throw std::to_string(n); }' \
        '                         catch (const std::string& e) { return int(e[0]); } }' \
        >"$work/warm.cpp"
    for target in x86_64-windows-gnu aarch64-macos; do
        "$zig" c++ -target "$target" -std=c++20 -O2 -shared -o "$work/warm-$target" "$work/warm.cpp"
    done
    echo "compile-ports.sh: zig's runtimes for x86_64-windows-gnu and aarch64-macos are in its cache"
    exit 0
fi
python="$(bash "$root/tools/find-python.sh" 3.13 | tail -n 1)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The module's sources, and its include folders and definitions without the interpreter's.
unset CMAKE_TOOLCHAIN_FILE
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$work/cmake" "${generator[@]}" -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython_EXECUTABLE="$python" >/dev/null
"$python" - "$work/cmake/compile_commands.json" "$("$python" -c \
    'import sysconfig; print(sysconfig.get_paths()["include"])')" >"$work/sources" <<'EOF'
import json, os, shlex, sys

commands, python_include = json.load(open(sys.argv[1])), os.path.realpath(sys.argv[2])
for entry in commands:
    if "/tests/" in entry["file"]:
        continue
    words = shlex.split(entry["command"])
    kept = []
    for word in words[1:]:
        for flag in ("-I", "-isystem"):
            if word.startswith(flag) and len(word) > len(flag):
                path = os.path.realpath(os.path.join(entry["directory"], word[len(flag):]))
                if path != python_include:
                    kept.append("-I" + path)
        if word.startswith("-D"):
            kept.append(word)
    print(entry["file"], *kept)
EOF
count="$(wc -l <"$work/sources")"
[ "$count" -gt 0 ] || fail "CMake named no sources"
# As the release build compiles them (binding/platform.cmake adds Linux's own flags).
flags=(-std=c++20 -O2 -DNDEBUG -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra
    -Werror)

compile_all() { # target, output folder, include flags...: every source into an object
    local target="$1" out="$2" failed=0 file rest
    shift 2
    mkdir -p "$out"
    while read -r file rest; do
        # shellcheck disable=SC2086
        "$zig" c++ -target "$target" "${flags[@]}" $rest "$@" -c "$file" \
            -o "$out/$(basename "$file").o" || {
            failed=$((failed + 1))
            echo "compile-ports.sh: $file fails for $target" >&2
        }
    done <"$work/sources"
    echo "compile-ports.sh: $target: $((count - failed)) of $count sources compile cleanly"
    [ "$failed" -eq 0 ]
}

windows() {
    local source include dll
    source="$(python_source 3.13)"
    include="$work/python-windows"
    mkdir -p "$include"
    tar -xJf "$source" -C "$include" --strip-components=1 --wildcards '*/Include/*' \
        '*/PC/pyconfig.h.in'
    mv "$include/PC/pyconfig.h.in" "$include/PC/pyconfig.h"
    compile_all x86_64-windows-gnu "$work/windows" -I"$include/Include" -I"$include/PC" || return 1
    # The import library holds what the objects import from the interpreter, nothing more.
    {
        echo "LIBRARY python313.dll"
        echo "EXPORTS"
        nm --undefined-only "$work/windows"/*.o | awk '$2 ~ /^__imp_/ { print substr($2, 7) }' |
            grep -E '^_?Py' | sort -u
    } >"$work/python313.def"
    echo "compile-ports.sh: x86_64-windows-gnu: the module imports" \
        "$(($(wc -l <"$work/python313.def") - 2)) of the interpreter's symbols"
    "$zig" dlltool -m i386:x86-64 -d "$work/python313.def" -D python313.dll \
        -l "$work/libpython313.a" || return 1
    dll="$work/kestrum.cp313-win_amd64.pyd"
    "$zig" c++ -target x86_64-windows-gnu -shared -o "$dll" "$work/windows"/*.o \
        "$work/libpython313.a" || return 1
    local exports
    exports="$(objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
        on && /^[ \t]*\[/ { print $NF; next } on { on = 0 }')"
    [ "$exports" = PyInit_kestrum ] ||
        fail "the Windows module exports $(echo "$exports" | tr '\n' ' ')instead of PyInit_kestrum alone"
    echo "compile-ports.sh: x86_64-windows-gnu: linked; it exports PyInit_kestrum alone and" \
        "imports $(objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | sort -u | tr '\n' ' ')"
}

macos() {
    local include
    include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    compile_all aarch64-macos "$work/macos" -I"$include" || return 1
    "$zig" c++ -target aarch64-macos -shared -Wl,-undefined,dynamic_lookup \
        -o "$work/kestrum.cpython-313-darwin.so" "$work/macos"/*.o || return 1
    echo "compile-ports.sh: aarch64-macos: linked, the interpreter's symbols left to the loader"
}

# Each target runs whole and says how far it got; a failure fails the run at the end.
status=0
for target in "${targets[@]}"; do
    case "$target" in
        windows | macos) "$target" || status=1 ;;
        *) fail "unknown target $target (windows or macos)" ;;
    esac
done
exit "$status"
