#!/usr/bin/env bash
# Builds the Debian package with cpack and installs it as a user would:
# dpkg -i (then apt-get -f install when dependencies are missing), the
# program runs from /usr/bin, the user unit verifies, dpkg -r leaves nothing.
# Exits 77 (skipped) where packages cannot be installed as root, or when a
# korvane package is already installed (it is not ours to remove).
# Usage: deb_check.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
if [ "$(id -u)" -eq 0 ]; then
    as_root() { "$@"; }
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root() { sudo -n "$@"; }
else
    skip "dpkg -i needs root (or sudo without a password)"
fi
command -v cpack >/dev/null && command -v dpkg-shlibdeps >/dev/null || skip "cpack or dpkg-dev absent"
dpkg-query -W -f='${Status}' korvane 2>/dev/null | grep -q 'install ok installed' &&
    skip "a korvane package is already installed"

work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
installed=0
cleanup() {
    [ "$installed" -eq 1 ] && as_root dpkg -r korvane >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack -G DEB"; exit 1; }
deb=$(ls "$work"/korvane_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { fail "no .deb made"; exit 1; }

fields=$(dpkg-deb -f "$deb" Depends Recommends)
printf '%s\n' "$fields" | grep -q '^Depends:.*libqt6widgets6' || fail "Depends not read from the libraries: $fields"
printf '%s\n' "$fields" | grep -q '^Depends:.*libjack' || fail "no JACK library in Depends: $fields"
printf '%s\n' "$fields" | grep -q '^Recommends:.*jackd2.*avahi-daemon' || fail "Recommends: $fields"

export DEBIAN_FRONTEND=noninteractive
installed=1
if ! as_root dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    as_root apt-get -f install -y -qq >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i and apt-get -f install"; }
fi
[ "$(command -v korvane)" = /usr/bin/korvane ] || fail "korvane not on the path from /usr/bin"
/usr/bin/korvane --version | grep -q '^korvane ' || fail "/usr/bin/korvane --version"
unit=/usr/lib/systemd/user/korvane-headless@.service
grep -q '^ExecStart=/usr/bin/korvane --headless %f$' "$unit" || fail "unit: $(grep ExecStart "$unit")"
if command -v systemd-analyze >/dev/null; then
    mkdir -m 700 "$work/runtime"
    out=$(XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify \
        "/usr/lib/systemd/user/korvane-headless@$(systemd-escape --path /tmp/show.tovprjct).service" 2>&1) ||
        fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify says: $out"
fi
files=$(dpkg -L korvane)

as_root dpkg -r korvane >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r"; }
installed=0
dpkg-query -W -f='${Status}' korvane 2>/dev/null | grep -q 'install ok installed' && fail "still installed"
left=$(printf '%s\n' "$files" | while read -r f; do [ -f "$f" ] && echo "$f"; done)
[ -z "$left" ] || fail "files left after dpkg -r: $left"

[ "$failures" -eq 0 ] || { echo "deb check: $failures failure(s)"; exit 1; }
echo "deb check passed: $(basename "$deb") installed, ran and removed"
