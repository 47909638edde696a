# shellcheck shell=bash
# Shared set-up for scripts/*.sh. Sourced, not run.
# Installs what is missing with apt-get and configures/builds into build/.

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
KORVANE_BUILD=${KORVANE_BUILD:-$KORVANE_ROOT/build}

# Debian packages the build, the tests and the program need.
KORVANE_PACKAGES=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libjack-jackd2-dev jackd2
    libavahi-client-dev libdbus-1-dev avahi-daemon avahi-utils dbus
    iproute2
    # the window: Qt SVG, Qt's French texts, an emoji font, and for the real
    # window check an X server, xdotool and ImageMagick's import
    qt6-svg-dev qt6-translations-l10n fonts-noto-color-emoji fonts-dejavu-core
    xvfb xauth x11-utils xdotool imagemagick
    # installing: .desktop validation, the Debian package (dpkg-shlibdeps), the user unit check
    desktop-file-utils dpkg-dev systemd
    # the fuzz stage of the tests
    clang libclang-rt-14-dev
    # the format and shell-script checks of the tests
    clang-format shellcheck
)

log() { printf '[korvane] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The packages named, or KORVANE_PACKAGES.
ensure_packages() {
    local missing=() p
    [ $# -gt 0 ] || set -- "${KORVANE_PACKAGES[@]}"
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -qq
    as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure_and_build() {
    local generator_args=()
    [ -f "$KORVANE_BUILD/CMakeCache.txt" ] || generator_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    # Warnings fail the build in CI.
    case "${CI:-}" in
    "" | false) ;;
    *) generator_args+=(-DKORVANE_WERROR=ON) ;;
    esac
    cmake -S "$KORVANE_ROOT" -B "$KORVANE_BUILD" "${generator_args[@]}" "$@" >/dev/null
    cmake --build "$KORVANE_BUILD" -j2
}
