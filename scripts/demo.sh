#!/usr/bin/env bash
# The daemon's main job on the built-in demo fleet, as an operator meets it:
# set-up, build, install into a private prefix inside private mount and network
# namespaces (tmpfs over /tmp, /var/tmp and /var/log; nothing on the host is
# touched), start the kernel and user-space agent stand-ins and the daemon,
# then follow the fleet for at most three minutes while the analyses find the
# slow disk, the prefail disks and the worn NVMe, and show each finding as the
# operator's CLI and the data agent see it. One NVMe hot-plug is simulated as
# well. Ends with a table of the findings and stops everything.
#
#   bash scripts/demo.sh          (as root, or as a user who may sudo)
#
# DEMO_SECONDS caps the watch (default 180). The full host log and the agents'
# records are kept in build/demo/out/ after the demo.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
if [ "$(id -u)" != 0 ]; then exec sudo -E bash "$self" "$@"; fi

if [ -z "${SPK_DEMO_IN_NS:-}" ]; then
  bash scripts/setup.sh >/dev/null
  echo "== building (build/demo)"
  cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPK_TESTS=OFF >/dev/null
  cmake --build build/demo -j "$(nproc)" >/dev/null
  mkdir -p build/demo/out
  export SPK_DEMO_IN_NS=1
  exec unshare --mount --net --propagation private bash "$self" "$@"
fi

