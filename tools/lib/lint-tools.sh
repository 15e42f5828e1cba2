# Sourced by tools/lint.sh and tools/format.sh, from the clone: the pinned linters and formatters
# (tools/lint-requirements.txt) installed into the running `python`'s environment, and the files
# they read.
#
# Sets bin, the folder of the pinned tools, which go before whatever else is first on PATH.

python -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    -r tools/lint-requirements.txt || exit 1
bin="$(python -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"

# The C++ files of the module, its binding and the test-only module.
cxx_sources() {
    local dir
    for dir in binding src crates tests/native; do
        [ -d "$dir" ] && find "$dir" -type f \( -name '*.cpp' -o -name '*.hpp' \)
    done | sort
}

# The Python files that git tracks or would track.
python_sources() {
    git ls-files --cached --others --exclude-standard -- '*.py' '*.pyi'
}
