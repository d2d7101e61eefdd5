#!/usr/bin/env bash
# Process life: alive and lock files, single master, SIGTERM, stale alive
# files, the early exit statuses and the host log. (The diagnose client's
# statuses are the diag scenario's.)
source "$(dirname "$0")/lib.sh" "$@"

ALIVE="$P/config/spindlekeep_master_process_alive"
LOCK="$P/config/spindlekeep_master_process_lockfile"

start_daemon --ignored-argument another
check "alive file appears" wait_for 20 test -f "$ALIVE"
check "alive file has mode 0600" test "$(stat -c %a "$ALIVE")" = 600
check "lock file exists" test -f "$LOCK"
check "lock file is the service user's alone (0600)" \
  test "$(stat -c %a:%U "$LOCK")" = 600:spindlekeep_user
check "records reach the host log" wait_for 10 test -s "$LOG_DIR/spindlekeep.log"

DIAG="$P/bin/spindlekeep-diag"
SOCK="$P/config/spindlekeep_diag.sock"
# Garbage, an over-long frame and a client that vanishes must not hurt it.
python3 - "$SOCK" <<'PY'
import socket, sys
for payload in (b"\xff" * 64, b"\x7f\xff\xff\xff" + b"a" * 100000, b"\x00\x00"):
    s = socket.socket(socket.AF_UNIX)
    s.connect(sys.argv[1])
    try:
        s.sendall(payload)
    except OSError:
        pass
    s.close()
PY
check "the daemon survives malformed diagnose requests" kill -0 "$DPID"
check "spindlekeep-diag still works afterwards" "$DIAG"
stop_daemon
check "SIGTERM ends the daemon with status 0" test "$DSTATUS" = 0
check "SIGTERM removes the alive file" test ! -e "$ALIVE"
check "exit is logged" grep -q "SPINDLE KEEP PROCESS EXIT!!! exit(0)" "$LOG_DIR/spindlekeep.log"
check "host log records carry the module tag" \
  grep -qE '\[MAIN\]spindlekeep master exit with signal 15\.' "$LOG_DIR/spindlekeep.log"

start_daemon
wait_for 20 test -f "$ALIVE" || fail "daemon did not come up again"
FIRST=$DPID
start_daemon
status=0; wait "$DPID" || status=$?
check "a second start exits 0" test "$status" = 0
check "the first daemon keeps running" kill -0 "$FIRST"
check "second start reports the held lock" grep -q "process file has already locked (EAGAIN)" "$OUT"
check "a second start leaves the running master's alive file" test -f "$ALIVE"
DPID=$FIRST
stop_daemon
check "the first daemon exits 0" test "$DSTATUS" = 0

# A crash leaves the alive file behind; the next start removes it first.
start_daemon
wait_for 20 test -f "$ALIVE" || fail "daemon did not come up again"
kill -KILL "$DPID"; wait "$DPID" 2>/dev/null || true
check "a crash leaves the alive file" test -f "$ALIVE"
: >"$OUT"
start_daemon
check "the stale alive file is removed at start" wait_for 20 grep -q "spindlekeep master unlink AliveFile success." "$OUT"
check "the restarted daemon is up" wait_for 20 test -f "$ALIVE"
stop_daemon
check "restarted daemon exits 0" test "$DSTATUS" = 0

# An alive file that cannot be removed stops the start with status 2.
mkdir -p "$ALIVE/blocker"
status=0; "$DAEMON" >"$OUT" 2>&1 || status=$?
check "unremovable alive file gives status 2" test "$status" = 2
check "status 2 says why" grep -q "Unlink AliveFile failed(ret:" "$OUT"
rm -rf "$ALIVE" "$ALIVE.del.tmp"

# An executable path longer than the 4096-byte buffer gives status 4.
deep=/tmp/deep
mkdir -p "$deep"; cd "$deep"
for i in $(seq 1 20); do
  d=$(printf 'd%.0s' $(seq 1 220))
  mkdir "$d"; cd "$d"
done
mkdir bin; cp "$DAEMON" bin/spindlekeepd
status=0; ./bin/spindlekeepd >"$OUT" 2>&1 || status=$?
cd /
check "an over-long executable path gives status 4" test "$status" = 4
check "status 4 says why" grep -q "Init spindlekeep config path failed." "$OUT"

finish
