# shellcheck shell=bash
# libFuzzer stage of scripts/test.sh: builds the fuzz targets with clang in
# their own build directory and runs each one for a bounded time on a scratch
# copy of its seed corpus. Sourced by scripts/*.sh.

KORVANE_FUZZ_BUILD=${KORVANE_FUZZ_BUILD:-$KORVANE_ROOT/build-fuzz}
KORVANE_FUZZ_SECONDS=${KORVANE_FUZZ_SECONDS:-20}
KORVANE_FUZZ_TARGETS=(apple_midi_fuzz midi_stream_parser_fuzz network_midi2_fuzz project_loader_fuzz rtp_journal_fuzz
    rtp_session_core_fuzz)

# clang++ and its libFuzzer runtime (libclang-rt-14-dev).
fuzz_toolchain_present() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local runtime
    runtime=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) || return 1
    [ -f "$runtime" ]
}

build_fuzz_targets() {
    local generator_args=()
    [ -f "$KORVANE_FUZZ_BUILD/CMakeCache.txt" ] || generator_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    cmake -S "$KORVANE_ROOT" -B "$KORVANE_FUZZ_BUILD" "${generator_args[@]}" -DCMAKE_CXX_COMPILER=clang++ \
        -DKORVANE_FUZZ=ON -DKORVANE_TESTS=OFF -DKORVANE_BENCH=OFF >/dev/null
    cmake --build "$KORVANE_FUZZ_BUILD" -j2 --target "${KORVANE_FUZZ_TARGETS[@]}"
}

# Runs every target even after a failure; returns 1 if any crashed, leaked,
# hung or did not start. Inputs that fail are kept in $KORVANE_FUZZ_BUILD/found.
run_fuzz_targets() {
    local failed=() target corpus scratch output
    mkdir -p "$KORVANE_FUZZ_BUILD/found"
    for target in "${KORVANE_FUZZ_TARGETS[@]}"; do
        corpus="$KORVANE_ROOT/fuzz/corpus/${target%_fuzz}"
        scratch=$(mktemp -d "${TMPDIR:-/tmp}/korvane-fuzz.XXXXXX")
        output="$KORVANE_FUZZ_BUILD/found/$target.log"
        # libFuzzer adds new inputs to its first folder: never the seeds.
        [ -d "$corpus" ] && cp -R "$corpus/." "$scratch/"
        log "fuzzing $target for ${KORVANE_FUZZ_SECONDS} s"
        if ! "$KORVANE_FUZZ_BUILD/fuzz/$target" -max_total_time="$KORVANE_FUZZ_SECONDS" -timeout=10 \
            -artifact_prefix="$KORVANE_FUZZ_BUILD/found/$target-" "$scratch" >"$output" 2>&1; then
            tail -n 40 "$output" >&2
            failed+=("$target")
        fi
        rm -rf "$scratch"
    done
    if [ ${#failed[@]} -ne 0 ]; then
        log "fuzzing failed: ${failed[*]} (logs and inputs in $KORVANE_FUZZ_BUILD/found)"
        return 1
    fi
    log "fuzzing: no failure in ${#KORVANE_FUZZ_TARGETS[@]} targets"
}

# The whole stage. Without the toolchain it is skipped, except under CI,
# where a missing stage must not pass unnoticed.
fuzz_stage() {
    if ! fuzz_toolchain_present; then
        if [ -n "${CI:-}" ] && [ "${CI:-}" != "false" ]; then
            log "fuzzing needs clang++ and libclang-rt-14-dev"
            return 1
        fi
        log "fuzzing skipped: clang++ or libclang-rt-14-dev missing"
        return 0
    fi
    build_fuzz_targets && run_fuzz_targets
}
