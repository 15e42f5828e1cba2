# Sourced by tools/freethreaded-python.sh and tools/compile-ports.sh: CPython's upstream source
# tarball as Debian's unstable suite serves it.
#
# python_source MAJOR.MINOR prints the path of the tarball, downloading it once per machine into
# $KESTRUM_SOURCES (default /var/cache/kestrum/sources): asked through apt's own client with a
# private list folder, checked against the index's SHA-256, and renamed into place only whole.
# Progress goes to standard error.

source "$(dirname "${BASH_SOURCE[0]}")/debian-roots.sh"

python_source() {
    local minor="$1"
    local sources="${KESTRUM_SOURCES:-/var/cache/kestrum/sources}"
    mkdir -p "$sources"
    (
        set -euo pipefail
        fail() { echo "python-source.sh: $*" >&2; exit 1; }
        # One download per version at a time; the others wait, then find its result.
        exec 8>"$sources/.lock-$minor"
        flock 8
        found=("$sources/python${minor}_"*.orig.tar.xz)
        if [ -f "${found[0]}" ]; then
            echo "${found[0]}"
            exit 0
        fi
        work="$sources/.download-$minor"
        rm -rf "$work"
        trap 'rm -rf "$work"' EXIT
        mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial"

        mirror="$(debian_mirror)"
        echo "python-source.sh: asking $mirror (unstable) for the source of python$minor" >&2
        echo "deb-src [trusted=yes] $mirror sid main" >"$work/apt/sources.list"
        apt_options=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
            -o Dir::State::status=/dev/null -o Acquire::Check-Valid-Until=false)
        apt-get "${apt_options[@]}" -q update >/dev/null || fail "apt-get update of $mirror failed"

        # "DIRECTORY FILE SHA256" for each upstream tarball the index names, newest version first.
        mapfile -t offers < <(apt-cache "${apt_options[@]}" showsrc "python$minor" 2>/dev/null |
            awk 'BEGIN { RS = ""; FS = "\n" }
                {
                    dir = ""; n = 0; sums = 0
                    for (i = 1; i <= NF; i++) {
                        if ($i ~ /^Directory:/) { split($i, f, " "); dir = f[2] }
                        else if ($i ~ /^Checksums-Sha256:/) sums = 1
                        else if ($i ~ /^[^ ]/) sums = 0
                        else if (sums && $i ~ /\.orig\.tar\.xz$/) { split($i, f, " "); file = f[3]; sum = f[1] }
                    }
                    if (dir != "" && file != "") print dir, file, sum
                    file = ""
                }' | sort -k2,2 -rV)
        [ "${#offers[@]}" -gt 0 ] || fail "Debian's unstable suite has no source package python$minor"

        # The index may name versions whose files the archive no longer (or not yet) serves.
        tried=()
        for offer in "${offers[@]}"; do
            read -r dir file sum <<<"$offer"
            tried+=("${file%.orig.tar.xz}")
            if curl -fsL --retry 2 -o "$work/$file" "$mirror/$dir/$file" &&
                echo "$sum  $work/$file" | sha256sum -c --quiet; then
                mv "$work/$file" "$sources/$file"
                echo "$sources/$file"
                exit 0
            fi
            echo "python-source.sh: $mirror/$dir/$file is not served" >&2
            rm -f "$work/$file"
        done
        fail "Debian's archive at $mirror serves no source for python$minor:" \
            "the index names ${tried[*]}, and none could be downloaded intact"
    )
}
