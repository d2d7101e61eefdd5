#!/usr/bin/env bash
# spindlekeep-diag against the installed daemon: no daemon, the agent socket,
# the group listing, refusals and a stale socket after a stop. (The DRM
# groups and memory commands on a full node are the fleet64 scenario's.)
source "$(dirname "$0")/lib.sh" "$@"

SOCK="$P/config/spindlekeep_diag.sock"

diag 0 "usage: spindlekeep-diag" --help
diag 3 "the daemon is not running" drm showmemalloc
start_daemon
check "agent socket appears below the prefix" wait_for 20 test -S "$SOCK"
check_eq "agent socket mode" "$(stat -c %a "$SOCK")" 600
diag 0 ""
diag 2 "unknown group 'no_such_group'" no_such_group cmd
diag 2 "" --socket "$SOCK" no_such_group
diag 4 "" drm "$(head -c 300 /dev/zero | tr '\0' a)"
check "the daemon survived the requests" kill -0 "$DPID"
stop_daemon
diag 3 "" drm showmemalloc
start_daemon
check "a restart takes over the stale socket" wait_for 20 quiet "$DIAG"
stop_and_finish
