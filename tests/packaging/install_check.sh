#!/usr/bin/env bash
# `cmake --install` into a temporary prefix: the files a desktop needs, a
# valid .desktop entry and user unit, then the installed program under Xvfb
# from its splash to the setup screen (screenshots splash.png, setup.png and
# setup_rtp.png, with the network toggle switched on by a click).
# Usage: install_check.sh BUILD_DIR SCREENSHOT_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
shots=$2
mkdir -p "$shots"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }
unit="$prefix/lib/systemd/user/korvane-headless@.service"
for f in bin/korvane share/applications/korvane.desktop share/icons/hicolor/scalable/apps/korvane.svg \
    share/doc/korvane/LICENSE.lucide share/korvane/README.txt lib/systemd/user/korvane-headless@.service; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
out=$(desktop-file-validate "$prefix/share/applications/korvane.desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate says: $out"
grep -q "^ExecStart=$prefix/bin/korvane --headless %f$" "$unit" || fail "unit does not run the installed program: $(grep ExecStart "$unit")"
"$prefix/bin/korvane" --version | grep -q '^korvane ' || fail "installed korvane --version"

mkdir -m 700 "$work/runtime"
# No restart loop while KORVANE already runs: a second instance exits with the
# status the unit lists in RestartPreventExitStatus=.
prevent=$(sed -n 's/^RestartPreventExitStatus=//p' "$unit")
(
    export XDG_RUNTIME_DIR=$work/runtime JACK_DEFAULT_SERVER=korvane-install-unit
    "$prefix/bin/korvane" --headless >/dev/null 2>&1 & first=$!
    for _ in $(seq 50); do [ -e "$work/runtime/korvane-korvane-install-unit.lock" ] && break; sleep 0.1; done
    "$prefix/bin/korvane" --headless; echo "second exit $?"
    kill -TERM "$first"; wait "$first"
) >"$work/unit.log" 2>&1
grep -q "^second exit ${prevent:-none}$" "$work/unit.log" ||
    fail "second instance: $(cat "$work/unit.log"); the unit prevents restarts on '${prevent}'"

if command -v systemd-analyze >/dev/null; then
    # verify exits 0 on unknown keys and bad values: any output is a failure.
    out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify \
        "$(dirname "$unit")/korvane-headless@$(systemd-escape --path /tmp/show.tovprjct).service" 2>&1) ||
        fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify says: $out"
else
    echo "systemd-analyze absent: unit not verified"
fi

if [ "${1:-}" != --inside-xvfb ] && command -v xvfb-run >/dev/null; then
    export prefix shots work
    result=$(xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
        set -u
        export XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
        export JACK_DEFAULT_SERVER=korvane-install-check
        unset QT_QPA_PLATFORM WAYLAND_DISPLAY
        "$prefix/bin/korvane" >"$work/window.log" 2>&1 &
        pid=$!
        id=$(timeout 20 xdotool search --sync --onlyvisible --name "^KORVANE" 2>/dev/null | head -1)
        [ -n "$id" ] || { echo "FAIL: no window"; cat "$work/window.log"; exit 0; }
        sleep 1.2
        import -window "$id" "$shots/splash.png" || echo "FAIL: no splash screenshot"
        sleep 3
        import -window "$id" "$shots/setup.png" || echo "FAIL: no setup screenshot"
        # The network toggle: the second switch of the form, at the right edge
        # of its card in a window of the default size.
        xdotool mousemove --window "$id" 1109 484 click 1
        sleep 0.5
        import -window "$id" "$shots/setup_rtp.png" || echo "FAIL: no setup_rtp screenshot"
        kill -TERM "$pid"; wait "$pid"; echo "exit $?"
    ' 2>&1)
    printf "%s\n" "$result"
    printf "%s\n" "$result" | grep -q "^FAIL" && fail "window under Xvfb"
    printf "%s\n" "$result" | grep -q "^exit 0$" || fail "window did not end cleanly on SIGTERM"
    # Three different screens, not three shots of one.
    for pair in "splash setup" "setup setup_rtp"; do
        set -- $pair
        diff=$(compare -metric AE "$shots/$1.png" "$shots/$2.png" null: 2>&1 >/dev/null)
        [ "${diff%% *}" != 0 ] || fail "$1.png and $2.png are the same picture"
    done
else
    echo "xvfb-run absent: window not started"
fi

[ "$failures" -eq 0 ] || { echo "install check: $failures failure(s)"; exit 1; }
echo "install check passed; screenshots in $shots"
