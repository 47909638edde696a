#!/usr/bin/env bash
# shellcheck shell=bash
# Private D-Bus system bus and an avahi-daemon on the loopback interface,
# for the DNS-SD tests. Sourced by scripts/*.sh; also run directly by the
# tests to stop and restart the daemon, or to freeze it (it keeps its bus name
# but answers nothing, as a hung daemon would) and let it go on:
#   avahi.sh daemon-stop | daemon-start | daemon-pause | daemon-resume
# (uses $KORVANE_AVAHI_DIR)
#
# start_avahi makes sure a dbus-daemon configured by
# scripts/services/dbus-system.conf and an avahi-daemon configured by
# scripts/services/avahi-daemon.conf (loopback only, IPv4 only) run from
# $KORVANE_AVAHI_DIR, and exports DBUS_SYSTEM_BUS_ADDRESS for the tests: their
# services never leave this machine. Runs in parallel on one machine share
# that pair (two responders on lo would fight forever over the reverse record
# of 127.0.0.1); the last run's stop_avahi stops it. A daemon already answering
# on the system bus is used instead only with KORVANE_SYSTEM_AVAHI=1, or when
# a second daemon cannot run next to it (not root).

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

_avahi_bus_up() {
    timeout 2 dbus-send --bus="unix:path=$KORVANE_AVAHI_DIR/system_bus_socket" --print-reply \
        --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1
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

# Starts "$@" detached, output appended to log $1, without the set-up lock's descriptor
# (a daemon holding it would block every later run). Its pid is in $!.
_avahi_spawn() {
    local log=$1
    shift
    (
        if [ -n "${_avahi_lock_fd:-}" ]; then exec {_avahi_lock_fd}>&-; fi
        exec setsid "$@"
    ) </dev/null >>"$log" 2>&1 &
}

# Whether the daemon started last logged a line matching $1 (the log is appended across restarts).
_avahi_log_since_start=0
_avahi_daemon_said() {
    awk -v from="$_avahi_log_since_start" -v pattern="$1" \
        'NR > from && $0 ~ pattern { found = 1 } END { exit !found }' "$KORVANE_AVAHI_DIR/avahi.log" 2>/dev/null
}

_private_mounts() { [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; }

# avahi-daemon refuses to start while its pid file names a live process.
_private_daemon_possible() { _private_mounts || ! avahi-daemon -c >/dev/null 2>&1; }

# Starts avahi-daemon on $DBUS_SYSTEM_BUS_ADDRESS unless it runs. avahi-daemon keeps a fixed
# pid file (/run/avahi-daemon/pid); when root may, it runs in its own mount namespace with a
# private /run/avahi-daemon so that a daemon of the system does not make it refuse to start.
avahi_daemon_start() {
    local dir=$KORVANE_AVAHI_DIR
    _pid_alive "$(cat "$dir/avahi.pid" 2>/dev/null)" && avahi_reachable && return 0
    _stop_pidfile "$dir/avahi.pid"
    local args=(-f "$KORVANE_AVAHI_SERVICES/avahi-daemon.conf" --no-drop-root --no-chroot --no-proc-title
        --no-rlimits)
    _avahi_log_since_start=$({ wc -l <"$dir/avahi.log"; } 2>/dev/null || echo 0)
    if _private_mounts; then
        mkdir -p /run/avahi-daemon
        # shellcheck disable=SC2016
        _avahi_spawn "$dir/avahi.log" unshare --mount \
            sh -c 'mount -t tmpfs korvane-avahi /run/avahi-daemon && exec avahi-daemon "$@"' avahi-daemon "${args[@]}"
    else
        _avahi_spawn "$dir/avahi.log" avahi-daemon "${args[@]}"
    fi
    echo $! >"$dir/avahi.pid"
    if ! _avahi_wait 100 avahi_reachable; then
        _avahi_log "avahi-daemon did not come up; see $dir/avahi.log"
        return 1
    fi
    # Avahi uses the loopback interface only when the kernel lets it join the mDNS group
    # there; some kernels want the multicast flag on lo for that.
    if ! _avahi_wait 30 _avahi_daemon_said "New relevant interface lo[.]IPv4"; then
        _avahi_log "avahi-daemon ignores lo; turning multicast on for lo"
        _as_root ip link set lo multicast on
        if ! _avahi_wait 50 _avahi_daemon_said "New relevant interface lo[.]IPv4"; then
            _avahi_log "avahi-daemon still ignores lo; see $dir/avahi.log"
            return 1
        fi
    fi
    # Until its host name is established the daemon accepts no service.
    if ! _avahi_wait 100 _avahi_daemon_said 'Server startup complete'; then
        _avahi_log "avahi-daemon cannot establish its host name (another mDNS responder on lo?);" \
            "see $dir/avahi.log"
        return 1
    fi
}

avahi_daemon_stop() {
    _stop_pidfile "$KORVANE_AVAHI_DIR/avahi.pid"
}

# Sends $1 (STOP or CONT) to the daemon's process group (setsid made it the leader).
avahi_daemon_signal() {
    local pid
    pid=$(cat "$KORVANE_AVAHI_DIR/avahi.pid" 2>/dev/null) || return 1
    _pid_alive "$pid" && kill -"$1" -- -"$pid"
}

# Runs "$@" holding the lock that orders set-up and tear-down between parallel runs.
_avahi_locked() {
    local rc=0
    exec {_avahi_lock_fd}>>"$KORVANE_AVAHI_DIR.lock"
    if ! flock -w 120 "$_avahi_lock_fd"; then
        _avahi_log "timed out waiting for $KORVANE_AVAHI_DIR.lock"
        rc=1
    else
        "$@" || rc=$?
    fi
    exec {_avahi_lock_fd}>&-
    _avahi_lock_fd=
    return $rc
}

_avahi_bring_up() {
    local dir=$KORVANE_AVAHI_DIR
    # A fixed name in a shared temporary directory: it must be ours.
    [ -d "$dir" ] || mkdir -m 700 "$dir"
    if [ -L "$dir" ] || [ ! -O "$dir" ]; then
        _avahi_log "$dir is not a directory of this user; remove it"
        return 1
    fi
    mkdir -p "$dir/users"
    touch "$dir/users/$$"
    if _avahi_bus_up && avahi_reachable; then
        _avahi_log "sharing the private D-Bus bus and avahi-daemon of $dir with another run"
        return 0
    fi
    if ! _avahi_bus_up; then
        _avahi_log "starting a private D-Bus system bus and avahi-daemon in $dir"
        avahi_daemon_stop
        _stop_pidfile "$dir/dbus.pid"
        rm -f "$dir/system_bus_socket"
        _avahi_spawn "$dir/dbus.log" dbus-daemon --config-file="$KORVANE_AVAHI_SERVICES/dbus-system.conf" \
            --address="unix:path=$dir/system_bus_socket" --nofork --nopidfile --nosyslog
        echo $! >"$dir/dbus.pid"
        if ! _avahi_wait 50 _avahi_bus_up; then
            _avahi_log "dbus-daemon did not come up; see $dir/dbus.log"
            return 1
        fi
    fi
    avahi_daemon_start
}

# Stops the pair when no other run uses it any more.
_avahi_release() {
    local dir=$KORVANE_AVAHI_DIR user
    rm -f "$dir/users/$$"
    for user in "$dir"/users/*; do
        [ -e "$user" ] || continue
        if _pid_alive "${user##*/}"; then
            _avahi_log "avahi-daemon left running for run ${user##*/}"
            return 0
        fi
        rm -f "$user"
    done
    avahi_daemon_stop
    _stop_pidfile "$dir/dbus.pid"
    cp -f "$dir/avahi.log" "$dir-last.log" 2>/dev/null || true
    rm -rf "$dir"
}

start_avahi() {
    if [ "${KORVANE_AVAHI_OWNER:-}" = "$$" ]; then
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
    KORVANE_AVAHI_SAVED_BUS=${DBUS_SYSTEM_BUS_ADDRESS-unset}
    KORVANE_AVAHI_OWNER=$$ # only this shell stops it; child shells inherit the variables
    KORVANE_AVAHI_DIR=${TMPDIR:-/tmp}/korvane-avahi-$(id -u)
    export KORVANE_AVAHI_DIR DBUS_SYSTEM_BUS_ADDRESS="unix:path=$KORVANE_AVAHI_DIR/system_bus_socket"
    if ! _avahi_locked _avahi_bring_up; then
        stop_avahi
        return 1
    fi
    # For the tests that stop and restart the daemon.
    export KORVANE_AVAHI_CTL=$KORVANE_AVAHI_LIB
}

stop_avahi() {
    [ "${KORVANE_AVAHI_OWNER:-}" = "$$" ] || return 0
    _avahi_locked _avahi_release || true
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
    daemon-start) _avahi_locked avahi_daemon_start ;;
    daemon-stop) _avahi_locked avahi_daemon_stop ;;
    # Not under the set-up lock: a frozen daemon must be let go even while a set-up waits.
    daemon-pause) avahi_daemon_signal STOP ;;
    daemon-resume) avahi_daemon_signal CONT ;;
    *)
        echo "usage: $0 daemon-start|daemon-stop|daemon-pause|daemon-resume" >&2
        exit 2
        ;;
    esac
fi
