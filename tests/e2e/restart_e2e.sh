#!/usr/bin/env bash
# The road of a disk and a restart. At fleet time 100 kd5 appears in the
# kernel agent's list and is fetched, registered under the next id and
# announced to the data agent, then collected every 3 s; kd2 leaves the list
# and is removed everywhere; kd0's SMART attribute 5 falls to its threshold
# and the analyses find it prefail (state and strategy to the data agent, the
# registry and the CLI). At 200 kd2 comes back. Then a restart keeps every
# disk id (with the hole a removed disk left), every disk state and every
# configuration value: nothing is registered anew, the registry comes back
# member for member and the configuration file byte for byte.
source "$(dirname "$0")/lib.sh" "$@"

MIGRATE="Migrate data and replace the hard disk"
start_fleet 6 2 '[{"at": 0, "disk": "kd5", "type": "pull"}, {"at": 100, "disk": "kd5", "type": "insert"},
  {"at": 100, "disk": "kd2", "type": "pull"}, {"at": 100, "disk": "kd0", "type": "smart_fail", "id": 5},
  {"at": 200, "disk": "kd2", "type": "insert"}]' proxy
advance() { ctl "$KREAL" agent_advance_time '{"seconds": 100}' >/dev/null; settling; }
# dma_param SN METHOD PARAM: the newest value of PARAM the data agent got for SN.
dma_param() {
  jq -r --arg m "$2" --arg sn "$1" 'select(.method == $m and .params.sn == $sn) | .params.'"$3" "$DMA_LOG" | tail -n 1
}
SHOWS="dpr_smart slowdisk_detect_config disklife_prediction"
# Settings off the defaults, as an operator would have left them.
jq -n '{feature_switch: 1, takeover_disk_switch: 0, disklife_prediction: {task_cycle: 7200}} + ({sata_ssd_disk:
  [30, 2, 60], sas_ssd_disk: [40, 3, 70], nvme_disk: [50, 4, 80], sas_hdd: [60, 200, 90]} |
  map_values({task_cycle: .[0], min_threshold_value: .[1], min_slow_cycle: .[2]}))' >"$CONFIG"
up_with 7
GONE=$(id_of SPKEK0002) FOUND=$(log_now)
advance

# Arrival: fetched, registered under the next id, announced to the data agent.
check "the new disk takes the next id, 7" wait_for 15 eval 'test "$(id_of SPKEK0005)" = 7'
check "its base information was fetched" test "$(asked "$KREQ" method=dca_get_disks_base_info device=kd5)" -ge 1
check "the data agent gets its device name" \
  wait_for 5 eval 'test "$(dma_param SPKEK0005 dma_set_disk_info_inner device_name)" = kd5'
check_eq "the host log names id and serial number once" "$(grep -c "online disk, sn = SPKEK0005,disk id = 7" "$HOST_LOG")" 1
ARRIVED=$(log_now)
# Removal: the registry entry goes, the data agent hears the power-off, the
# collection of the disk stops, the CLI no longer finds it.
check "the removed disk leaves its id $GONE free" \
  wait_for 10 eval '! registry | awk "{print \$1}" | grep -qx "$GONE"'
check "the data agent hears dma_poweroff_disk" wait_for 5 eval 'dma_sns dma_poweroff_disk | grep -qx SPKEK0002'
check "the host log says the disk went offline" grep -q "offline disk (disk id = $GONE) success" "$HOST_LOG"
check "the CLI no longer finds disk $GONE" eval '"$CLI" show disk_info disk_id=$GONE >/dev/null 2>&1; test $? = 1'
# Collection: IO and health every ~3 s for the new disk, none for the removed one.
T1=$(date +%s.%N)
sleep 10
io=$(asked "$KREQ" method=dca_get_disks_iostat device=kd5 since="$T1")
health=$(asked "$KREQ" method=dca_get_disks_health_info device=kd5 since="$T1")
check "IO counters asked every ~3 s, health with them ($io, $health in 10 s)" test "$io" -ge 3 -a "$io" -le 4 -a "$health" -ge 3
check_eq "IO asked of the removed disk" "$(asked "$KREQ" method=dca_get_disks_iostat device=kd2 since="$T1")" 0
check_eq "IO or health data of the new disk refused" "$(errors_between "$ARRIVED" 9 "Info Set\\(sn:SPKEK0005")" 0
# A finding: the prefail routine's SATA round reports kd0, the store sets the
# state, derives the strategy and tells the data agent; the registry keeps it.
check "the prefail routine's finding reaches the data agent as state 3" \
  wait_for 60 eval 'test "$(dma_param SPKEK0000 dma_set_disk_state disk_state)" = 3'
check_eq "with the strategy that follows from it" \
  "$(dma_param SPKEK0000 dma_set_disk_handle_strategy disk_handle_strategy)" "$MIGRATE"
check_eq "the registry keeps the prefail state" "$(registry | awk '$2 == "SPKEK0000" {print $3}')" 3
check "drm_info shows the prefail state" cli_has 'DiskState *: Prefail state' show drm_info disk_id="$(id_of SPKEK0000)"
check "and the suggestion" cli_has "Suggestions *: $MIGRATE" show drm_info disk_id="$(id_of SPKEK0000)"
# Back again: registered anew under an id no other disk holds.
advance
check "the re-inserted disk is registered again" wait_for 15 count_is 8
check_eq "and announced once more" "$(grep -c "online disk, sn = SPKEK0002," "$HOST_LOG")" 2

# A run-time change: the shows compared after the restart hold it only if it was saved.
check "the CLI changes a setting" quiet "$CLI" change dpr_smart disk_type=3 task_cycle=600
cp "$CONFIG" /tmp/config.written
for s in $SHOWS; do "$CLI" show "$s" >"/tmp/$s.before"; done
stop_daemon
# A state found in an earlier run that this one cannot find again in time
# (slow takes minutes) is written into the registry while the daemon is down.
jq '(.[] | select(.sn == "SPKEU0000") | .diskState) = 4' "$REGISTRY" >/tmp/registry.new &&
  mv /tmp/registry.new "$REGISTRY"
cp "$REGISTRY" /tmp/registry.before && before=$(announced) T=$(date +%s.%N)
start_daemon
# Two scans: a disk missing from the loaded registry would be registered anew.
check "the restarted daemon scans twice" \
  wait_for 20 eval 'test "$(asked "$KREQ" method=dca_get_disks_brief_info since=$T)" -ge 2'
check_eq "disks registered anew" "$(announced)" "$before"
check "every id, state and other member of every registry entry is kept" \
  cmp <(jq -S 'sort_by(.diskId)' "$REGISTRY") <(jq -S 'sort_by(.diskId)' /tmp/registry.before)
check "the configuration file is unchanged" cmp "$CONFIG" /tmp/config.written
check "the configuration loaded without a fallback" \
  eval "grep 'Config init' '$HOST_LOG' | tail -n 1 | grep -q successfully"
check "the CLI shows the prefail state kept" \
  cli_has 'DiskState *: Prefail state' show drm_info disk_id="$(id_of SPKEK0000)"
check "the CLI lists the slow disk" cli_has SPKEU0000 show slowdisk
for s in $SHOWS; do check "$s is kept" eval "'$CLI' show $s | cmp - /tmp/$s.before"; done
check "no ERROR record beyond a fresh installation's, new disks' and the finding" \
  no_unexplained_errors "$FRESH_INSTALL" "$FOUND" 9 'Find prefail disk\([0-9]+\)\.'
stop_and_finish