# Install and reach the output directory before covering /tmp: the checkout
# may live there.
mount -t tmpfs tmpfs /mnt
P=/mnt/spindlekeep
OUT=/mnt/out
cmake --install build/demo --prefix "$P" >/dev/null
mkdir -p "$OUT" && mount --bind build/demo/out "$OUT" && rm -f "$OUT"/*
host_out=$(realpath build/demo/out)
FLEET=/mnt/fleet.json
cp tools/spindlekeep-agent/fleet.example.json "$FLEET"
for d in /tmp /var/tmp /var/log; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
cd /
drivers=/sys/bus/pci/drivers
if [ -d $drivers ]; then mount -t tmpfs tmpfs $drivers; else mount -t tmpfs tmpfs /sys; fi
mkdir -p $drivers/nvme

# The defaults, except: "min_slow_cycle" 10 (of the last 100 cycles) so the
# slow disk is declared within a minute, the prefail groups every 20 s, the
# life monitor every 60 s, and take-over of hot-plugged NVMe disks on.
cat >"$P/config/spindlekeep_config.json" <<'JSON'
{"feature_switch": 1, "takeover_disk_switch": 1, "disklife_prediction": {"task_cycle": 60},
 "sata_ssd_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 10},
 "sas_ssd_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 10},
 "nvme_disk": {"task_cycle": 20, "min_threshold_value": 1, "min_slow_cycle": 10},
 "sas_hdd": {"task_cycle": 20, "min_threshold_value": 100, "min_slow_cycle": 10}}
JSON
chown spindlekeep_user:spindlekeep_group "$P/config/spindlekeep_config.json"
chmod 0640 "$P/config/spindlekeep_config.json"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The fleet runs at twice real time, so its events (up to 150 s) all happen
# within the watch.
mkdir -p /tmp/dma
"$P/bin/spindlekeep-agent" --role kernel --fleet "$FLEET" --time-scale 2 \
  >/tmp/agent-kernel.log 2>&1 &
pids+=($!)
"$P/bin/spindlekeep-agent" --role user --fleet "$FLEET" --time-scale 2 \
  --prom-dir /tmp/dma --record /tmp/dma/dma.jsonl >/tmp/agent-user.log 2>&1 &
pids+=($!)
mkdir -p /var/log/spindlekeep
chown spindlekeep_user:spindlekeep_group /var/log/spindlekeep
for _ in $(seq 50); do [ -S /tmp/dcak.sock ] && [ -S /var/tmp/spdk.sock ] && break; sleep 0.1; done
"$P/bin/spindlekeepd" >/tmp/daemon.out 2>&1 &
dpid=$!
pids+=("$dpid")
echo "== spindlekeepd started (pid $dpid), prefix $P"
echo "   agent stand-ins on /tmp/dcak.sock and /var/tmp/spdk.sock: the 17-disk demo fleet at twice real time"

status=0
python3 - "$P" "$FLEET" "$dpid" "${DEMO_SECONDS:-180}" <<'PY' || status=$?
import json, os, socket, subprocess, sys, time

prefix, fleet_path, dpid, limit = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
cli = os.path.join(prefix, "bin", "spindlekeep-cli")
record = "/tmp/dma/dma.jsonl"
prom = "/tmp/dma/spindlekeep.prom"
fleet = json.load(open(fleet_path))
device = {d["serial_number"]: d["device_name"] for d in fleet["disks"]}
expected = {"SPK0SASS0003": "slow", "SPK0SATA0001": "SMART attribute 5 at its threshold",
            "SPK0SASH0002": "sense code 0x5D/0x10", "SPK0NVME0004": "critical warning bit 0",
            "SPK0NVME0002": "wear towards 99.90%"}
state_name = {0: "Normal", 1: "Fault", 2: "Off-line", 3: "Prefail", 4: "Slow"}
t0 = time.time()

def say(text=""):
    print(text, flush=True)

def run_cli(*args):
    r = subprocess.run([cli, *args], capture_output=True, text=True)
    return r.stdout + (r.stderr if r.returncode else "")

def indent(text):
    return "\n".join("     " + line for line in text.rstrip().splitlines())

def summary_ids():
    ids = {}
    for line in run_cli("show", "summary").splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0].isdigit():
            ids[parts[1]] = int(parts[0])
    return ids

def records():
    try:
        with open(record) as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []

def hotplug(pci):
    os.makedirs(f"/sys/bus/pci/drivers/nvme/{pci}", exist_ok=True)
    path = f"/devices/pci0000:3a/0000:3a:00.0/{pci}/nvme/nvme9"
    entries = [f"add@{path}", "ACTION=add", f"DEVPATH={path}", "SUBSYSTEM=nvme",
               "DEVNAME=nvme9", "SEQNUM=90001"]
    s = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15)
    s.sendto(b"".join(e.encode() + b"\0" for e in entries), (0, 1))

ids = {}
while time.time() - t0 < 20 and len(ids) < 10:
    time.sleep(1)
    ids = summary_ids()
say(f"\n== t={time.time() - t0:3.0f}s  the daemon monitors {len(ids)} disks "
    "(the others are off its vendor whitelist or of a type it does not take)")
say("$ spindlekeep-cli show summary")
say(indent(run_cli("show", "summary")))
say("$ spindlekeep-cli show slowdisk_detect_config")
say(indent(run_cli("show", "slowdisk_detect_config")))
say("\n== following the fleet (findings appear as the analyses declare them)")

found, strategy, plugged, last_tick = {}, {}, False, 0
while time.time() - t0 < limit:
    time.sleep(1)
    now = time.time() - t0
    try:
        os.kill(dpid, 0)
    except OSError:
        say("   the daemon ended early"); sys.exit(1)
    if not plugged and now >= 25:
        say(f"   t={now:3.0f}s  an NVMe controller is hot-plugged at PCI 0000:3b:00.0 (simulated event)")
        hotplug("0000:3b:00.0"); plugged = True
    rs = records()
    for r in rs:
        if r["method"] == "dma_set_disk_handle_strategy":
            strategy[r["params"]["sn"]] = r["params"]["disk_handle_strategy"]
    for r in rs:
        p = r.get("params", {})
        if r["method"] == "dca_rebind_nvme2uio" and "rebind" not in found:
            found["rebind"] = now
            say(f"   t={now:3.0f}s  take-over request sent to the user-space agent: {p}")
        sn = p.get("sn")
        # The strategy follows the state within a moment; announce both together.
        if (r["method"] == "dma_set_disk_state" and p.get("disk_state") in (1, 3, 4)
                and sn not in found and (sn in strategy or time.time() - r["time"] > 3)):
            found[sn] = (now, p["disk_state"])
            ids = ids or summary_ids()
            why = expected.get(sn, "not expected")
            say(f"   t={now:3.0f}s  {device.get(sn, '?'):8} {sn} is {state_name[p['disk_state']]} "
                f"({why}); the data agent is told: \"{strategy.get(sn, '?')}\"")
            if sn in ids:
                say(f"   $ spindlekeep-cli show drm_info disk_id={ids[sn]}")
                say(indent(run_cli("show", "drm_info", f"disk_id={ids[sn]}")))
    if now - last_tick >= 30:
        last_tick = now
        say(f"   t={now:3.0f}s  {len([sn for sn in expected if sn in found])} of {len(expected)} findings so far")
    if all(sn in found for sn in expected):
        break

say("\n$ spindlekeep-cli show slowdisk")
say(indent(run_cli("show", "slowdisk")))
say(f"\n== what the data agent's Prometheus textfile shows ({prom})")
try:
    for line in open(prom):
        if line.startswith(("spindlekeep_disk_state{", "spindlekeep_disk_handle_strategy{")):
            sn = line.split('sn="')[1].split('"')[0]
            if sn in found:
                say("   " + line.rstrip())
except FileNotFoundError:
    say("   (no textfile)")

say("\n== findings")
say(f"   {'disk':9}{'serial number':15}{'id':>3}  {'state':9}{'found at':>9}  suggestion")
for sn in expected:
    if sn in found:
        t, st = found[sn]
        say(f"   {device.get(sn, '?'):9}{sn:15}{ids.get(sn, -1):>3}  {state_name[st]:9}{t:8.0f}s  {strategy.get(sn, '?')}")
    else:
        say(f"   {device.get(sn, '?'):9}{sn:15}{ids.get(sn, -1):>3}  {'-':9}{'not yet':>9}  (expected: {expected[sn]})")
unexpected = [sn for sn in found if sn not in expected and sn != "rebind"]
if unexpected:
    say(f"   unexpected state changes: {', '.join(unexpected)}")
sys.exit(0 if all(sn in found for sn in expected) and not unexpected else 1)
PY

kill -TERM "$dpid"; dstatus=0; wait "$dpid" || dstatus=$?
cp /var/log/spindlekeep/spindlekeep.log "$OUT/spindlekeep.log" 2>/dev/null || true
cp /tmp/dma/dma.jsonl /tmp/dma/spindlekeep.prom /tmp/daemon.out "$OUT/" 2>/dev/null || true
cp "$P"/config/spindlekeep_config.json "$P"/config/disk_mgr.config "$OUT/" 2>/dev/null || true
echo
echo "== spindlekeepd stopped with status $dstatus; alive file $(test -e "$P/config/spindlekeep_master_process_alive" && echo left behind || echo removed)"
echo "   host log, data-agent record and textfile, registry and configuration: $host_out/"
exit "$status"
