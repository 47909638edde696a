#!/usr/bin/env bash
# The program as users start it: one real window under Xvfb (title checked
# with xdotool, screenshot saved), one instance per user and JACK server, a
# crashed instance's lock taken over, and the modes that need no display.
# Usage: real_window_check.sh KORVANE_BINARY SCREENSHOT_DIR
set -uo pipefail

window_check() {
    "$korvane" >"$runtime/window.log" 2>&1 &
    local pid=$! code
    local ids
    ids=$(timeout 20 xdotool search --sync --onlyvisible --name '^KORVANE — Nouveau projet$') ||
        { echo "FAIL: no window titled 'KORVANE — Nouveau projet'"; cat "$runtime/window.log"; kill "$pid"; return 1; }
    [ "$(printf '%s\n' "$ids" | wc -l)" -eq 1 ] || echo "FAIL: more than one window: $ids"
    sleep 1
    import -window root "$shots/real_window.png" || echo "FAIL: no screenshot"

    # A second instance for the same user and server refuses to run.
    local second
    second=$("$korvane" --headless 2>&1); code=$?
    [ "$code" -eq 3 ] || echo "FAIL: second instance exit $code, expected 3"
    printf '%s\n' "$second" | grep -q 'KORVANE est déjà lancé' || echo "FAIL: second instance said: $second"
    # ...unless asked for explicitly.
    "$korvane" --headless --another-instance >"$runtime/another.log" 2>&1 &
    local other=$!
    sleep 1
    kill -0 "$other" 2>/dev/null || echo "FAIL: --another-instance did not run: $(cat "$runtime/another.log")"
    kill -TERM "$other"; wait "$other"

    kill -TERM "$pid"; wait "$pid"; code=$?
    [ "$code" -eq 0 ] || echo "FAIL: window after SIGTERM: exit $code"
}

if [ "${1:-}" = --inside-xvfb ]; then
    window_check
    exit 0
fi

korvane=$1
shots=$2
mkdir -p "$shots"
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime
# A server of our own name: the lock is per server, so the shared test
# server's instances are left alone.
export JACK_DEFAULT_SERVER=korvane-window-check
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() { rm -rf "$runtime"; }
trap cleanup EXIT

# Without a display the window says so in one line and exits 2.
out=$(env -u DISPLAY "$korvane" 2>&1); code=$?
[ "$code" -eq 2 ] || fail "no display: exit $code, expected 2"
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "no display: expected one line, got: $out"

# The headless mode runs without a display and stops on SIGTERM with 0.
headless_log=$runtime/headless.log
env -u DISPLAY "$korvane" --headless >"$headless_log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q '^Prêt$' "$headless_log" && break; sleep 0.1; done
grep -q '^Prêt$' "$headless_log" || fail "headless did not start: $(cat "$headless_log")"
kill -TERM "$pid"; wait "$pid"; code=$?
[ "$code" -eq 0 ] || fail "headless after SIGTERM: exit $code"

# A crashed instance leaves its lock behind; the next one takes it over.
"$korvane" --headless >"$headless_log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q '^Prêt$' "$headless_log" && break; sleep 0.1; done
kill -KILL "$pid"; wait "$pid" 2>/dev/null
ls "$runtime"/korvane-*.lock >/dev/null 2>&1 || fail "no lock file in the runtime folder"

export korvane shots runtime
result=$(xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-xvfb 2>&1)
printf '%s\n' "$result"
if printf '%s\n' "$result" | grep -q '^FAIL'; then failures=$((failures + 1)); fi

if [ "$failures" -ne 0 ]; then
    echo "real window check: $failures failure(s)"
    exit 1
fi
echo "real window check passed; screenshot: $shots/real_window.png"
