#!/usr/bin/env bash
# Builds KORVANE if needed and runs it. Installs what is missing; safe to run twice.
set -euo pipefail
# shellcheck source=lib/common.sh
source "$(dirname "$0")/lib/common.sh"
# shellcheck source=lib/jack.sh
source "$KORVANE_ROOT/scripts/lib/jack.sh"

ensure_packages
configure_and_build

# The program's MIDI service is JACK: start a dummy-driver server when none
# answers (and stop it again when the program ends).
trap stop_jack EXIT
start_jack

# With a display: the window, on the package given (or a new project).
# Without one, or with --headless: the router alone, on the package given or
# the example show. Ctrl-C stops either cleanly.
if [ "${1:-}" != --headless ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    log "opening the window${1:+ on $1}"
    "$KORVANE_BUILD/src/korvane" "$@"
    exit $?
fi
if [ "${1:-}" = --headless ]; then
    shift
else
    log "no display (DISPLAY and WAYLAND_DISPLAY are empty): running headless instead of the window"
fi
package=${1:-$KORVANE_ROOT/examples/demo.tovprjct}
log "running headless on $package (Ctrl-C stops it)"
"$KORVANE_BUILD/src/korvane" --headless "$package"
