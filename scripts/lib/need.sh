# need COMMAND...: each command must be on PATH; otherwise one line names it and the Debian
# package that has it (scripts/lib/commands), and the script ends with status 1.
# Sourced by the scripts after they have set $root to the checkout (or made it the current
# folder): . "$root/scripts/lib/need.sh"
need() {
    for _need_cmd in "$@"; do
        command -v "$_need_cmd" >/dev/null 2>&1 && continue
        _need_pkg=$(awk -v c="$_need_cmd" '$1 == c { print $2; exit }' "${root:-.}/scripts/lib/commands" 2>/dev/null)
        echo "$_need_cmd not found: install ${_need_pkg:-the package that has it} (scripts/setup.sh does)" >&2
        exit 1
    done
}
