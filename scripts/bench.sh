#!/usr/bin/env bash
# Builds in release mode and prints the benchmark figures. Starts a dummy JACK
# server for the latency probe when none is running, then runs the probe on a
# private PipeWire server too.
set -euo pipefail
export KORVANE_BUILD=${KORVANE_BUILD:-$(cd "$(dirname "$0")/.." && pwd)/build-bench}
# shellcheck source=lib/common.sh
source "$(dirname "$0")/lib/common.sh"
# shellcheck source=lib/jack.sh
source "$KORVANE_ROOT/scripts/lib/jack.sh"
# shellcheck source=lib/pipewire.sh
source "$KORVANE_ROOT/scripts/lib/pipewire.sh"

ensure_packages
[ -f "$KORVANE_BUILD/CMakeCache.txt" ] || cmake -S "$KORVANE_ROOT" -B "$KORVANE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build "$KORVANE_BUILD" -j2

trap 'stop_pipewire; stop_jack' EXIT
start_jack

shopt -s nullglob
for b in "$KORVANE_BUILD"/bench/*_bench; do
    log "running $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
done

# The latency probe again on PipeWire's JACK, at two cycles forced on the
# whole graph (KORVANE_PIPEWIRE_BENCH=0 leaves it out).
if [ "${KORVANE_PIPEWIRE_BENCH:-1}" != 0 ] && start_pipewire; then
    for cycle in 256 64; do
        force_pipewire_cycle "$cycle"
        log "running jack_latency_bench on PipeWire, cycle forced to $cycle frames"
        pw_run "$KORVANE_BUILD/bench/jack_latency_bench"
    done
    stop_pipewire
fi
