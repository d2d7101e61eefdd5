#!/usr/bin/env bash
# The road of one disk: it appears in the kernel agent's list, is fetched,
# registered and announced to the data agent, collected every 3 s, found
# prefail by the analyses (state and strategy to the data agent, the
# registry and the CLI), leaves the list and is removed everywhere, then
# comes back. The test moves the fleet clock on to each event.
source "$(dirname "$0")/lib.sh" "$@"

SN=SPKEK0000 DEV=kd0 MIGRATE="Migrate data and replace the hard disk"
start_fleet 1 0 '[{"at": 0, "disk": "kd0", "type": "pull"}, {"at": 100, "disk": "kd0", "type": "insert"},
  {"at": 150, "disk": "kd0", "type": "smart_fail", "id": 5},
  {"at": 200, "disk": "kd0", "type": "pull"}, {"at": 300, "disk": "kd0", "type": "insert"}]' proxy
advance() { ctl $KREAL agent_advance_time "{\"seconds\": $1}" >/dev/null; settling; }
# asked_dev METHOD [SINCE]: requests of METHOD naming the disk's device since a time.
asked_dev() { asked "$KREQ" method="$1" device="$DEV" since="${2:-0}"; }
announced_as() { grep -c "online disk, sn = $SN,disk id = $1" "$HOST_LOG" || true; }
# dma_param METHOD PARAM: the newest value of PARAM the data agent got for the disk.
dma_param() {
  jq -r --arg m "$1" --arg sn "$SN" 'select(.method == $m and .params.sn == $sn) | .params.'"$2" "$DMA_LOG" | tail -n 1
}

start_daemon
check "the daemon comes up" wait_for 20 alive_up
check "the daemon scans the empty agent" wait_for 10 grep -q dca_get_disks_brief_info "$KREQ"
check_eq "no disk, no registry entry" "$(registered_count)" 0

# Appearance: fetched, registered as id 0, announced to the data agent.
advance 100
check "the new disk is registered" wait_for 10 count_is 1
REGISTERED=$(log_now)
check_eq "with id 0, normal state and the agent's slot" "$(registry)" "0 $SN 0 0"
check "its base information was fetched" test "$(asked_dev dca_get_disks_base_info)" -ge 1
check "the data agent hears of it" wait_for 5 eval 'dma_sns dma_set_disk_info_inner | grep -qx $SN'
check_eq "the data agent gets its device name" "$(dma_param dma_set_disk_info_inner device_name)" "$DEV"
check_eq "the host log names id and serial number once" "$(announced_as 0)" 1

# Collection: IO and health every ~3 s for the registered disk.
T1=$(date +%s.%N)
sleep 10
io=$(asked_dev dca_get_disks_iostat "$T1"); health=$(asked_dev dca_get_disks_health_info "$T1")
check "IO counters asked every ~3 s ($io in 10 s)" test "$io" -ge 3 -a "$io" -le 4
check "health asked with them ($health)" test "$health" -ge 3
check_eq "IO or health data of the registered disk refused" \
  "$(errors_between "$REGISTERED" 9 "Info Set\\(sn:$SN")" 0

# A finding: SMART attribute 5 falls to its threshold, the prefail routine's
# SATA round (every 20 s by default) reports it, the store sets the state,
# derives the strategy and tells the data agent; the registry keeps the state.
FOUND=$(log_now)
advance 50
check "the prefail routine's finding reaches the data agent as state 3" \
  wait_for 60 eval 'test "$(dma_param dma_set_disk_state disk_state)" = 3'
check_eq "with the strategy that follows from it" \
  "$(dma_param dma_set_disk_handle_strategy disk_handle_strategy)" "$MIGRATE"
check_eq "the registry keeps the prefail state" "$(registry)" "0 $SN 3 0"
check "drm_info shows the prefail state" cli_has 'DiskState *: Prefail state' show drm_info disk_id=0
check "and the suggestion" cli_has "Suggestions *: $MIGRATE" show drm_info disk_id=0

# Removal: the registry entry goes, the data agent hears the power-off, the
# collection of the disk stops.
advance 50
check "the pulled disk leaves the registry" wait_for 10 count_is 0
check "the data agent hears dma_poweroff_disk" wait_for 5 eval 'dma_sns dma_poweroff_disk | grep -qx $SN'
check "the host log says the disk went offline" grep -q "offline disk (disk id = 0) success" "$HOST_LOG"
T2=$(date +%s.%N)
sleep 4  # more than one collection period
check_eq "its IO is asked for" "$(asked_dev dca_get_disks_iostat "$T2")" 0
check "the CLI no longer finds disk 0 (status 1)" eval '"$CLI" show disk_info disk_id=0 >/dev/null 2>&1; test $? = 1'

# Back again. No disk was registered since, so the allocation cursor still
# stands on the freed id 0 and hands it out again.
advance 100
check "the re-inserted disk is registered again" wait_for 10 count_is 1
check_eq "under id" "$(id_of "$SN")" 0
check_eq "announcements" "$(announced_as 0)" 2
check "no ERROR record beyond a fresh installation's, new disks' and the finding" \
  no_unexplained_errors "$FRESH_INSTALL" "$FOUND" 9 'Find prefail disk\(0\)\.'
stop_and_finish
