#!/usr/bin/env bash
# Compiles every kestrum source (the module, the binding layer and the test-only module) as for a
# free-threaded CPython of each version given, without running or linking anything: keeps the
# code ready for 3.14t and 3.15t, which are not built here. Fails on any warning.
#
#   bash tools/compile-freethreaded.sh [VERSION...]      (default: 3.14 3.15)
#
# The headers are those of the version's ordinary build (tools/find-python.sh: for 3.14 and 3.15
# a Debian root, made once per machine with root privileges), read with Py_GIL_DISABLED defined,
# which is what a free-threaded build's pyconfig.h adds. The sources, include folders and flags
# are CMake's own: a configure in a temporary folder writes compile_commands.json, and each of
# its commands runs with g++ and -fsyntax-only. Leaves nothing behind but the root.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.14 3.15)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The host's g++ checks the code; a toolchain file would choose zig.
unset CMAKE_TOOLCHAIN_FILE
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

for version in "${versions[@]}"; do
    python="$(bash "$root/tools/find-python.sh" "$version" | tail -n 1)"
    # A Debian root's interpreter names, in CPATH, the folder of its headers' own includes.
    include_path="$("$python" -c 'import os; print(os.environ.get("CPATH", ""))')"
    build="$work/$version"
    CPATH="$include_path" cmake -S "$root" -B "$build" "${generator[@]}" \
        -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DKESTRUM_TESTING=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$python" >/dev/null
    CPATH="$include_path" "$python" - "$build/compile_commands.json" "$version" <<'EOF'
import json, shlex, subprocess, sys

commands, version = json.load(open(sys.argv[1])), sys.argv[2]
failed = 0
for entry in commands:
    words = shlex.split(entry["command"])
    kept, skip = [], False
    for word in words[1:]:
        if skip:
            skip = False
        elif word == "-o":
            skip = True
        elif word != "-c" and word != entry["file"]:
            kept.append(word)
    # -Werror here, not in CMake: the wheel's own build adds it the same way.
    command = ["g++", *kept, "-Werror", "-fsyntax-only", "-DPy_GIL_DISABLED=1", entry["file"]]
    if subprocess.run(command, cwd=entry["directory"]).returncode != 0:
        failed += 1
        print(f"compile-freethreaded: {entry['file']} fails for {version}t", file=sys.stderr)
print(f"compile-freethreaded: CPython {version}t: {len(commands) - failed} of {len(commands)} "
      f"sources compile cleanly with Py_GIL_DISABLED")
sys.exit(1 if failed else 0)
EOF
done
