#!/usr/bin/env bash
# shellcheck shell=bash
# Private D-Bus system bus and an avahi-daemon on the loopback interface,
# for the DNS-SD tests. Sourced by scripts/*.sh; also run directly by the
# tests to stop and restart the daemon:
#   avahi.sh daemon-stop | daemon-start      (uses $KORVANE_AVAHI_DIR)
#
# start_avahi starts, in a fresh directory $KORVANE_AVAHI_DIR, a dbus-daemon
# configured by scripts/services/dbus-system.conf and an avahi-daemon
# configured by scripts/services/avahi-daemon.conf (loopback only, IPv4 only),
# exports DBUS_SYSTEM_BUS_ADDRESS for the tests, and stop_avahi stops both.
# The tests' services then never leave this machine. A daemon already
# answering on the system bus is used instead only with KORVANE_SYSTEM_AVAHI=1,
# or when a second daemon cannot run next to it (not root).

KORVANE_AVAHI_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/avahi.sh
KORVANE_AVAHI_SERVICES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../services" && pwd)

_avahi_log() { printf '[korvane] %s\n' "$*" >&2; }

_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

avahi_reachable() {
    timeout 5 dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1
}

_avahi_wait() { # _avahi_wait <tries of 0.1 s> <command...>
    local tries=$1 i
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

_pid_alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

_pid_gone() { # exited, or a zombie waiting to be reaped
    ! kill -0 "$1" 2>/dev/null || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

# Sends SIGTERM to the pid stored in file $1 and waits for it to exit (SIGKILL after 5 s).
_stop_pidfile() {
    local file=$1 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    rm -f "$file"
    _pid_alive "$pid" || return 0
    kill "$pid" 2>/dev/null || true
    if ! _avahi_wait 50 _pid_gone "$pid"; then
        kill -9 "$pid" 2>/dev/null || true
        _avahi_wait 20 _pid_gone "$pid" || true
    fi
    wait "$pid" 2>/dev/null || true # reaps it when this shell started it
}

_avahi_daemon_announced_lo() { grep -q 'New relevant interface lo\.IPv4' "$KORVANE_AVAHI_DIR/avahi.log" 2>/dev/null; }

_private_mounts() { [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; }

# avahi-daemon refuses to start while its pid file names a live process.
_private_daemon_possible() { _private_mounts || ! avahi-daemon -c >/dev/null 2>&1; }

# Starts avahi-daemon on $DBUS_SYSTEM_BUS_ADDRESS. avahi-daemon keeps a fixed pid file
# (/run/avahi-daemon/pid); when root may, it runs in its own mount namespace with a private
# /run/avahi-daemon so that daemons of parallel test runs do not refuse each other.
avahi_daemon_start() {
    local dir=$KORVANE_AVAHI_DIR conf=$KORVANE_AVAHI_DIR/avahi-daemon.conf
    _pid_alive "$(cat "$dir/avahi.pid" 2>/dev/null)" && return 0
    local args=(-f "$conf" --no-drop-root --no-chroot --no-proc-title --no-rlimits)
    if _private_mounts; then
        mkdir -p /run/avahi-daemon
        # shellcheck disable=SC2016
        setsid unshare --mount sh -c 'mount -t tmpfs korvane-avahi /run/avahi-daemon && exec avahi-daemon "$@"' \
            avahi-daemon "${args[@]}" </dev/null >>"$dir/avahi.log" 2>&1 &
    else
        setsid avahi-daemon "${args[@]}" </dev/null >>"$dir/avahi.log" 2>&1 &
    fi
    echo $! >"$dir/avahi.pid"
    if ! _avahi_wait 100 avahi_reachable; then
        _avahi_log "avahi-daemon did not come up; see $dir/avahi.log"
        return 1
    fi
    # Avahi uses the loopback interface only when the kernel lets it join the mDNS group
    # there; some kernels want the multicast flag on lo for that.
    if ! _avahi_wait 30 _avahi_daemon_announced_lo; then
        _avahi_log "avahi-daemon ignores lo; turning multicast on for lo"
        _as_root ip link set lo multicast on
        if ! _avahi_wait 50 _avahi_daemon_announced_lo; then
            _avahi_log "avahi-daemon still ignores lo; see $dir/avahi.log"
            return 1
        fi
    fi
}

avahi_daemon_stop() {
    _stop_pidfile "$KORVANE_AVAHI_DIR/avahi.pid"
}

start_avahi() {
    if [ "${KORVANE_AVAHI_OWNER:-}" = "$$" ] && [ -d "${KORVANE_AVAHI_DIR:-}" ]; then
        return 0 # already started by this shell
    fi
    if [ "${KORVANE_SYSTEM_AVAHI:-}" = 1 ] && avahi_reachable; then
        _avahi_log "KORVANE_SYSTEM_AVAHI=1: the tests use the Avahi daemon on the system bus"
        return 0
    fi
    if ! _private_daemon_possible; then
        if avahi_reachable; then
            _avahi_log "an avahi-daemon already runs and a second one needs root: the tests use it" \
                "(it publishes on its own interfaces, not only on loopback)"
            return 0
        fi
        _avahi_log "an avahi-daemon runs without answering on the system bus; a second one needs root"
        return 1
    fi
    KORVANE_AVAHI_DIR=$(mktemp -d "${TMPDIR:-/tmp}/korvane-avahi.XXXXXX")
    export KORVANE_AVAHI_DIR
    KORVANE_AVAHI_SAVED_BUS=${DBUS_SYSTEM_BUS_ADDRESS-unset}
    KORVANE_AVAHI_OWNER=$$ # only this shell stops them; child shells inherit the variables
    _avahi_log "starting a private D-Bus system bus and avahi-daemon in $KORVANE_AVAHI_DIR"

    local socket=$KORVANE_AVAHI_DIR/system_bus_socket
    dbus-daemon --config-file="$KORVANE_AVAHI_SERVICES/dbus-system.conf" --address="unix:path=$socket" \
        --nofork --nopidfile --nosyslog </dev/null >"$KORVANE_AVAHI_DIR/dbus.log" 2>&1 &
    echo $! >"$KORVANE_AVAHI_DIR/dbus.pid"
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$socket"
    if ! _avahi_wait 50 timeout 2 dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetId >/dev/null 2>&1; then
        _avahi_log "dbus-daemon did not come up; see $KORVANE_AVAHI_DIR/dbus.log"
        stop_avahi
        return 1
    fi

    # A host name of its own, so that daemons of parallel runs on lo do not fight over one.
    sed "s/^\[server\]\$/[server]\nhost-name=korvane-$$-$RANDOM/" "$KORVANE_AVAHI_SERVICES/avahi-daemon.conf" \
        >"$KORVANE_AVAHI_DIR/avahi-daemon.conf"
    if ! avahi_daemon_start; then
        stop_avahi
        return 1
    fi
    # For the tests that stop and restart the daemon.
    export KORVANE_AVAHI_CTL=$KORVANE_AVAHI_LIB
}

stop_avahi() {
    [ "${KORVANE_AVAHI_OWNER:-}" = "$$" ] && [ -d "${KORVANE_AVAHI_DIR:-}" ] || return 0
    avahi_daemon_stop
    _stop_pidfile "$KORVANE_AVAHI_DIR/dbus.pid"
    rm -rf "$KORVANE_AVAHI_DIR"
    if [ "${KORVANE_AVAHI_SAVED_BUS-unset}" = unset ]; then
        unset DBUS_SYSTEM_BUS_ADDRESS
    else
        export DBUS_SYSTEM_BUS_ADDRESS=$KORVANE_AVAHI_SAVED_BUS
    fi
    unset KORVANE_AVAHI_DIR KORVANE_AVAHI_CTL KORVANE_AVAHI_SAVED_BUS KORVANE_AVAHI_OWNER
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    : "${KORVANE_AVAHI_DIR:?not set: start_avahi did not start a private daemon}"
    case "${1:-}" in
    daemon-start) avahi_daemon_start ;;
    daemon-stop) avahi_daemon_stop ;;
    *)
        echo "usage: $0 daemon-start|daemon-stop" >&2
        exit 2
        ;;
    esac
fi
