#!/usr/bin/env bash
# usage: agent_outage.sh BUILD_DIR dies|hangs|garbage
# The kernel agent dies (SIGKILL, restarted later), hangs (SIGSTOP, later
# SIGCONT) or answers garbage for a minute and then recovers. Meanwhile its
# disks go offline, the user agent's disks keep their ids and their
# collection goes on, and the daemon neither stops nor floods its log;
# afterwards the kernel agent's disks come back. tests.cmake registers one
# test per mode, so the three run side by side.
source "$(dirname "$0")/lib.sh" "$@"

MODE=${2:?usage: $0 BUILD_DIR dies|hangs|garbage}
UREQ=/tmp/user-requests.jsonl
"$PY" "$SCEN" fleet "$FLEET" 6 3
start_agent kernel "$FLEET"
AGENT_SOCKET=/var/tmp/spdk-real.sock start_agent user "$FLEET"
start_proxy "$USOCK" /var/tmp/spdk-real.sock "$UREQ"
user_disks() { registry | grep SPKEU; }
kernel_count() { test "$(registry | grep -c SPKEK)" = "$1"; }

start_daemon
check "all 9 disks are registered" wait_for 30 count_is 9
USER_DISKS=$(user_disks)

O1=$(log_now); T1=$(date +%s.%N); S1=$SECONDS
case $MODE in
  dies) kill -KILL "$KAPID"; wait "$KAPID" 2>/dev/null || true ;;
  hangs) kill -STOP "$KAPID" ;;
  garbage) ctl "$KSOCK" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null ;;
esac
check "$MODE: the kernel agent's disks go offline" wait_for 30 kernel_count 0
check "$MODE: the data agent hears their power-off" \
  test "$(jq -r 'select(.method == "dma_poweroff_disk") | .params.sn' "$DMA_LOG" | sort -u | wc -l)" = 6
sleep_until $((S1 + 60))
O2=$(log_now)
io=$(asked "$UREQ" method=dca_get_disks_iostat since="$T1")
check "$MODE: the user agent was still asked for IO every ~3 s ($io in a minute)" test "$io" -ge 15
check "$MODE: the user agent's disks kept their ids" test "$(user_disks)" = "$USER_DISKS"
check "$MODE: the daemon runs" kill -0 "$DPID"
n=$(errors_between "$O1" "$O2" .)
check "$MODE: the daemon says so in its log" test "$n" -ge 1
check "$MODE: but does not flood it ($n ERROR records in a minute)" test "$n" -le 300
if have_cli "the CLI answering during the outage"; then
  check "$MODE: the CLI still lists the online disks" bash -c "'$CLI' show summary | grep -q SPKEU0000"
fi

case $MODE in
  dies) start_agent kernel "$FLEET" ;;
  hangs) kill -CONT "$KAPID" ;;
  garbage) ctl "$KSOCK" agent_clear_faults >/dev/null ;;
esac
settling
check "$MODE recovered: the kernel agent's disks come back" wait_for 30 count_is 9
O3=$(log_now)
check "$MODE recovered: the registry loads with unique ids" registry_loads
check "$MODE recovered: the user agent's disks still have their ids" test "$(user_disks)" = "$USER_DISKS"
check "$MODE recovered: each kernel disk announced twice to the data agent" \
  test "$(jq -r 'select(.method == "dma_set_disk_info_inner") | .params.sn' "$DMA_LOG" | grep SPKEK | sort | uniq -c | awk '$1 == 2' | wc -l)" = 6
sleep 10
# The outage explains the collection's records (transport, queries, fetches)
# until the disks are back; after that no new ERROR record may appear.
check "no ERROR record beyond the fresh installation and the outage" \
  no_unexplained_errors "$FRESH_INSTALL" "$O1" "$O3" '\[DCM\]|FetchDiskBaseInfo|DiskIoStatInfo Set'
stop_and_finish
