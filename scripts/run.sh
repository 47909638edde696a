#!/usr/bin/env bash
# Builds KORVANE if needed and runs it. Installs what is missing; safe to run twice.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
source "$KORVANE_ROOT/scripts/lib/jack.sh"

ensure_packages
configure_and_build

"$KORVANE_BUILD/src/korvane" --version
