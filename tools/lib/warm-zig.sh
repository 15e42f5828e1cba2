#!/usr/bin/env bash
# Run by .ci/run as a set-up step: installs zig (tools/zig-toolchain.sh) and has it build its
# C++ runtime (libc++, libc++abi, the unwinder) and C library stubs for the architecture once,
# into its cache, so that this one-time cost shows as its own step and not inside a build.
#
#   bash tools/lib/warm-zig.sh x86_64
#   bash tools/lib/warm-zig.sh x86_64-musl
#   bash tools/lib/warm-zig.sh aarch64 ARM64_PYTHON      (a wrapper of tools/arm64-python.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."

arch="${1:?usage: warm-zig.sh x86_64|x86_64-musl|aarch64 [ARM64_PYTHON]}"
case "$arch" in
    x86_64 | x86_64-musl) toolchain="$(bash tools/zig-toolchain.sh "$arch")" ;;
    aarch64) toolchain="$(bash tools/zig-toolchain.sh aarch64 "$(cd "$(dirname "${2:?}")/../.." && pwd)")" ;;
    *) echo "warm-zig.sh: x86_64, x86_64-musl or aarch64, not $arch" >&2; exit 2 ;;
esac
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A shared object that throws and catches, as the module does, with the module's flags.
printf '%s\n' '#include <stdexcept>' '#include <string>' \
    'extern "C" int warm(int n) { try { throw std::runtime_error(std::to_string(n)); }' \
    '                         catch (const std::exception& e) { return int(e.what()[0]); } }' \
    >"$work/warm.cpp"
"$(dirname "$toolchain")/c++" -std=c++20 -O2 -fPIC -shared \
    -o "$work/warm.so" "$work/warm.cpp"
echo "zig's runtime for $arch is in its cache ($toolchain)"
