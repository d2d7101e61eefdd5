#!/usr/bin/env bash
# usage: agent_outage.sh BUILD_DIR MODE...
# One after the other, the kernel agent dies (SIGKILL, restarted later),
# hangs (SIGSTOP, later SIGCONT: no answer within the daemon's timeout), or
# its answers turn to garbage, oversize, a broken envelope or a closed
# connection, and then it recovers. Meanwhile its disks go offline, the user agent's disks keep their
# ids and their collection goes on, and the daemon neither stops nor floods
# its log; afterwards the kernel agent's disks come back. tests.cmake
# registers one test per way to die, so the outages run side by side.
source "$(dirname "$0")/lib.sh" "$@"
shift
W=18  # seconds of each outage
"${PY[@]}" "$SCEN" fleet "$FLEET" 6 3
start_agent kernel "$FLEET"
AGENT_SOCKET=$UREAL start_agent user "$FLEET"
user_disks() { registry | grep SPKEU; }
kernel_count() { test "$(registry | grep -c SPKEK)" = "$1"; }
# dma_kernel_sns METHOD SINCE: how many kernel disks the data agent heard METHOD for, how often.
dma_kernel_sns() {
  dma_sns "$@" | grep SPKEK | sort | uniq -c | awk '{print $1}' | uniq -c | xargs
}

up_with 9
# The first announcements must be in before an outage starts counting the next ones.
check "the data agent heard of every disk" wait_for 30 eval 'test "$(dma_sns dma_set_disk_info_inner | sort -u | wc -l)" = 9'
USER_DISKS=$(user_disks) O0=$(log_now)
for MODE in "$@"; do
  O1=$(log_now) T1=$(date +%s.%N) S1=$SECONDS
  case $MODE in
    dies) kill -KILL "$KAPID"; wait "$KAPID" 2>/dev/null || true ;;
    hangs) kill -STOP "$KAPID" ;;
    *) ctl "$KSOCK" agent_set_fault "{\"method\": \"*\", \"mode\": \"$MODE\"}" >/dev/null ;;
  esac
  check "$MODE: the kernel agent's disks go offline" wait_for 45 kernel_count 0
  check_eq "$MODE: power-offs the data agent hears (count per disk)" "$(dma_kernel_sns dma_poweroff_disk "$T1")" "6 1"
  [ $((S1 + W)) -le $SECONDS ] || sleep $((S1 + W - SECONDS))
  io=$(asked "$UREQ" method=dca_get_disks_iostat since="$T1") n=$(errors_between "$O1" "$(log_now)" .)
  check "$MODE: the user agent was still asked for IO every ~3 s ($io in $((SECONDS - S1)) s)" \
    test "$io" -ge $(((SECONDS - S1) / 3 - 2))
  check "$MODE: the user agent's disks kept their ids" test "$(user_disks)" = "$USER_DISKS"
  # At most five records a second.
  check "$MODE: the daemon says so in its log, without flooding it ($n ERROR records)" \
    test "$n" -ge 1 -a "$n" -le $(((SECONDS - S1) * 5))
  check "$MODE: the daemon runs, its CLI still lists the online disks" cli_has SPKEU0000 show summary
  case $MODE in
    dies) start_agent kernel "$FLEET" ;;
    hangs) kill -CONT "$KAPID" ;;
    *) ctl "$KSOCK" agent_clear_faults >/dev/null ;;
  esac
  settling
  # The count reads the registry: it loads, with unique ids.
  check "$MODE recovered: the kernel agent's disks come back" wait_for 45 count_is 9
  check "$MODE recovered: the user agent's disks still have their ids" test "$(user_disks)" = "$USER_DISKS"
  check_eq "$MODE recovered: kernel disks announced again to the data agent (count per disk)" \
    "$(dma_kernel_sns dma_set_disk_info_inner "$T1")" "6 1"
done
O3=$(log_now)
sleep 6  # two collection passes
# The outages explain the collection's records (transport, queries, fetches)
# and the analyses' reads of the base information of disks gone offline until
# the disks are back; after that no new ERROR record may appear.
check "no ERROR record beyond the fresh installation and the outages" no_unexplained_errors \
  "$FRESH_INSTALL" "$O0" "$O3" '\[DCM\]|FetchDiskBaseInfo|DiskIoStatInfo Set|baseinfo fail, ret\(1\)'
stop_and_finish
