#!/usr/bin/env bash
# Builds what a release uploads into dist/: the sdist and every shipped wheel, each checked for
# its tag and its symbols, and dist/SHA256SUMS over them all.
#
#   bash tools/release.sh                 everything, one piece after another, then the sums
#   bash tools/release.sh PIECE...        only those pieces (CI builds them side by side)
#   bash tools/release.sh --sums          checks that dist/ holds every piece, and no other
#                                         kestrum file, and writes dist/SHA256SUMS
#
# The pieces: sdist; x86_64-3.11 ... x86_64-3.15 and the free-threaded x86_64-3.13t
# (tools/build-wheel.sh, zig against glibc 2.17, manylinux_2_17_x86_64); aarch64-3.11, aarch64-3.13,
# aarch64-3.14, aarch64-3.15 and the free-threaded aarch64-3.13t (tools/build-arm64-wheel.sh,
# manylinux_2_17_aarch64). Each wheel is built in a folder of its own and moved into dist/ once
# repaired and checked, so pieces built side by side never meet. Interpreters are found by
# tools/find-python.sh (making the Debian root for 3.14 and 3.15 on first use); the arm64 ones
# need their roots and qemu-user (tools/arm64-python.sh, tools/arm64-freethreaded-python.sh).
# Needs root privileges on a fresh machine for those, never afterwards.
#
# The musllinux pieces, x86_64-musl-3.11 and x86_64-musl-3.13, are tools/build-wheel.sh's on the
# musl interpreters that tools/musl-python.sh builds once (zig against musl, musllinux_1_2_x86_64).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/pins.sh

VERSION="$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)"
# Each piece with the name its file must have.
declare -A NAMES=(
    [sdist]="kestrum-$VERSION.tar.gz"
    [x86_64-3.11]="kestrum-$VERSION-cp311-cp311-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [x86_64-3.12]="kestrum-$VERSION-cp312-cp312-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [x86_64-3.13]="kestrum-$VERSION-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [x86_64-3.14]="kestrum-$VERSION-cp314-cp314-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [x86_64-3.15]="kestrum-$VERSION-cp315-cp315-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [x86_64-3.13t]="kestrum-$VERSION-cp313-cp313t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
    [aarch64-3.11]="kestrum-$VERSION-cp311-cp311-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    [aarch64-3.13]="kestrum-$VERSION-cp313-cp313-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    [aarch64-3.14]="kestrum-$VERSION-cp314-cp314-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    [aarch64-3.15]="kestrum-$VERSION-cp315-cp315-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    [aarch64-3.13t]="kestrum-$VERSION-cp313-cp313t-manylinux2014_aarch64.manylinux_2_17_aarch64.whl"
    [x86_64-musl-3.11]="kestrum-$VERSION-cp311-cp311-musllinux_1_2_x86_64.whl"
    [x86_64-musl-3.13]="kestrum-$VERSION-cp313-cp313-musllinux_1_2_x86_64.whl"
)
PIECES=(sdist x86_64-3.11 x86_64-3.12 x86_64-3.13 x86_64-3.14 x86_64-3.15 x86_64-3.13t aarch64-3.11
    aarch64-3.13 aarch64-3.14 aarch64-3.15 aarch64-3.13t x86_64-musl-3.11 x86_64-musl-3.13)
# The shipped wheels are zig's, whatever the caller's shell says.
export KESTRUM_COMPILER=zig
unset KESTRUM_WHEEL_PLAT

fail() { echo "release.sh: $*" >&2; exit 1; }
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

build() { # piece
    local piece="$1" work built python
    [ -n "${NAMES[$piece]:-}" ] || fail "no piece $piece (pieces: ${PIECES[*]})"
    work="$scratch/$piece"
    mkdir -p "$work"
    case "$piece" in
        sdist)
            python3 -m venv "$work/venv"
            "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
                --root-user-action=ignore "$PIN_BUILD"
            "$work/venv/bin/python" -m build --sdist --outdir "$work" . >&2
            built="$work/${NAMES[$piece]}"
            ;;
        x86_64-musl-*)
            python="$(bash tools/musl-python.sh "${piece#x86_64-musl-}")" ||
                fail "$piece: no musl CPython ${piece#x86_64-musl-}"
            built="$(KESTRUM_DIST="$work" bash tools/build-wheel.sh "$python" | tail -n 1)"
            ;;
        x86_64-*)
            # Found first: a failure inside the build's arguments would go unnoticed.
            python="$(bash tools/find-python.sh "${piece#x86_64-}")" ||
                fail "$piece: no CPython ${piece#x86_64-}"
            built="$(KESTRUM_DIST="$work" bash tools/build-wheel.sh "$python" | tail -n 1)"
            ;;
        aarch64-*)
            built="$(KESTRUM_DIST="$work" bash tools/build-arm64-wheel.sh "${piece#aarch64-}" |
                tail -n 1)"
            ;;
    esac
    [ "$(basename "$built")" = "${NAMES[$piece]}" ] ||
        fail "$piece: made $(basename "$built"), not ${NAMES[$piece]}"
    mkdir -p dist
    mv "$built" "dist/${NAMES[$piece]}.new"
    mv "dist/${NAMES[$piece]}.new" "dist/${NAMES[$piece]}"
    echo "release.sh: dist/${NAMES[$piece]}"
}

sums() {
    local piece expected=() found
    for piece in "${PIECES[@]}"; do
        [ -f "dist/${NAMES[$piece]}" ] || fail "dist/ lacks $piece (${NAMES[$piece]})"
        expected+=("${NAMES[$piece]}")
    done
    # Nothing else of kestrum's may go up with them: an older version, a development build.
    found="$(cd dist && ls kestrum-* | sort)"
    [ "$found" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
        fail "dist/ holds other kestrum files than the release's: $(echo $found)"
    (cd dist && sha256sum "${expected[@]}" >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)
    cat dist/SHA256SUMS
}

if [ "$#" -eq 0 ]; then
    rm -f dist/kestrum-* dist/SHA256SUMS
    for piece in "${PIECES[@]}"; do
        build "$piece"
    done
    sums
elif [ "$1" = --sums ]; then
    sums
else
    for piece in "$@"; do
        build "$piece"
    done
fi
