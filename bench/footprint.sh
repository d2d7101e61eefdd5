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
# With SPK_PROFILE=strace|callgrind|perf and SPK_PROFILE_OUT=DIR (absolute,
# outside /tmp) the daemon runs under that tool for the window instead, to see
# where its CPU goes; the tool's report is left in DIR. callgrind dumps the
# start-up and warm-up into callgrind.out.1, so callgrind.out holds the window
# alone. perf samples the whole machine (a per-task sampling timer restarts in
# every new thread, so short-lived workers would hardly ever be sampled):
# report with --pid, the daemon's pid is printed.
WINDOW=${2:-120}
MODE=${3:-}
PROFILE=${SPK_PROFILE:-}
PROFILE_OUT=${SPK_PROFILE_OUT:-}
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
  on='{"outlier_switch": 1}'
  write_config 1 50 "{\"sata_ssd_disk\": $on, \"sas_ssd_disk\": $on, \"nvme_disk\": $on, \"sas_hdd\": $on}"
fi
if [ "$PROFILE" = callgrind ]; then
  valgrind --tool=callgrind --callgrind-out-file="$PROFILE_OUT/callgrind.out" "$DAEMON" >>"$OUT" 2>&1 &
  DPID=$!
else
  start_daemon
fi
registered() { grep -o '"SPKCPU[0-9]*"' "$P/config/disk_mgr.config" 2>/dev/null | sort -u | wc -l; }
all_in() { test "$(registered)" = 64; }
wait_for 30 all_in || { echo "only $(registered) disks registered"; exit 1; }
sleep 20  # warm-up: first health and IO rounds, the analyses' first runs
if [ "$MODE" = outlier ]; then
  echo "outlier_types_on $("$P/bin/spindlekeep-cli" show slowdisk_outlier_config | grep -c 'outlier_switch=   1')"
fi
if [ -n "$PROFILE" ]; then
  case "$PROFILE" in
    callgrind) callgrind_control --dump=warm-up "$DPID" >/dev/null; sleep "$WINDOW" ;;
    strace) timeout -s INT "$WINDOW" strace -c -f -o "$PROFILE_OUT/strace.txt" -p "$DPID" || true
            # and every call of 6 seconds, two passes, in order
            timeout -s INT 6 strace -f -tt -o "$PROFILE_OUT/strace-calls.txt" -p "$DPID" || true ;;
    # System-wide: a per-task sampling timer restarts in every new thread, so
    # short-lived workers would hardly ever be sampled; filter by pid after.
    perf) perf record -a -F 10000 -e cpu-clock -o "$PROFILE_OUT/perf.data" -- sleep "$WINDOW" \
            >/dev/null 2>&1 ;;
    *) echo "unknown SPK_PROFILE $PROFILE"; exit 1 ;;
  esac
  stop_daemon
  echo "profile of daemon pid $DPID in $PROFILE_OUT"
  exit 0
fi
# The process's CPU clock in nanoseconds (clock_getcpuclockid of another
# process): /proc/PID/stat counts in 10 ms ticks, which is 4% of a whole
# 120-second window at this daemon's rate.
cpu_ns() { python3 -c 'import sys, time; print(time.clock_gettime_ns(((~int(sys.argv[1])) << 3) | 2))' "$DPID"; }
# User and system shares, from the tick counts (coarse, but enough for a split).
ticks() { awk '{print $14, $15, $10}' "/proc/$DPID/stat"; }
read -r u0 k0 f0 <<<"$(ticks)"
t0=$(cpu_ns); s0=$(date +%s.%N)
sleep "$WINDOW"
t1=$(cpu_ns); s1=$(date +%s.%N)
read -r u1 k1 f1 <<<"$(ticks)"
status_kib() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$DPID/status"; }
rss=$(status_kib VmRSS); hwm=$(status_kib VmHWM); threads=$(status_kib Threads)
stop_daemon
python3 - "$t0" "$t1" "$s0" "$s1" "$rss" "$hwm" "$threads" "$((u1 - u0))" "$((k1 - k0))" "$((f1 - f0))" <<'PYEOF'
import sys
user, system, faults = int(sys.argv[8]), int(sys.argv[9]), int(sys.argv[10])
t0, t1, s0, s1 = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
cpu_ms = (t1 - t0) / 1e6
passes = (s1 - s0) / 3.0
print("window_s %.0f" % (s1 - s0))
print("cpu_ms_per_pass %.2f" % (cpu_ms / passes))
print("cpu_s_per_hour %.1f" % (cpu_ms / (s1 - s0) * 3.6))
print("user_pct %.0f" % (100.0 * user / max(1, user + system)))
print("page_faults_per_pass %.0f" % (faults / passes))
print("core_pct %.3f" % (cpu_ms / ((s1 - s0) * 10.0)))
print("rss_kib %s\nrss_peak_kib %s\nthreads %s" % tuple(sys.argv[5:8]))
PYEOF
