#!/usr/bin/env bash
# Builds in release mode and prints the benchmark figures. Starts a dummy JACK
# server for the latency probe when none is running.
set -euo pipefail
export KORVANE_BUILD=${KORVANE_BUILD:-$(cd "$(dirname "$0")/.." && pwd)/build-bench}
source "$(dirname "$0")/lib/common.sh"
source "$KORVANE_ROOT/scripts/lib/jack.sh"

ensure_packages
[ -f "$KORVANE_BUILD/CMakeCache.txt" ] || cmake -S "$KORVANE_ROOT" -B "$KORVANE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build "$KORVANE_BUILD" -j2

trap stop_jack EXIT
start_jack

shopt -s nullglob
for b in "$KORVANE_BUILD"/bench/*_bench; do
    log "running $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
done
