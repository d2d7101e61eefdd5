#!/usr/bin/env bash
# The three analyses end to end on the agent stand-in's default fleet, run at
# twice its speed: "min_slow_cycle" lowered to 10 in the configuration file,
# the slow SAS SSD becomes Slow in time and alone, the SATA SSD, SAS HDD and
# NVMe that report failure predictions become Prefail, the wearing NVMe gets
# its score, remaining life and Fault or Prefail state once the life monitor's
# schedule is shortened through the diagnose command, and the data agent's
# textfile shows the states and strategies.
source "$(dirname "$0")/lib.sh" "$@"

AGENT="$P/bin/spindlekeep-agent"
DIAG="$P/bin/spindlekeep-diag"
CONFIG="$P/config/spindlekeep_config.json"
DMA_LOG=/tmp/dma.jsonl
PROM=/tmp/prom/spindlekeep.prom
PY=$(python3 -c 'import sys; print(sys.executable)')
SCALE=2            # simulated seconds per real second
SLOW_AT=30         # fleet time at which sdf turns slow
MIN_SLOW_CYCLE=10
SLOW_SN=SPK0SASS0003
WORN_SN=SPK0NVME0002
PREFAIL_SNS="SPK0SATA0001 SPK0SASH0002 SPK0NVME0004"
FAULTY="$SLOW_SN $WORN_SN $PREFAIL_SNS"

mkdir -p /tmp/prom "$P/config"
"$PY" - "$CONFIG" "$MIN_SLOW_CYCLE" <<'PYEOF'
import json, sys
types = {"sata_ssd_disk": 1, "sas_ssd_disk": 1, "nvme_disk": 1, "sas_hdd": 100}
cfg = {"feature_switch": 1, "takeover_disk_switch": 0,
       "disklife_prediction": {"task_cycle": 86400}}
for key, threshold in types.items():
    cfg[key] = {"task_cycle": 20, "min_threshold_value": threshold,
                "min_slow_cycle": int(sys.argv[2])}
json.dump(cfg, open(sys.argv[1], "w"), indent=1)
PYEOF
chown spindlekeep_user:spindlekeep_group "$CONFIG" 2>/dev/null || true
chmod 0640 "$CONFIG"

"$AGENT" --role kernel --time-scale "$SCALE" --control --log-level warn \
  >>/tmp/agent-kernel.out 2>&1 &
PIDS="$!"
"$AGENT" --role user --time-scale "$SCALE" --record "$DMA_LOG" --prom-dir /tmp/prom \
  --log-level warn >>/tmp/agent-user.out 2>&1 &
PIDS="$PIDS $!"
trap 'kill $PIDS ${DPID:-} 2>/dev/null || true' EXIT
wait_for 10 test -S /tmp/dcak.sock -a -S /var/tmp/spdk.sock || fail "agents did not come up"
# Real time at which the kernel agent's fleet clock reaches SLOW_AT.
T_SLOW=$("$PY" - "$SLOW_AT" "$SCALE" <<'PYEOF'
import json, socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect("/tmp/dcak.sock")
s.sendall(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "agent_status"}).encode())
now = json.loads(s.recv(65536).decode())["result"]["now"]
print(time.time() + (float(sys.argv[1]) - now) / float(sys.argv[2]))
PYEOF
)
start_daemon

