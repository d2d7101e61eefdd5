#!/usr/bin/env bash
# Runs the daemon's main job on the built-in demo fleet: builds, installs into
# a private prefix inside a private mount namespace (tmpfs over /tmp, /var/tmp
# and /var/log, so nothing on the host is touched), starts the kernel and
# user-space agent stand-ins and the daemon, lets them work for a while
# (DEMO_SECONDS, default 60), shows what happened and stops everything.
# NVMe take-over is switched on and one NVMe hot-plug is simulated: a
# kernel-style device event in a private network namespace and the NVMe
# driver entry in a tmpfs over the PCI driver directories.
# Run as root.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
seconds=${DEMO_SECONDS:-60}

if [ -z "${SPK_DEMO_IN_NS:-}" ]; then
  bash scripts/setup.sh
  cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPK_TESTS=OFF >/dev/null
  cmake --build build/demo -j "$(nproc)"
  export SPK_DEMO_IN_NS=1
  exec unshare --mount --net --propagation private bash "$self" "$@"
fi

# Install before covering /tmp: the checkout may live there.
mount -t tmpfs tmpfs /mnt
P=/mnt/spindlekeep
cmake --install build/demo --prefix "$P" >/dev/null
for d in /tmp /var/tmp /var/log; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
cd /
echo "== installed into private prefix $P"
drivers=/sys/bus/pci/drivers
if [ -d $drivers ]; then mount -t tmpfs tmpfs $drivers; else mount -t tmpfs tmpfs /sys; fi
mkdir -p $drivers/nvme
# The daemon's defaults, with take-over of hot-plugged NVMe disks switched on.
cat >"$P/config/spindlekeep_config.json" <<'JSON'
{"feature_switch": 1, "takeover_disk_switch": 1, "disklife_prediction": {"task_cycle": 86400},
 "sata_ssd_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 50},
 "sas_ssd_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 50},
 "nvme_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 50},
 "sas_hdd": {"task_cycle": 20, "min_threshold_value": 100, "min_slow_cycle": 50}}
JSON
chown spindlekeep_user:spindlekeep_group "$P/config/spindlekeep_config.json"
chmod 0640 "$P/config/spindlekeep_config.json"

# An NVMe controller at PCI address $1 arrives: the kernel NVMe driver binds
# it, and its "add" event goes to the uevent multicast group.
hotplug_nvme() {
  mkdir -p "$drivers/nvme/$1"
  python3 - "$1" <<'PY'
import socket, sys
path = f"/devices/pci0000:3a/0000:3a:00.0/{sys.argv[1]}/nvme/nvme9"
entries = [f"add@{path}", "ACTION=add", f"DEVPATH={path}", "SUBSYSTEM=nvme", "MAJOR=243",
           "MINOR=9", "DEVNAME=nvme9", "SEQNUM=90001"]
socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15).sendto(
    b"".join(e.encode() + b"\0" for e in entries), (0, 1))
PY
}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

if [ -x "$P/bin/spindlekeep-agent" ]; then
  "$P/bin/spindlekeep-agent" --role kernel >/tmp/agent-kernel.log 2>&1 &
  pids+=($!)
  "$P/bin/spindlekeep-agent" --role user --prom-dir /tmp/prom --record /tmp/prom/dma.jsonl \
      >/tmp/agent-user.log 2>&1 &
  pids+=($!)
  echo "== agent stand-ins started on /tmp/dcak.sock and /var/tmp/spdk.sock (demo fleet)"
fi

mkdir -p /var/log/spindlekeep
chown spindlekeep_user:spindlekeep_group /var/log/spindlekeep
"$P/bin/spindlekeepd" >/tmp/daemon.out 2>&1 &
dpid=$!
echo "== daemon started (pid $dpid); watching for ${seconds}s"
for ((i = 0; i < seconds; i += 5)); do
  sleep 5
  if ! kill -0 "$dpid" 2>/dev/null; then echo "daemon ended early"; break; fi
  if [ "$i" = 5 ]; then
    echo "   t= 10s  hot-plug of an NVMe controller at PCI 0000:3b:00.0 (simulated)"
    hotplug_nvme 0000:3b:00.0
  fi
  printf '   t=%3ss  log records: %s\n' "$((i + 5))" \
    "$(wc -l </var/log/spindlekeep/spindlekeep.log 2>/dev/null || echo 0)"
done

if [ -x "$P/bin/spindlekeep-diag" ]; then
  echo "== diagnose groups"; "$P/bin/spindlekeep-diag" || true
fi
if [ -f "$P/config/disk_mgr.config" ]; then
  echo "== disk registry ($P/config/disk_mgr.config)"; cat "$P/config/disk_mgr.config"; echo
fi
if [ -f /tmp/prom/spindlekeep.prom ]; then
  echo "== data agent textfile (/tmp/prom/spindlekeep.prom)"; head -n 40 /tmp/prom/spindlekeep.prom
fi
if [ -f /tmp/dma.jsonl ]; then
  echo "== NVMe take-over requests the user-space agent received (/tmp/dma.jsonl)"
  grep dca_rebind_nvme2uio /tmp/dma.jsonl || echo "   none"
fi
log=/var/log/spindlekeep/spindlekeep.log
# The demo fleet's SATA HDD fails its health batch every pass (the daemon
# accepts no health data for that disk type); keep those records out of view.
noise='dca_get_disks_health_info|Unprocessed \(diskType,vendor\)|Copy\(MessageType:2\)'
if [ -f "$log" ]; then
  echo "== host log (last 40 records; $(grep -cE "$noise" "$log") records about the SATA HDD's health batch left out)"
  grep -vE "$noise" "$log" | tail -n 40
else
  cat /tmp/daemon.out
fi
kill -TERM "$dpid"; status=0; wait "$dpid" || status=$?
echo "== daemon stopped with status $status"
