# shellcheck shell=bash
# A private PipeWire server for the tests and benchmarks that run KORVANE on
# PipeWire's JACK library: the built-in dummy driver node, no session manager,
# no D-Bus, its socket in a runtime folder of its own (so it meets no other
# PipeWire and no jackd). Programs reach it through pw_run. Sourced by
# scripts/*.sh after common.sh.

KORVANE_PW_PID=""
KORVANE_PW_DIR=""
KORVANE_PW_PACKAGES=(pipewire pipewire-bin pipewire-jack)

# Runs a command as a JACK program of the private PipeWire server.
pw_run() {
    PIPEWIRE_RUNTIME_DIR=$KORVANE_PW_DIR PIPEWIRE_REMOTE=korvane-pw pw-jack "$@"
}

pipewire_running() {
    [ -n "$KORVANE_PW_PID" ] &&
        PIPEWIRE_RUNTIME_DIR=$KORVANE_PW_DIR PIPEWIRE_REMOTE=korvane-pw timeout 5 pw-jack jack_lsp >/dev/null 2>&1
}

# Starts the server unless this script already did. Its graph runs at 1,024
# frames (48 kHz) unless a client asks for less, as on a desktop.
start_pipewire() {
    pipewire_running && return 0
    ensure_packages "${KORVANE_PW_PACKAGES[@]}" || return 1
    KORVANE_PW_DIR=$(mktemp -d "${TMPDIR:-/tmp}/korvane-pw.XXXXXX")
    cat >"$KORVANE_PW_DIR/korvane-pw.conf" <<'EOF'
context.properties = {
    core.daemon = true
    core.name = korvane-pw
    support.dbus = false
    link.max-buffers = 16
    default.clock.rate = 48000
    default.clock.quantum = 1024
    default.clock.min-quantum = 32
    default.clock.max-quantum = 2048
}
context.spa-libs = {
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
]
EOF
    log "starting a private PipeWire server (dummy driver) in $KORVANE_PW_DIR"
    PIPEWIRE_RUNTIME_DIR=$KORVANE_PW_DIR pipewire -c "$KORVANE_PW_DIR/korvane-pw.conf" \
        >"$KORVANE_PW_DIR/pipewire.log" 2>&1 &
    KORVANE_PW_PID=$!
    local _
    for _ in $(seq 1 50); do
        pipewire_running && return 0
        sleep 0.2
    done
    log "PipeWire did not come up: $(tail -5 "$KORVANE_PW_DIR/pipewire.log")"
    stop_pipewire
    return 1
}

# The whole graph's cycle, in frames, whatever the clients ask for; 0 hands
# it back to them.
force_pipewire_cycle() {
    PIPEWIRE_RUNTIME_DIR=$KORVANE_PW_DIR PIPEWIRE_REMOTE=korvane-pw \
        pw-metadata -n settings 0 clock.force-quantum "$1" >/dev/null
}

stop_pipewire() {
    if [ -n "$KORVANE_PW_PID" ]; then
        kill "$KORVANE_PW_PID" 2>/dev/null
        wait "$KORVANE_PW_PID" 2>/dev/null
    fi
    KORVANE_PW_PID=""
    [ -n "$KORVANE_PW_DIR" ] && rm -rf "$KORVANE_PW_DIR"
    KORVANE_PW_DIR=""
}

# One suite on PipeWire's JACK library within `limit` seconds. PipeWire 0.3.x
# turns an error the server returns to any request (a link that went away a
# moment before) into a shutdown of that client: a test that keeps a bare
# engine then loses it (the program reopens at once; see EngineSupervisor).
# The tests that failed are run once more, alone, and the stage says so.
pw_suite() {
    local limit=$1 binary=$2 filter=$3 out failed
    out=$(mktemp)
    pw_run timeout "$limit" "$binary" --gtest_brief=1 --gtest_filter="$filter" 2>&1 | tee "$out"
    if [ "${PIPESTATUS[0]}" -eq 0 ]; then
        rm -f "$out"
        return 0
    fi
    failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_./]*\).*/\1/p' "$out" | sort -u | paste -sd: -)
    rm -f "$out"
    [ -n "$failed" ] || return 1
    log "PipeWire stage: once more, alone: $failed"
    pw_run timeout "$limit" "$binary" --gtest_brief=1 --gtest_filter="$failed"
}

# The MIDI service's conformance suite and the JACK integration tests on
# PipeWire's JACK library (among them the cycle KORVANE asks for). Returns
# non-zero when any of them fails.
pipewire_stage() {
    local started=$SECONDS failed=0 tests=$KORVANE_BUILD/tests
    start_pipewire || { log "PipeWire stage: the server did not start"; return 1; }
    log "PipeWire stage: the MIDI service suites on PipeWire's JACK ($(pipewire --version | tail -1))"
    log "  left out: the tests that start a jackd of their own and kill it (MIDIEngineJackServerTest.*)"
    # Each suite within its share of the stage's 90 s. A pretty name set on
    # PipeWire 0.3.65 can outlive its port in the library's cache and label
    # the next port that takes its id: that test runs in a process of its own.
    pw_suite 20 "$tests/korvane_midi_service_conformance_tests" '*jack*' || failed=1
    pw_suite 35 "$tests/korvane_midi_integration_tests" \
        '-MIDIEngineJackServerTest.*:MIDIEngineJackTest.APrettyName*' || failed=1
    pw_suite 10 "$tests/korvane_midi_integration_tests" 'MIDIEngineJackTest.APrettyName*' || failed=1
    pw_suite 30 "$tests/korvane_app_integration_tests" '*' || failed=1
    stop_pipewire
    log "PipeWire stage: $((SECONDS - started)) s, $([ $failed -eq 0 ] && echo passed || echo FAILED)"
    return $failed
}
