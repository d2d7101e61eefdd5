#!/usr/bin/env bash
# NVMe take-over end to end: the daemon started with "takeover_disk_switch"
# on hears kernel-style device events (sent on the uevent multicast group of a
# private network namespace), waits for the NVMe driver entry (a tmpfs over
# the PCI driver directories) and asks the user-space agent stand-in to take
# the controller over; the stand-in records every request.
if [ -z "${SPK_HOTPLUG_IN_NET:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! unshare --net true 2>/dev/null; then
    echo "SKIP: the hot-plug test needs root and a private network namespace (unshare -n)"
    exit 77
  fi
  export SPK_HOTPLUG_IN_NET=1
  exec unshare --net bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh" "$@"

PY=$(python3 -c 'import sys; print(sys.executable)')
RECORD=/tmp/user-agent.jsonl
DRIVERS=/sys/bus/pci/drivers
if [ -d "$DRIVERS" ]; then
  mount -t tmpfs tmpfs "$DRIVERS"
else
  mount -t tmpfs tmpfs /sys && mkdir -p "$DRIVERS"
fi
mkdir "$DRIVERS/nvme"

"$P/bin/spindlekeep-agent" --role user --record "$RECORD" --prom-dir none --log-level warn \
  >>/tmp/agent-user.out 2>&1 &
APID=$!
trap 'kill $APID ${DPID:-} 2>/dev/null || true' EXIT
wait_for 10 test -S /var/tmp/spdk.sock || fail "agent did not come up"

printf '{"feature_switch": 0, "takeover_disk_switch": 1}\n' >"$P/config/spindlekeep_config.json"
chown spindlekeep_user:spindlekeep_group "$P/config/spindlekeep_config.json" 2>/dev/null || true
mkdir -p "$LOG_DIR"
start_daemon

# uevent ACTION DEVPATH SUBSYSTEM | raw:HEX: one datagram to the uevent group.
uevent() {
  "$PY" - "$@" <<'PY'
import socket, sys
if sys.argv[1].startswith("raw:"):
    msg = bytes.fromhex(sys.argv[1][4:])
else:
    action, path, subsystem = sys.argv[1:4]
    entries = [f"{action}@{path}", f"ACTION={action}", f"DEVPATH={path}",
               f"SUBSYSTEM={subsystem}", "SEQNUM=7"]
    msg = b"".join(e.encode() + b"\0" for e in entries)
s = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15)
s.sendto(msg, (0, 1))
PY
}
listening() { awk '$2 == 15 && $3 != 0 && $4 != "00000000" {f=1} END {exit !f}' /proc/net/netlink; }
rebinds() { grep -c "\"method\":\"dca_rebind_nvme2uio\".*\"pci_address\":\"$1\"" "$RECORD" 2>/dev/null || true; }
all_rebinds() { grep -c dca_rebind_nvme2uio "$RECORD" 2>/dev/null || true; }
rebound_once() { test "$(rebinds "$1")" = 1; }

CTRL=/devices/pci0000:3a/0000:3a:00.0
check "the switch from the configuration starts the listener" wait_for 20 listening
mkdir "$DRIVERS/nvme/0000:3b:00.0"
uevent add "$CTRL/0000:3b:00.0/nvme/nvme2" nvme
check "an NVMe arrival reaches the user-space agent" wait_for 10 rebound_once 0000:3b:00.0

# Events that are not an NVMe controller's arrival, and garbage; then one
# more arrival: handled in order, so everything before it was seen too.
mkdir "$DRIVERS/nvme/0000:5e:00.0" "$DRIVERS/nvme/0000:5f:00.0"
uevent add "$CTRL/0000:5e:00.0/nvme/nvme4/nvme4n1" block
uevent remove "$CTRL/0000:5e:00.0/nvme/nvme4" nvme
uevent "raw:$(head -c 8192 /dev/urandom | od -An -tx1 | tr -d ' \n')"
uevent "raw:00"
uevent add "$CTRL/0000:5f:00.0/nvme/nvme5" nvme
check "the next arrival is handed over" wait_for 10 rebound_once 0000:5f:00.0
check "namespace adds, removes and garbage are not" test "$(all_rebinds)" = 2
check "the agent accepted the requests" test "$(grep -c '"accepted":true' "$RECORD")" = 2
check "the daemon is still running" kill -0 "$DPID"
stop_daemon
check "SIGTERM still ends it with status 0" test "$DSTATUS" = 0
finish
