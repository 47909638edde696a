# shellcheck shell=bash
# The independent AppleMIDI stack the network tests talk to: the npm package
# rtpmidi at a pinned version, installed once into the build folder (its
# optional mDNS modules left out: they need native builds and are not used).
# Sourced by scripts/test.sh; exports KORVANE_RTPMIDI_DIR for the tests.

KORVANE_RTPMIDI_VERSION=1.0.0

ensure_rtpmidi() {
    local dir="$KORVANE_BUILD/npm"
    if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
        log "installing: nodejs npm"
        as_root apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
    fi
    if [ "$(node -p "require('$dir/node_modules/rtpmidi/package.json').version" 2>/dev/null)" != "$KORVANE_RTPMIDI_VERSION" ]; then
        mkdir -p "$dir"
        [ -f "$dir/package.json" ] || echo '{"private": true}' >"$dir/package.json"
        npm install --prefix "$dir" --omit=optional --no-audit --no-fund --loglevel=error \
            "rtpmidi@$KORVANE_RTPMIDI_VERSION" >&2 || { log "npm install rtpmidi failed"; return 1; }
    fi
    export KORVANE_RTPMIDI_DIR="$dir/node_modules"
}
