# Sourced by the scripts that write programs for later runs (tools/debian-python.sh,
# tools/arm64-python.sh, tools/zig-toolchain.sh).

# write_program PATH: writes standard input to PATH as an executable, whole or not at all, and
# only when the text changed: a build that names the program sees no new tool, and a step running
# beside this one never sees it half written.
write_program() {
    local path="$1" text
    text="$(cat)"
    [ -f "$path" ] && [ "$(cat "$path")" = "$text" ] && return 0
    printf '%s\n' "$text" >"$path.new.$$"
    chmod +x "$path.new.$$"
    mv "$path.new.$$" "$path"
}
