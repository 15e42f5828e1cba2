# Sourced by tools/build-wheel.sh and tools/test-wheel.sh: the compiler of the x86-64 wheel they
# build, and the manylinux tag it must be repaired to.
#
#   KESTRUM_COMPILER=zig     (default) the shipped wheels: zig against glibc 2.17
#                            (tools/zig-toolchain.sh), tagged manylinux_2_17_x86_64; for a
#                            musl interpreter (tools/musl-python.sh) zig against musl, tagged
#                            musllinux_1_2_x86_64
#   KESTRUM_COMPILER=system  the development build: the system's g++, as `pip install .` uses,
#                            tagged manylinux_2_34_x86_64 (its static libstdc++ needs glibc 2.34)
#
#   source tools/lib/compiler.sh PYTHON
#
# Exports CMAKE_TOOLCHAIN_FILE, which CMake reads when it configures a new build (the wheel's, and
# the test-only module's that the suite makes), and KESTRUM_WHEEL_PLAT unless it is set already.
case "${KESTRUM_COMPILER:=zig}" in
    zig)
        # A musl interpreter's extension suffix names its C library.
        if "${1:-python3}" -c 'import sys, sysconfig
sys.exit(not sysconfig.get_config_var("SOABI").endswith("-linux-musl"))'; then
            CMAKE_TOOLCHAIN_FILE="$(bash "$(dirname "${BASH_SOURCE[0]}")/../zig-toolchain.sh" x86_64-musl)"
            export KESTRUM_WHEEL_PLAT="${KESTRUM_WHEEL_PLAT:-musllinux_1_2_x86_64}"
        else
            CMAKE_TOOLCHAIN_FILE="$(bash "$(dirname "${BASH_SOURCE[0]}")/../zig-toolchain.sh" x86_64)"
            export KESTRUM_WHEEL_PLAT="${KESTRUM_WHEEL_PLAT:-manylinux_2_17_x86_64}"
        fi
        export CMAKE_TOOLCHAIN_FILE
        ;;
    system)
        unset CMAKE_TOOLCHAIN_FILE
        export KESTRUM_WHEEL_PLAT="${KESTRUM_WHEEL_PLAT:-manylinux_2_34_x86_64}"
        ;;
    *)
        echo "KESTRUM_COMPILER is zig or system, not $KESTRUM_COMPILER" >&2
        exit 2
        ;;
esac
export KESTRUM_COMPILER
