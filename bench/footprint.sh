#!/usr/bin/env bash
# Daemon footprint from outside: CPU time per 3-second collection pass and per
# hour, and resident memory, with 64 disks on two agent processes (32 each).
#
#   bash bench/footprint.sh BUILD_DIR [SECONDS]        (root; default 120 s)
#
# Runs in a private mount namespace (tmpfs over /tmp, /var/tmp, /var/log and
# a private install prefix), so it never touches the host's daemon paths.
# Prints "key value" lines; bench/run.sh gathers them into its table.
set -euo pipefail
BUILD=$(cd "${1:?usage: $0 BUILD_DIR [SECONDS]}" && pwd)
SECS=${2:-120}
if [ -z "${SPK_FP_IN_NS:-}" ]; then
  export SPK_FP_IN_NS=1
  exec unshare --mount --propagation private bash "$0" "$BUILD" "$SECS"
fi
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mount -t tmpfs tmpfs /mnt
P=/mnt/spk-prefix
cmake --install "$BUILD" --prefix "$P" >/dev/null
for d in /tmp /var/tmp /var/log; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
cd /

# 64 whitelisted disks, 32 per role, steady load, no events: what is
# measured is the daemon's routine work.
python3 - /tmp/fleet.json <<'EOF'
import json, sys
types = [("SSD_SATA", "ATA", "KSSD-SA960"), ("SSD_SAS", "KORVAN", "KV-SAS1600"),
         ("HDD_SAS", "SEAGATE", "ST4000NM0043"), ("SSD_NVMe", "KORVAN", "KV-NVMe3840")]
disks = []
for i in range(64):
    t, vendor, model = types[i % 4]
    role = "kernel" if i < 32 else "user"
    d = {"device_name": ("nvme%dn1" % i) if t == "SSD_NVMe" else "sd%c%c" % (97 + i // 26, 97 + i % 26),
         "serial_number": "SPKFP%06d" % i, "type": t, "vendor": vendor, "model": model,
         "slot": i, "role": role}
    if t == "SSD_NVMe":
        d["pci_address"] = "0000:%02x:00.0" % (0x40 + i)
    disks.append(d)
json.dump({"tick_rate": 1000, "disks": disks, "events": []}, open(sys.argv[1], "w"))
EOF

AGENT=$P/bin/spindlekeep-agent
"$AGENT" --role kernel --fleet /tmp/fleet.json --log-level error >/tmp/agent-k.out 2>&1 &
APIDS=$!
"$AGENT" --role user --fleet /tmp/fleet.json --record none --prom-dir none \
  --log-level error >/tmp/agent-u.out 2>&1 &
APIDS="$APIDS $!"
trap 'kill $APIDS ${DPID:-} 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -S /tmp/dcak.sock ] && [ -S /var/tmp/spdk.sock ] && break; sleep 0.1; done

"$P/bin/spindlekeepd" >/tmp/daemon.out 2>&1 &
DPID=$!
# Registered when the registry file names all 64 serial numbers.
for _ in $(seq 600); do
  n=$(grep -o 'SPKFP[0-9]*' "$P/config/disk_mgr.config" 2>/dev/null | sort -u | wc -l || true)
  [ "${n:-0}" -ge 64 ] && break
  sleep 0.1
done
sleep 10  # first health and base rounds out of the way

hz=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
c0=$(cpu "$DPID"); t0=$(date +%s.%N)
sleep "$SECS"
c1=$(cpu "$DPID"); t1=$(date +%s.%N)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$DPID/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$DPID/status")
threads=$(awk '/^Threads/ {print $2}' "/proc/$DPID/status")
kill -TERM "$DPID"; wait "$DPID" || true
awk -v c0="$c0" -v c1="$c1" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v n="$n" \
    -v rss="$rss" -v hwm="$hwm" -v th="$threads" 'BEGIN {
  cpu = (c1 - c0) / hz; wall = t1 - t0; passes = wall / 3
  printf "disks %d\nwall_s %.1f\ncpu_ms_per_pass %.2f\ncpu_s_per_hour %.1f\n", n, wall, 1000 * cpu / passes, cpu * 3600 / wall
  printf "core_pct %.3f\nrss_kib %d\nrss_peak_kib %d\nthreads %d\n", 100 * cpu / wall, rss, hwm, th }'
