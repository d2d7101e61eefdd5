#!/usr/bin/env bash
# A full node for three minutes: 48 disks on the kernel agent and 16 NVMe
# disks on the user agent, the most the daemon registers at once. A few
# answers of the IO and health queries fail on purpose half-way. Every disk
# keeps its id and is announced to the data agent once, the daemon keeps
# running, and the host log holds no ERROR record beyond what the fresh
# installation and the injected faults explain.
source "$(dirname "$0")/lib.sh" "$@"

start_fleet 48 16
rss() { awk '/VmRSS/ {print $2}' "/proc/$DPID/status"; }

start_daemon
T0=$SECONDS
check "all 64 disks are registered" wait_for 60 count_is 64
check "with the ids 0..63" test "$(registry | awk '{print $1}' | tr '\n' ' ')" = "$(seq 0 63 | tr '\n' ' ')"
FIRST=$(registry)
sleep 60
rss1=$(rss)
check "a minute on, every disk still has its id" test "$(registry)" = "$FIRST"

# One garbage health answer and one closed IO connection from the kernel
# agent, two IO answers of the user agent past the daemon's timeout.
F1=$(log_now)
ctl "$KSOCK" agent_set_fault '{"method": "dca_get_disks_health_info", "mode": "garbage", "count": 1}' >/dev/null
ctl "$KSOCK" agent_set_fault '{"method": "dca_get_disks_iostat", "mode": "close", "count": 1}' >/dev/null
ctl "$USOCK" agent_set_fault '{"method": "dca_get_disks_iostat", "mode": "delay", "count": 2}' >/dev/null
sleep 20
F2=$(log_now)
check "the faults fired" test "$(ctl "$KSOCK" agent_status | jq .result.faults)$(ctl "$USOCK" agent_status | jq .result.faults)" = 00
check "the faults show in the host log" \
  test "$(errors_between "$F1" "$F2" '\\[DCM\\]')" -ge 3

sleep_until $((T0 + 180))
check "the daemon ran three minutes" kill -0 "$DPID"
check "every disk kept its id through the faults" test "$(registry)" = "$FIRST"
once=$(jq -r 'select(.method == "dma_set_disk_info_inner") | .params.sn' "$DMA_LOG" | sort | uniq -c | awk '$1 == 1' | wc -l)
check "the data agent heard of each disk once ($once of 64)" test "$once" = 64
check "and of no power-off" bash -c "! grep -q dma_poweroff_disk '$DMA_LOG'"
echo "daemon VmRSS: $rss1 kB after a minute, $(rss) kB after three"
check "no ERROR record beyond the fresh installation and the faults" \
  no_unexplained_errors "$FRESH_INSTALL" "$F1" "$F2" '\[DCM\]'
stop_and_finish
