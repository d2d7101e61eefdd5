#!/usr/bin/env bash
# Process life: alive and lock files, single master, SIGTERM, stale alive
# files, the early exit statuses and the host log; and spindlekeep-diag
# against it: no daemon, the agent socket, the group listing, refusals,
# malformed requests and a stale socket after a stop. (The DRM groups and
# memory commands on a full node are the fleet64 scenario's.) Last, NVMe
# take-over from the configuration switch to the user-space agent
# stand-in's record: a kernel-style device event on the uevent group of the
# private network namespace, the NVMe driver entry in a tmpfs over /sys.
source "$(dirname "$0")/lib.sh" "$@"

LOCK="$P/config/spindlekeep_master_process_lockfile" SOCK="$P/config/spindlekeep_diag.sock"
# run_daemon: a foreground start; its status in $RC, its output in $OUT.
run_daemon() { RC=0; "${1:-$DAEMON}" >"$OUT" 2>&1 || RC=$?; }

diag 0 "usage: spindlekeep-diag" --help
diag 3 "the daemon is not running" drm showmemalloc
start_daemon --ignored-argument another
check "alive file and diagnose socket appear" wait_for 20 eval 'alive_up && test -S "$SOCK"'
check_eq "alive file, lock file and diagnose socket modes, lock owner" \
  "$(stat -c %a "$ALIVE") $(stat -c %a:%U "$LOCK") $(stat -c %a "$SOCK")" "600 600:spindlekeep_user 600"
diag 0 ""
diag 2 "unknown group 'no_such_group'" no_such_group cmd
diag 2 "" --socket "$SOCK" no_such_group
diag 4 "" drm "$(head -c 300 /dev/zero | tr '\0' a)"
# Garbage, an over-long frame and a client that vanishes must not hurt it.
for payload in '"\xff" * 64' '"\x7f\xff\xff\xff" + b"a" * 100000' '"\0\0"'; do
  "${PY[@]}" -c "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(b$payload)" \
    "$SOCK" 2>/dev/null || true
done
diag 0 ""  # it survived them and still serves
stop_ok SIGTERM
check "SIGTERM removes the alive file" test ! -e "$ALIVE"
check "exit is logged, with the module tag" grep -qE '\[MAIN\]spindlekeep master exit with signal 15\.' "$HOST_LOG"
diag 3 "" drm showmemalloc

start_daemon
check "a restart takes over the stale socket" wait_for 20 quiet "$DIAG"
run_daemon
check_eq "a second start: exit status" "$RC" 0
check "the first daemon keeps running" kill -0 "$DPID"
check "second start reports the held lock" grep -q "process file has already locked (EAGAIN)" "$OUT"
check "a second start leaves the running master's alive file" alive_up
stop_ok "the first daemon"

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
stop_ok "restarted daemon"

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

mount -t tmpfs tmpfs /sys && mkdir -p /sys/bus/pci/drivers/nvme/0000:3b:00.0
echo '{"disks": []}' >"$FLEET"
start_agent user "$FLEET"
echo '{"feature_switch": 0, "takeover_disk_switch": 1}' >"$CONFIG"
start_daemon
check "the take-over switch starts the uevent listener" \
  wait_for 20 awk '$2 == 15 && $3 != 0 && $4 != "00000000" {f=1} END {exit !f}' /proc/net/netlink
"${PY[@]}" -c 'import socket; p = "/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/nvme/nvme2"
socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15).sendto(b"".join(e.encode() + b"\0" for e in (
    "add@" + p, "ACTION=add", "DEVPATH=" + p, "SUBSYSTEM=nvme", "SEQNUM=7")), (0, 1))'
check "the arrival reaches the user-space agent" wait_for 10 grep -q \
  '"method":"dca_rebind_nvme2uio","params":{"pci_address":"0000:3b:00.0"},"accepted":true' "$DMA_LOG"
stop_and_finish
