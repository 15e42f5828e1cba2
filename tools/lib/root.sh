# Sourced by tools/test-wheel.sh and tools/install-as-user.sh: an interpreter taken from a Debian
# root (tools/debian-python.sh) builds on the host, but its users are that system's, so the
# script runs again inside the root (tools/in-root.sh), with the clone shown at its host path.

# Prints the root an interpreter comes from; fails when it comes from none, or when this is
# already the run inside the root.
root_of() {
    local file
    file="$(dirname "$(command -v "$1")")/../root"
    [ "${KESTRUM_IN_ROOT:-}" != 1 ] && [ -f "$file" ] && cat "$file"
}

# run_in_root ROOT COMMAND [ARG...]: runs the command inside the root and exits with its status.
run_in_root() {
    exec bash tools/in-root.sh "$1" --bind "$PWD" env KESTRUM_IN_ROOT=1 "${@:2}"
}
