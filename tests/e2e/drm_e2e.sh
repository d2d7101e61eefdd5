#!/usr/bin/env bash
# The three analyses end to end on the agent stand-in's default fleet, run at
# twice its speed: "min_slow_cycle" lowered to 10 in the configuration file,
# the slow SAS SSD becomes Slow in time and alone, the SATA SSD, SAS HDD and
# NVMe that report failure predictions become Prefail, the wearing NVMe gets
# its score, remaining life and Fault or Prefail state once the life monitor's
# schedule is shortened through the diagnose command, and the data agent's
# textfile shows the states and strategies.
source "$(dirname "$0")/lib.sh" "$@"

DMA_LOG=/tmp/prom/dma.jsonl PROM=/tmp/prom/spindlekeep.prom
SCALE=2 SLOW_AT=30 MIN_SLOW_CYCLE=10  # simulated s per real s; fleet time sdf turns slow
SLOW_SN=SPK0SASS0003 WORN_SN=SPK0NVME0002 PREFAIL_SNS="SPK0SATA0001 SPK0SASH0002 SPK0NVME0004"
MIGRATE="Migrate data and replace the hard disk"
write_config 1 "$MIN_SLOW_CYCLE"
chown spindlekeep_user:spindlekeep_group "$CONFIG" && chmod 0640 "$CONFIG"
start_agent kernel "$DEMO_FLEET" --time-scale "$SCALE"
start_agent user "$DEMO_FLEET" --time-scale "$SCALE" --prom-dir /tmp/prom
# Real time at which the kernel agent's fleet clock reaches SLOW_AT. Printed
# with printf: awk's plain print keeps six digits, off by up to 10^4 s here.
T_SLOW=$(awk -v now="$(ctl "$KSOCK" agent_status | jq .result.now)" -v t="$(date +%s.%N)" \
  "BEGIN {printf \"%.3f\", t + ($SLOW_AT - now) / $SCALE}")
start_daemon
prom_state_is() { grep -q "^spindlekeep_disk_state{sn=\"$1\"[^}]*} $2\$" "$PROM" 2>/dev/null; }
# The strategy is a second call to the data agent, just after the state.
has_strategy() { grep -q "^spindlekeep_disk_handle_strategy{sn=\"$1\".*strategy=\"$2\"" "$PROM" 2>/dev/null; }
# Serial numbers outside the faulty ones whose state the daemon changed.
unexpected_states() { dma_sns dma_set_disk_state | { grep -vxE "$SLOW_SN|$WORN_SN|${PREFAIL_SNS// /|}" || true; } | sort -u | xargs; }

# The worn NVMe was judged once at disk-in (95 % wear: about a thousand hours
# left); its wear reaches 99.90 % about a minute later in real time, which only
# a shorter schedule notices. It runs beside the slow disk's detection.
check "the diagnose socket is up" wait_for 20 quiet "$DIAG"
diag 0 "Set disk life monitor schedule time 10s" spindlekeep set_disk_life_monitor_schedule_time 10

check "the slow SAS SSD becomes Slow" wait_for 90 prom_state_is "$SLOW_SN" 4
late=$(jq -rs --arg sn "$SLOW_SN" --argjson t "$T_SLOW" '[.[] | select(.method == "dma_set_disk_state" and
  .params.sn == $sn and .params.disk_state == 4)][0].time - $t | . * 10 | round / 10' "$DMA_LOG")
check "Slow ${late} s after turning slow: within min_slow_cycle + 2 detection cycles" \
  awk "BEGIN {exit !($late <= ($MIN_SLOW_CYCLE + 2) * 3)}"
check "its strategy is migrate and replace" wait_for 10 has_strategy "$SLOW_SN" "$MIGRATE"
check_eq "other disks that changed state" "$(unexpected_states)" ""
zone=$("$DIAG" u_drm_slow_disk showdiskinzone 2 2>&1 || true)
check "showdiskinzone 2 lists the three whitelisted NVMe disks ($zone)" \
  test "$(tr ',' '\n' <<<"$zone" | grep -c '^[0-9][0-9]*$')" = 3
diag 0 "" u_drm_slow_disk showdiskiostat "$(id_of "$SLOW_SN")"
check_eq "showdiskiostat prints the ring in lines" "$(grep -c . "$TXT")" 32
check "showdiskiostat shows slow cycles" eval "grep '^   isslow:' $TXT | grep -q '         1'"

check "the worn NVMe becomes Fault or Prefail" \
  wait_for 150 eval 'prom_state_is "$WORN_SN" 1 || prom_state_is "$WORN_SN" 3'
check "its strategy follows its state" \
  wait_for 10 eval 'has_strategy "$WORN_SN" "Replace the hard disk" || has_strategy "$WORN_SN" "$MIGRATE"'
check "its remaining life was written and judged" \
  grep -q "sn($WORN_SN) \(will be fault\|will be prefail\)" "$HOST_LOG"
for sn in $PREFAIL_SNS; do
  check "$sn becomes Prefail" wait_for 90 prom_state_is "$sn" 3
  check "$sn strategy is migrate and replace" wait_for 10 has_strategy "$sn" "$MIGRATE"
done
check_eq "disks outside the fleet's faulty ones that changed state" "$(unexpected_states)" ""
stop_and_finish
