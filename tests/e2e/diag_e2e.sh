#!/usr/bin/env bash
# spindlekeep-diag against the installed daemon: no daemon, the agent socket,
# the group listing, an unknown group, and a stale socket after a stop.
source "$(dirname "$0")/lib.sh" "$@"

DIAG="$P/bin/spindlekeep-diag"
SOCK="$P/config/spindlekeep_diag.sock"
TXT=/tmp/diag.txt

# run_diag ARGS...: runs the client, output in $TXT, exit status in $RC.
run_diag() {
  RC=0
  "$DIAG" "$@" >"$TXT" 2>&1 || RC=$?
}

run_diag --help
check "--help exits 0" test "$RC" = 0
check "--help explains the usage" grep -q "usage: spindlekeep-diag" "$TXT"
run_diag drm showmemalloc
check "no daemon: exit status 3" test "$RC" = 3
check "no daemon: clear message" grep -q "the daemon is not running" "$TXT"

start_daemon
check "agent socket appears below the prefix" wait_for 20 test -S "$SOCK"
check "agent socket has mode 0600" test "$(stat -c %a "$SOCK")" = 600
run_diag
check "listing exits 0" test "$RC" = 0
run_diag no_such_group cmd
check "unknown group: exit status 2" test "$RC" = 2
check "unknown group: named in the message" grep -q "unknown group 'no_such_group'" "$TXT"
run_diag --socket "$SOCK" no_such_group
check "--socket reaches the same agent" test "$RC" = 2
run_diag drm "$(head -c 300 /dev/zero | tr '\0' a)"
check "over-long argument: refused with status 4" test "$RC" = 4
check "the daemon survived the requests" kill -0 "$DPID"
stop_daemon

run_diag drm showmemalloc
check "stopped daemon: exit status 3" test "$RC" = 3
start_daemon
check "a restart takes over the stale socket" wait_for 20 sh -c "'$DIAG' >/dev/null 2>&1"
stop_daemon
finish