# prom_value METRIC SN: the value of the metric for the serial number.
prom_value() {
  sed -n "s/^$1{sn=\"$2\"[^}]*} \(.*\)\$/\1/p" "$PROM" 2>/dev/null | head -n 1
}
prom_state_is() { test "$(prom_value spindlekeep_disk_state "$1")" = "$2"; }
prom_strategy() { grep "^spindlekeep_disk_handle_strategy{sn=\"$1\"" "$PROM" 2>/dev/null || true; }
# state_time SN STATE: time of the first state message of SN with STATE.
state_time() {
  "$PY" - "$DMA_LOG" "$1" "$2" <<'PYEOF'
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    p = r.get("params", {})
    if (r["method"] == "dma_set_disk_state" and p.get("sn") == sys.argv[2]
            and p.get("disk_state") == int(sys.argv[3])):
        print(r["time"]); break
PYEOF
}
# Serial numbers outside the faulty ones whose state the daemon changed.
unexpected_states() {
  "$PY" - "$DMA_LOG" $FAULTY <<'PYEOF'
import json, sys
out = set()
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["method"] == "dma_set_disk_state" and r["params"]["sn"] not in sys.argv[2:]:
        out.add("%s:%s" % (r["params"]["sn"], r["params"]["disk_state"]))
print(" ".join(sorted(out)))
PYEOF
}
diag_out() { "$DIAG" "$@" 2>&1 || true; }
has_strategy() { prom_strategy "$1" | grep -q "strategy=\"$2\""; }

check "the slow SAS SSD becomes Slow" wait_for 90 prom_state_is "$SLOW_SN" 4
t_state=$(state_time "$SLOW_SN" 4)
late=$("$PY" -c "print(round(${t_state:-0} - $T_SLOW, 1))")
check "Slow ${late} s after turning slow: within min_slow_cycle + 2 detection cycles" \
  "$PY" -c "import sys; sys.exit(0 if $late <= ($MIN_SLOW_CYCLE + 2) * 3 else 1)"
check "its strategy is migrate and replace" \
  has_strategy "$SLOW_SN" "Migrate data and replace the hard disk"
others=$(unexpected_states)
check "no other disk changed state (${others:-none})" test -z "$others"

zone=$(diag_out u_drm_slow_disk showdiskinzone 2)
check "showdiskinzone 2 lists the three whitelisted NVMe disks ($zone)" \
  test "$(tr ',' '\n' <<<"$zone" | grep -c '^[0-9][0-9]*$')" = 3
slow_id=$("$PY" - "$P/config/disk_mgr.config" "$SLOW_SN" <<'PYEOF'
import json, sys
doc = json.load(open(sys.argv[1]))
items = doc if isinstance(doc, list) else next(v for v in doc.values() if isinstance(v, list))
print(next(e["diskId"] for e in items if e["sn"] == sys.argv[2]))
PYEOF
)
hist=$(diag_out u_drm_slow_disk showdiskiostat "$slow_id")
check "showdiskiostat prints the ring in 32 lines" test "$(grep -c . <<<"$hist")" = 32
check "showdiskiostat shows slow cycles" \
  bash -c "grep '^   isslow:' <<<'$hist' | grep -q '         1'"

# The worn NVMe was judged once at disk-in (95 % wear: about a thousand hours
# left); its wear reaches 99.90 % about a minute later in real time, which only
# a shorter schedule notices.
out=$(diag_out spindlekeep set_disk_life_monitor_schedule_time 60)
check "set_disk_life_monitor_schedule_time 60 answers ($out)" \
  grep -q "Set disk life monitor schedule time 60s" <<<"$out"
worn_judged() { prom_state_is "$WORN_SN" 1 || prom_state_is "$WORN_SN" 3; }
check "the worn NVMe becomes Fault or Prefail" wait_for 150 worn_judged
worn_strategy() {
  has_strategy "$WORN_SN" "Replace the hard disk" ||
    has_strategy "$WORN_SN" "Migrate data and replace the hard disk"
}
check "its strategy follows its state" worn_strategy
check "its remaining life was written and judged" \
  grep -q "sn($WORN_SN) \(will be fault\|will be prefail\)" "$LOG_DIR/spindlekeep.log"

for sn in $PREFAIL_SNS; do
  check "$sn becomes Prefail" wait_for 90 prom_state_is "$sn" 3
  check "$sn strategy is migrate and replace" \
    has_strategy "$sn" "Migrate data and replace the hard disk"
done
others=$(unexpected_states)
check "no disk outside the fleet's faulty ones changed state (${others:-none})" test -z "$others"

stop_daemon
check "the daemon stops with status 0" test "$DSTATUS" = 0
finish
