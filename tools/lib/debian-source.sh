# Sourced by tools/arm64-freethreaded-python.sh: fetches the upstream CPython source tarball that
# Debian's unstable suite serves, asked through apt's own client with a private list folder and
# checked against the index's SHA-256, the same way tools/freethreaded-python.sh does.

# debian_cpython_source MINOR FOLDER: downloads python$MINOR's newest served tarball into FOLDER
# (which it also uses for apt's lists) and prints its path.
debian_cpython_source() {
    local minor="$1" folder="$2" mirror offer dir file sum
    local apt_options=(-o "Dir::Etc::SourceList=$folder/apt/sources.list"
        -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$folder/apt/lists"
        -o "Dir::Cache=$folder/apt/cache" -o Dir::State::status=/dev/null
        -o Acquire::Check-Valid-Until=false)
    mirror="$(debian_mirror)"
    mkdir -p "$folder/apt/lists/partial" "$folder/apt/cache/archives/partial"
    echo "deb-src [trusted=yes] $mirror sid main" >"$folder/apt/sources.list"
    apt-get "${apt_options[@]}" -q update >/dev/null || { echo "apt-get update of $mirror failed" >&2; return 1; }
    # "DIRECTORY FILE SHA256" for each upstream tarball the index names, newest first.
    while read -r dir file sum; do
        if curl -fsL --retry 2 -o "$folder/$file" "$mirror/$dir/$file" &&
            echo "$sum  $folder/$file" | sha256sum -c --quiet; then
            echo "$folder/$file"
            return 0
        fi
        rm -f "$folder/$file"
    done < <(apt-cache "${apt_options[@]}" showsrc "python$minor" 2>/dev/null |
        awk 'BEGIN { RS = ""; FS = "\n" }
            {
                dir = ""; sums = 0
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Directory:/) { split($i, f, " "); dir = f[2] }
                    else if ($i ~ /^Checksums-Sha256:/) sums = 1
                    else if ($i ~ /^[^ ]/) sums = 0
                    else if (sums && $i ~ /\.orig\.tar\.xz$/) { split($i, f, " "); file = f[3]; sum = f[1] }
                }
                if (dir != "" && file != "") print dir, file, sum
                file = ""
            }' | sort -k2,2 -rV)
    echo "Debian's archive at $mirror serves no intact source tarball of python$minor" >&2
    return 1
}
