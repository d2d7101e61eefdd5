#!/usr/bin/env bash
# NVMe take-over from the configuration switch to the user-space agent
# stand-in's record: a kernel-style device event on the uevent group of a
# private network namespace, the NVMe driver entry in a tmpfs over /sys.
source "$(dirname "$0")/lib.sh" "$@"

DMA_LOG=/tmp/rec/user-agent.jsonl  # the agent refuses a directory others can write
mount -t tmpfs tmpfs /sys && mkdir -p /sys/bus/pci/drivers/nvme/0000:3b:00.0
echo '{"disks": []}' >"$FLEET"
start_agent user "$FLEET"
echo '{"feature_switch": 0, "takeover_disk_switch": 1}' >"$CONFIG"
start_daemon
listening() { awk '$2 == 15 && $3 != 0 && $4 != "00000000" {f=1} END {exit !f}' /proc/net/netlink; }
check "the switch from the configuration starts the listener" wait_for 20 listening
"$PY" - <<'PY'
import socket
path = "/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/nvme/nvme2"
entries = [f"add@{path}", "ACTION=add", f"DEVPATH={path}", "SUBSYSTEM=nvme", "SEQNUM=7"]
socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15).sendto(
    b"".join(e.encode() + b"\0" for e in entries), (0, 1))
PY
check "the arrival reaches the user-space agent" wait_for 10 grep -q \
  '"method":"dca_rebind_nvme2uio","params":{"pci_address":"0000:3b:00.0"},"accepted":true' "$DMA_LOG"
stop_and_finish
