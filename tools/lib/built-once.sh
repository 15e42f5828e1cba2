# Sourced by tools/freethreaded-python.sh and tools/arm64-freethreaded-python.sh: an interpreter
# built once per machine into the cache.
#
# built_once LOCK PROGRAM: takes LOCK (one run builds, the others wait here, then find its result)
# and, if PROGRAM is there, prints it and ends the script. A build's prefix appears only by a
# rename at its very end, so its program's presence means finished.
built_once() {
    exec 9>"$1"
    flock 9
    if [ -x "$2" ]; then
        echo "$2"
        exit 0
    fi
}
