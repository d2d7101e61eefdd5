#!/usr/bin/env bash
# Process life: alive and lock files, single master, SIGTERM, stale alive
# files, the early exit statuses and the host log. (The diagnose client's
# statuses are the diag scenario's.)
source "$(dirname "$0")/lib.sh" "$@"

LOCK="$P/config/spindlekeep_master_process_lockfile"
# run_daemon: a foreground start; its status in $RC, its output in $OUT.
run_daemon() { RC=0; "${1:-$DAEMON}" >"$OUT" 2>&1 || RC=$?; }

start_daemon --ignored-argument another
check "alive file appears" wait_for 20 alive_up
check_eq "alive file and lock file modes, lock owner" \
  "$(stat -c %a "$ALIVE") $(stat -c %a:%U "$LOCK")" "600 600:spindlekeep_user"
check "records reach the host log" wait_for 10 test -s "$HOST_LOG"
# Garbage, an over-long frame and a client that vanishes must not hurt it.
for payload in '"\xff" * 64' '"\x7f\xff\xff\xff" + b"a" * 100000' '"\0\0"'; do
  "$PY" -c "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b$payload)" \
    "$P/config/spindlekeep_diag.sock" 2>/dev/null || true
done
check "the daemon survives malformed diagnose requests" kill -0 "$DPID"
check "spindlekeep-diag still works afterwards" quiet "$DIAG"
stop_daemon
check_eq "SIGTERM: exit status" "$DSTATUS" 0
check "SIGTERM removes the alive file" test ! -e "$ALIVE"
check "exit is logged" grep -q "SPINDLE KEEP PROCESS EXIT!!! exit(0)" "$HOST_LOG"
check "host log records carry the module tag" \
  grep -qE '\[MAIN\]spindlekeep master exit with signal 15\.' "$HOST_LOG"

start_daemon
wait_for 20 alive_up || fail "daemon did not come up again"
FIRST=$DPID
run_daemon
check_eq "a second start: exit status" "$RC" 0
check "the first daemon keeps running" kill -0 "$FIRST"
check "second start reports the held lock" grep -q "process file has already locked (EAGAIN)" "$OUT"
check "a second start leaves the running master's alive file" alive_up
DPID=$FIRST
stop_daemon
check_eq "the first daemon: exit status" "$DSTATUS" 0

# A crash leaves the alive file behind; the next start removes it first.
start_daemon
wait_for 20 alive_up || fail "daemon did not come up again"
kill -KILL "$DPID"; wait "$DPID" 2>/dev/null || true
check "a crash leaves the alive file" alive_up
: >"$OUT"
start_daemon
check "the stale alive file is removed at start" \
  wait_for 20 grep -q "spindlekeep master unlink AliveFile success." "$OUT"
check "the restarted daemon is up" wait_for 20 alive_up
stop_daemon
check_eq "restarted daemon: exit status" "$DSTATUS" 0

# An alive file that cannot be removed stops the start with status 2, and an
# executable path longer than the 4096-byte buffer with status 4.
mkdir -p "$ALIVE/blocker"
run_daemon
check_eq "unremovable alive file: status, reason" "$RC $(grep -c 'Unlink AliveFile failed(ret:' "$OUT")" "2 1"
rm -rf "$ALIVE" "$ALIVE.del.tmp"
cd /tmp && d=$(printf 'd%.0s' $(seq 220))
for _ in $(seq 20); do mkdir "$d" && cd "$d"; done  # one by one: the whole is past PATH_MAX
mkdir bin && cp "$DAEMON" bin/ && run_daemon ./bin/spindlekeepd && cd /
check_eq "over-long executable path: status, reason" \
  "$RC $(grep -c 'Init spindlekeep config path failed.' "$OUT")" "4 1"
finish
