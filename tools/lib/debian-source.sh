# Sourced by tools/freethreaded-python.sh, tools/arm64-freethreaded-python.sh, tools/musl-python.sh
# and tools/compile-ports.sh: the upstream source tarball of a Debian source package, asked for
# through apt's own client with private lists (the host's apt state is never touched) and checked
# against the index's SHA-256; CPython's kept once per machine.
#
#   tarball="$(debian_source SUITE PACKAGE WORK)"     (needs tools/lib/debian-roots.sh)
#
# WORK is a scratch folder of the caller's; the tarball is downloaded into it. Messages go to
# standard error, the tarball's path to standard output.
debian_source() {
    local suite="$1" package="$2" work="$3" mirror offers offer dir file sum tried=()
    local -a apt_options
    mirror="$(debian_mirror)"
    echo "debian_source: asking $mirror ($suite) for the source of $package" >&2
    mkdir -p "$work/apt-$suite/lists/partial" "$work/apt-$suite/cache/archives/partial"
    echo "deb-src [trusted=yes] $mirror $suite main" >"$work/apt-$suite/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$work/apt-$suite/sources.list"
        -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$work/apt-$suite/lists"
        -o "Dir::Cache=$work/apt-$suite/cache" -o Dir::State::status=/dev/null
        -o Acquire::Check-Valid-Until=false)
    if [ ! -f "$work/apt-$suite/updated" ]; then
        apt-get "${apt_options[@]}" -q update >/dev/null ||
            { echo "debian_source: apt-get update of $mirror ($suite) failed" >&2; return 1; }
        touch "$work/apt-$suite/updated"
    fi

    # "DIRECTORY FILE SHA256" for each upstream tarball the index names, newest version first.
    mapfile -t offers < <(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null |
        awk 'BEGIN { RS = ""; FS = "\n" }
            {
                dir = ""; sums = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Directory:/) { split($i, f, " "); dir = f[2] }
                    else if ($i ~ /^Checksums-Sha256:/) sums = 1
                    else if ($i ~ /^[^ ]/) sums = 0
                    else if (sums && $i ~ /\.orig\.tar\.(xz|gz|bz2)$/) { split($i, f, " "); file = f[3]; sum = f[1] }
                }
                if (dir != "" && file != "") print dir, file, sum
                file = ""
            }' | sort -k2,2 -rV)
    [ "${#offers[@]}" -gt 0 ] ||
        { echo "debian_source: Debian's $suite suite has no source package $package" >&2; return 1; }

    # The index may name versions whose files the archive no longer (or not yet) serves.
    for offer in "${offers[@]}"; do
        read -r dir file sum <<<"$offer"
        tried+=("${file%.orig.tar.*}")
        if curl -fsL --retry 2 -o "$work/$file" "$mirror/$dir/$file" &&
            echo "$sum  $work/$file" | sha256sum -c --quiet; then
            echo "$work/$file"
            return 0
        fi
        echo "debian_source: $mirror/$dir/$file is not served" >&2
        rm -f "$work/$file"
    done
    echo "debian_source: Debian's archive at $mirror serves no source for $package ($suite):" \
        "the index names ${tried[*]}, and none could be downloaded intact" >&2
    return 1
}

# Downloads a binary package of the suite for the host's architecture and unpacks it into DEST.
#
#   debian_unpack SUITE PACKAGE WORK DEST
debian_unpack() {
    local suite="$1" package="$2" work="$3" dest="$4" mirror lists
    lists="$work/apt-$suite-bin"
    local -a apt_options
    mirror="$(debian_mirror)"
    mkdir -p "$lists/lists/partial" "$lists/cache/archives/partial" "$lists/debs"
    echo "deb [trusted=yes] $mirror $suite main" >"$lists/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$lists/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$lists/lists" -o "Dir::Cache=$lists/cache"
        -o Dir::State::status=/dev/null -o Acquire::Check-Valid-Until=false
        -o APT::Sandbox::User=root)
    if [ ! -f "$lists/updated" ]; then
        apt-get "${apt_options[@]}" -q update >/dev/null ||
            { echo "debian_unpack: apt-get update of $mirror ($suite) failed" >&2; return 1; }
        touch "$lists/updated"
    fi
    echo "debian_unpack: $package from $mirror ($suite)" >&2
    (cd "$lists/debs" && apt-get "${apt_options[@]}" -q download "$package" >/dev/null) ||
        { echo "debian_unpack: could not download $package from $suite" >&2; return 1; }
    dpkg-deb -x "$lists/debs/${package}_"*.deb "$dest"
}

# CPython's upstream tarball from the suite (default unstable), downloaded once per machine into
# $KESTRUM_SOURCES (default /var/cache/kestrum/sources) and renamed into place only whole.
#
#   tarball="$(python_source MAJOR.MINOR [SUITE])"
python_source() {
    local minor="$1" suite="${2:-sid}"
    local sources="${KESTRUM_SOURCES:-/var/cache/kestrum/sources}"
    mkdir -p "$sources"
    (
        set -euo pipefail
        # One download per version at a time; the others wait, then find its result.
        exec 8>"$sources/.lock-$minor"
        flock 8
        found=("$sources/python${minor}_"*.orig.tar.*)
        if [ -f "${found[0]}" ]; then
            echo "${found[0]}"
            exit 0
        fi
        work="$sources/.download-$minor"
        rm -rf "$work"
        trap 'rm -rf "$work"' EXIT
        mkdir -p "$work"
        tarball="$(debian_source "$suite" "python$minor" "$work")"
        mv "$tarball" "$sources/"
        echo "$sources/$(basename "$tarball")"
    )
}
