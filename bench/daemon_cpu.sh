#!/usr/bin/env bash
# The daemon's CPU per 3-second collection pass, measured from outside: 64
# whitelisted disks on the two agent stand-ins (32 each, four types), the
# daemon started on them, a warm-up, then user+system time from
# /proc/PID/stat over a window. Runs in a private mount namespace like the
# end-to-end tests (root needed).
#   bash bench/daemon_cpu.sh BUILD_DIR [WINDOW_SECONDS]
WINDOW=${2:-180}
source "$(dirname "$0")/../tests/e2e/lib.sh" "$@"

AGENT="$P/bin/spindlekeep-agent"
FLEET=/tmp/fleet64.json
python3 - "$FLEET" <<'PYEOF'
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
start_daemon
registered() { grep -o '"SPKCPU[0-9]*"' "$P/config/disk_mgr.config" 2>/dev/null | sort -u | wc -l; }
all_in() { test "$(registered)" = 64; }
wait_for 30 all_in || { echo "only $(registered) disks registered"; exit 1; }
sleep 20  # warm-up: first health and IO rounds, the analyses' first runs
cpu_ticks() { awk '{print $14 + $15}' "/proc/$DPID/stat"; }
t0=$(cpu_ticks); s0=$(date +%s.%N)
sleep "$WINDOW"
t1=$(cpu_ticks); s1=$(date +%s.%N)
stop_daemon
python3 - "$t0" "$t1" "$s0" "$s1" "$(getconf CLK_TCK)" <<'PYEOF'
import sys
t0, t1, s0, s1, hz = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
cpu_ms = (t1 - t0) * 1000.0 / hz
passes = (s1 - s0) / 3.0
print("window %.0f s, daemon CPU %.0f ms, %.0f passes: %.2f ms per pass, %.3f %% of a core"
      % (s1 - s0, cpu_ms, passes, cpu_ms / passes, cpu_ms / ((s1 - s0) * 10.0)))
PYEOF
