#!/usr/bin/env bash
# Builds KORVANE and runs every test, with (on a full run, without ctest
# arguments) the fuzz stage: each libFuzzer target for KORVANE_FUZZ_SECONDS
# (20) seconds, KORVANE_FUZZ_SECONDS=0 leaves it out; and the PipeWire stage:
# the MIDI service suites on a private PipeWire server, KORVANE_PIPEWIRE_STAGE=0
# leaves it out; and the format check (clang-format) and shellcheck stages.
# With CI set, compiler warnings fail the build. Installs what is missing;
# safe to run twice.
set -euo pipefail
# shellcheck source=lib/common.sh
source "$(dirname "$0")/lib/common.sh"
# shellcheck source=lib/jack.sh
source "$KORVANE_ROOT/scripts/lib/jack.sh"
# shellcheck source=lib/avahi.sh
source "$KORVANE_ROOT/scripts/lib/avahi.sh"
# shellcheck source=lib/fuzz.sh
source "$KORVANE_ROOT/scripts/lib/fuzz.sh"
# shellcheck source=lib/pipewire.sh
source "$KORVANE_ROOT/scripts/lib/pipewire.sh"
# shellcheck source=lib/npm.sh
source "$KORVANE_ROOT/scripts/lib/npm.sh"
# shellcheck source=lib/lint.sh
source "$KORVANE_ROOT/scripts/lib/lint.sh"

ensure_packages
configure_and_build
ensure_rtpmidi

# The format and shellcheck stages need no service; run before any starts.
lint_failed=0
if [ $# -eq 0 ]; then
    format_stage || lint_failed=1
    shellcheck_stage || lint_failed=1
fi

cleanup() { stop_pipewire; stop_avahi; stop_jack; }
trap cleanup EXIT
start_jack
start_avahi

# The fuzz and PipeWire stages run first so that ctest's summary closes the
# output; their failure still fails the run, after the tests.
fuzz_failed=0
if [ $# -eq 0 ] && [ "$KORVANE_FUZZ_SECONDS" != 0 ]; then
    fuzz_stage || fuzz_failed=1
fi
pipewire_failed=0
if [ $# -eq 0 ] && [ "${KORVANE_PIPEWIRE_STAGE:-1}" != 0 ]; then
    pipewire_stage || pipewire_failed=1
fi

(cd "$KORVANE_BUILD" && ctest --output-on-failure -j2 "$@")

if [ "$fuzz_failed" -ne 0 ]; then
    log "the fuzz stage failed (see above)"
    exit 1
fi
if [ "$lint_failed" -ne 0 ]; then
    log "the format or shellcheck stage failed (see above)"
    exit 1
fi
if [ "$pipewire_failed" -ne 0 ]; then
    log "the PipeWire stage failed (see above)"
    exit 1
fi
