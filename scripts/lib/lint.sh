# shellcheck shell=bash
# The format and shell-script checks of scripts/test.sh. Sourced, not run.

# Folders whose C++ must be formatted as .clang-format says: a finding fails
# the run.
KORVANE_FORMAT_STRICT=(src bench tests)

# Prints the files of the folders named that clang-format would change.
unformatted_files() {
    local dir file
    for dir in "$@"; do
        while IFS= read -r -d '' file; do
            clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || echo "$file"
        done < <(find "$KORVANE_ROOT/$dir" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
    done
}

format_stage() {
    ensure_packages clang-format
    log "format check (clang-format) over ${KORVANE_FORMAT_STRICT[*]}"
    local strict
    strict=$(unformatted_files "${KORVANE_FORMAT_STRICT[@]}")
    if [ -n "$strict" ]; then
        log "not formatted (clang-format -i fixes them):"
        printf '  %s\n' "${strict//$KORVANE_ROOT\//}" >&2
        return 1
    fi
}

shellcheck_stage() {
    ensure_packages shellcheck
    log "shellcheck over scripts/"
    (cd "$KORVANE_ROOT" && shellcheck scripts/*.sh scripts/lib/*.sh)
}
