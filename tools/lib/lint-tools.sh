# Sourced by tools/lint.sh and tools/format.sh, from the clone: the pinned linters and formatters
# (tools/lint-requirements.txt), and the files they read. The tools (about 200 MB) go into the
# running `python`'s virtual environment when it is one (CI's tools environment, a maintainer's
# .venv), and otherwise into build/lint-tools, made here: never into an interpreter itself.
#
# Sets bin, the folder of the pinned tools, which go before whatever else is first on PATH.

if ! python -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)' 2>/dev/null; then
    [ -x build/lint-tools/bin/python ] || python3 -m venv build/lint-tools || exit 1
    PATH="$PWD/build/lint-tools/bin:$PATH"
fi
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
