#!/usr/bin/env bash
# Builds KORVANE and runs every test. Installs what is missing; safe to run twice.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
source "$KORVANE_ROOT/scripts/lib/jack.sh"
source "$KORVANE_ROOT/scripts/lib/avahi.sh"

ensure_packages
configure_and_build

cleanup() { stop_avahi; stop_jack; }
trap cleanup EXIT
start_jack
start_avahi

cd "$KORVANE_BUILD"
ctest --output-on-failure -j2 "$@"
