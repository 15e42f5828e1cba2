#!/usr/bin/env bash
# Runs the atheris (libFuzzer) harness over the six constructors for a fixed time.
#
#   bash fuzz/run.sh SECONDS [libFuzzer options...]
#
# kestrum is built with clang (15 or later) into build/fuzz with libFuzzer's coverage
# instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer; the sanitizer runtime that
# atheris ships with its libFuzzer is preloaded into the ordinary interpreter. The corpus grows
# in fuzz/corpus (not committed); a crashing input is written to build/fuzz/crash-* and ends
# the run with a non-zero status.
set -euo pipefail

seconds="${1:?usage: fuzz/run.sh SECONDS [libFuzzer options...]}"
shift
source "$(dirname "$0")/../tools/lib/native-build.sh"
build="${KESTRUM_FUZZ_BUILD:-$root/build/fuzz}"

# clang 15 or later: older ones cannot compile std::source_location with libstdc++.
cxx="${KESTRUM_FUZZ_CXX:-}"
if [ -z "$cxx" ]; then
    for candidate in clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
        version="$("$candidate" -dumpversion 2>/dev/null || echo 0)"
        if [ "${version%%.*}" -ge 15 ]; then
            cxx="$candidate"
            break
        fi
    done
fi
[ -n "$cxx" ] || { echo "fuzz/run.sh: needs clang++ 15 or later (apt-get install clang-19)" >&2; exit 2; }
"$python" -c 'import atheris' 2>/dev/null || "$python" -m pip install --quiet atheris
runtime="$("$python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"

# The vptr and function checks need handlers that the runtime atheris ships lacks.
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function -fno-sanitize-recover=undefined"
native_build "$build" kestrum -- -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer"

mkdir -p "$root/fuzz/corpus"
# Leaks are left to tools/sanitize.sh: during fuzzing the interpreter's own would drown them.
exec env \
    LD_PRELOAD="$runtime" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "${built_env[@]}" \
    "$python" "$root/fuzz/fuzz_constructors.py" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=8192 -print_final_stats=1 -artifact_prefix="$build/" "$@" "$root/fuzz/corpus"
