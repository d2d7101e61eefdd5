#!/usr/bin/env bash
# The three analyses end to end on the agent stand-in's default fleet, run at
# twice its speed: "min_slow_cycle" lowered to 10 in the configuration file,
# the slow SAS SSD becomes Slow in time and alone, the SATA SSD, SAS HDD and
# NVMe that report failure predictions become Prefail, the wearing NVMe gets
# its score, remaining life and Fault or Prefail state once the life monitor's
# schedule is shortened through the diagnose command, and the data agent's
# textfile shows the states and strategies.
source "$(dirname "$0")/lib.sh" "$@"

DIAG="$P/bin/spindlekeep-diag"
DMA_LOG=/tmp/prom/dma.jsonl  # the agent refuses a directory others can write
PROM=/tmp/prom/spindlekeep.prom
SCALE=2            # simulated seconds per real second
SLOW_AT=30         # fleet time at which sdf turns slow
MIN_SLOW_CYCLE=10
SLOW_SN=SPK0SASS0003
WORN_SN=SPK0NVME0002
PREFAIL_SNS="SPK0SATA0001 SPK0SASH0002 SPK0NVME0004"
FAULTY="$SLOW_SN $WORN_SN $PREFAIL_SNS"

write_config 1 "$MIN_SLOW_CYCLE"
chown spindlekeep_user:spindlekeep_group "$CONFIG" 2>/dev/null || true
chmod 0640 "$CONFIG"
FLEET="$SRC/tools/spindlekeep-agent/fleet.example.json"  # the built-in fleet
start_agent kernel "$FLEET" --time-scale "$SCALE"
start_agent user "$FLEET" --time-scale "$SCALE" --prom-dir /tmp/prom
# Real time at which the kernel agent's fleet clock reaches SLOW_AT. Printed
# with printf: awk's plain print keeps six digits, off by up to 10^4 s here.
T_SLOW=$(awk -v now="$(ctl "$KSOCK" agent_status | jq .result.now)" -v t="$(date +%s.%N)" \
  "BEGIN {printf \"%.3f\", t + ($SLOW_AT - now) / $SCALE}")
start_daemon

# prom_value METRIC SN: the value of the metric for the serial number.
prom_value() {
  sed -n "s/^$1{sn=\"$2\"[^}]*} \(.*\)\$/\1/p" "$PROM" 2>/dev/null | head -n 1
}
prom_state_is() { test "$(prom_value spindlekeep_disk_state "$1")" = "$2"; }
prom_strategy() { grep "^spindlekeep_disk_handle_strategy{sn=\"$1\"" "$PROM" 2>/dev/null || true; }
# state_time SN STATE: time of the first state message of SN with STATE.
state_time() {
  jq -rs --arg sn "$1" --argjson st "$2" \
    'map(select(.method == "dma_set_disk_state" and .params.sn == $sn and .params.disk_state == $st))[0].time // 0' \
    "$DMA_LOG"
}
# Serial numbers outside the faulty ones whose state the daemon changed.
unexpected_states() {
  jq -r 'select(.method == "dma_set_disk_state") | "\(.params.sn):\(.params.disk_state)"' "$DMA_LOG" |
    { grep -vE "^(${FAULTY// /|}):" || true; } | sort -u | xargs
}
diag_out() { "$DIAG" "$@" 2>&1 || true; }
has_strategy() { prom_strategy "$1" | grep -q "strategy=\"$2\""; }

check "the slow SAS SSD becomes Slow" wait_for 90 prom_state_is "$SLOW_SN" 4
t_state=$(state_time "$SLOW_SN" 4)
late=$(awk "BEGIN {printf \"%.1f\", $t_state - $T_SLOW}")
check "Slow ${late} s after turning slow: within min_slow_cycle + 2 detection cycles" \
  awk "BEGIN {exit !($late <= ($MIN_SLOW_CYCLE + 2) * 3)}"
check "its strategy is migrate and replace" \
  has_strategy "$SLOW_SN" "Migrate data and replace the hard disk"
others=$(unexpected_states)
check "no other disk changed state (${others:-none})" test -z "$others"

zone=$(diag_out u_drm_slow_disk showdiskinzone 2)
check "showdiskinzone 2 lists the three whitelisted NVMe disks ($zone)" \
  test "$(tr ',' '\n' <<<"$zone" | grep -c '^[0-9][0-9]*$')" = 3
slow_id=$(id_of "$SLOW_SN")
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

stop_and_finish
