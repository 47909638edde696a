# shellcheck shell=bash
# JACK server for the tests and the program: a dummy-driver jackd when no
# server answers. Sourced by scripts/*.sh.

KORVANE_JACK_PID=""

jack_running() { timeout 5 jack_lsp >/dev/null 2>&1; }

# Starts `jackd --no-realtime -d dummy` unless a server already answers.
# Sets KORVANE_JACK_PID only when this script started it.
start_jack() {
    export JACK_NO_AUDIO_RESERVATION=1
    if jack_running; then
        log "JACK server already running"
        return 0
    fi
    log "starting jackd --no-realtime -d dummy"
    jackd --no-realtime -d dummy -r 48000 -p 256 >"${TMPDIR:-/tmp}/korvane-jackd.log" 2>&1 &
    KORVANE_JACK_PID=$!
    local _
    for _ in $(seq 1 50); do
        jack_running && return 0
        sleep 0.2
    done
    log "jackd did not come up; see ${TMPDIR:-/tmp}/korvane-jackd.log"
    return 1
}

stop_jack() {
    [ -n "$KORVANE_JACK_PID" ] || return 0
    kill "$KORVANE_JACK_PID" 2>/dev/null
    wait "$KORVANE_JACK_PID" 2>/dev/null
    KORVANE_JACK_PID=""
}
