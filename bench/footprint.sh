#!/usr/bin/env bash
# The daemon's footprint from outside: CPU time per 3-second collection pass
# and per hour, and resident memory, with 64 whitelisted disks on the two
# agent stand-ins (32 each, four types), after the first rounds and the
# analyses' first runs. Runs in a private mount namespace like the end-to-end
# tests (root needed). Prints "key value" lines; bench/run.sh tabulates them.
#   bash bench/footprint.sh BUILD_DIR [WINDOW_SECONDS [loaded|outlier]]   (default 120)
# "loaded" gives every disk a steady read load with latency; "outlier" does
# the same and turns the slow-disk detector's peer-outlier mode on for all four
# disk types (every other setting at its default): the two compare the cost
# the mode adds to a pass when it has latencies to compare.
WINDOW=${2:-120}
MODE=${3:-}
source "$(dirname "$0")/../tests/e2e/lib.sh" "$@"

AGENT="$P/bin/spindlekeep-agent"
FLEET=/tmp/fleet64.json
python3 - "$FLEET" "$MODE" <<'PYEOF'
import json, sys
kinds = [("SSD_SATA", "ATA", "KSSD-SA960", "kernel"), ("HDD_SAS", "SEAGATE", "ST4000NM0043", "kernel"),
         ("SSD_SAS", "KORVAN", "KV-SAS1600", "user"), ("SSD_NVMe", "KORVAN", "KV-NVMe3840", "user")]
disks = []
for k, (typ, vendor, model, role) in enumerate(kinds):
    for i in range(16):
        n = k * 16 + i
        d = {"device_name": ("nvme%dn1" % n) if typ == "SSD_NVMe" else "sd%s%s" % (chr(97 + k), chr(97 + i)),
             "serial_number": "SPKCPU%04d" % n, "type": typ, "vendor": vendor, "model": model,
             "firmware": "F1", "capacity": "1600321314816", "slot": n, "role": role,
             "health": {"power_on_hours": 5000, "wear": 300}}
        if typ == "SSD_NVMe":
            d["pci_address"] = "0000:%02x:00.0" % n
        if sys.argv[2]:
            d["load"] = {"read_iops": 2000 + 10 * n, "read_kib_s": 8000 + 40 * n,
                         "read_latency_us": 80 + n % 5, "util": 20}
        disks.append(d)
json.dump({"tick_rate": 1000, "disks": disks, "events": []}, open(sys.argv[1], "w"))
PYEOF

"$AGENT" --role kernel --fleet "$FLEET" --log-level warn >>/tmp/agent-kernel.out 2>&1 &
PIDS="$!"
"$AGENT" --role user --fleet "$FLEET" --prom-dir none --record none --log-level warn \
  >>/tmp/agent-user.out 2>&1 &
PIDS="$PIDS $!"
trap 'kill $PIDS ${DPID:-} 2>/dev/null || true' EXIT
wait_for 10 test -S /tmp/dcak.sock -a -S /var/tmp/spdk.sock || { echo "agents did not come up"; exit 1; }
if [ "$MODE" = outlier ]; then
  jq -n '{feature_switch: 1, takeover_disk_switch: 0, disklife_prediction: {task_cycle: 86400}}
         + ({sata_ssd_disk: 1, sas_ssd_disk: 1, nvme_disk: 1, sas_hdd: 100} | with_entries(.value =
            {task_cycle: 20, min_threshold_value: .value, min_slow_cycle: 50, outlier_switch: 1}))' \
    >"$CONFIG"
fi
start_daemon
registered() { grep -o '"SPKCPU[0-9]*"' "$P/config/disk_mgr.config" 2>/dev/null | sort -u | wc -l; }
all_in() { test "$(registered)" = 64; }
wait_for 30 all_in || { echo "only $(registered) disks registered"; exit 1; }
sleep 20  # warm-up: first health and IO rounds, the analyses' first runs
if [ "$MODE" = outlier ]; then
  echo "outlier_types_on $("$P/bin/spindlekeep-cli" show slowdisk_outlier_config | grep -c 'outlier_switch=   1')"
fi
cpu_ticks() { awk '{print $14 + $15}' "/proc/$DPID/stat"; }
t0=$(cpu_ticks); s0=$(date +%s.%N)
sleep "$WINDOW"
t1=$(cpu_ticks); s1=$(date +%s.%N)
status_kib() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$DPID/status"; }
rss=$(status_kib VmRSS); hwm=$(status_kib VmHWM); threads=$(status_kib Threads)
stop_daemon
python3 - "$t0" "$t1" "$s0" "$s1" "$(getconf CLK_TCK)" "$rss" "$hwm" "$threads" <<'PYEOF'
import sys
t0, t1, s0, s1, hz = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
cpu_ms = (t1 - t0) * 1000.0 / hz
passes = (s1 - s0) / 3.0
print("window_s %.0f" % (s1 - s0))
print("cpu_ms_per_pass %.2f" % (cpu_ms / passes))
print("cpu_s_per_hour %.1f" % (cpu_ms / (s1 - s0) * 3.6))
print("core_pct %.3f" % (cpu_ms / ((s1 - s0) * 10.0)))
print("rss_kib %s\nrss_peak_kib %s\nthreads %s" % tuple(sys.argv[6:9]))
PYEOF
