#!/usr/bin/env bash
# A full node: 48 disks on the kernel agent and 16 NVMe disks on the user
# agent, the most the daemon registers at once. Every disk reaches the data
# agent and the DRM disk-event hook, the DRM diagnose groups and memory
# commands answer, a few answers of the IO and health queries fail on
# purpose, and still every disk keeps its id and is announced to the data
# agent once, the daemon keeps running, and the host log holds no ERROR
# record beyond what the fresh installation and the injected faults explain.
source "$(dirname "$0")/lib.sh" "$@"

PROM=/tmp/prom/spindlekeep.prom DMA_LOG=/tmp/prom/dma.jsonl
start_fleet 48 16 '[]' "" --prom-dir /tmp/prom
faults_left() { echo "$(ctl "$KSOCK" agent_status | jq .result.faults)$(ctl "$USOCK" agent_status | jq .result.faults)"; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$DPID/status"; }

up_with 64
check_eq "the ids" "$(awk '{print $1}' <<<"$REG" | xargs)" "$(seq 0 63 | xargs)"
check "64 disks reach the data agent" \
  wait_for 30 eval 'test "$(grep -c "^spindlekeep_disk_info{" $PROM 2>/dev/null)" = 64'
check "no DRM notification is missing" eval "! grep -q 'no notify func\|notify drm add disk fail' '$HOST_LOG'"
diag 0 "^drm" && grep -q "^spindlekeep" "$TXT" || fail "the listing names the spindlekeep group"
diag 0 "" drm showmemalloc
check_eq "showmemalloc prints the eight pools with their counts" \
  "$(grep -cE '^cm_size_(32|64|128|256|512|1K|2K|4064) +[0-9]+ +[0-9]+ +[0-9]+ *$' "$TXT")" 8
diag 1 "Can't Find The Diagnose Cmd" drm nosuchcmd
diag 1 "Invalid param\[cycle_time\]" spindlekeep set_disk_life_monitor_schedule_time 12x
diag 1 "" spindlekeep test_mem set_malloc_size 0
diag 0 "" spindlekeep test_mem set_malloc_size 1
sleep 6  # a couple of collection rounds, so the figure is the steady one
BASE_RSS=$(rss_kb) && echo "note: daemon VmRSS at 64 disks: ${BASE_RSS} kB"
diag 0 "" spindlekeep test_mem malloc
# All of it before the free: the blocks come from a thread of their own, which
# would go on filling the slots a free emptied.
check "test_mem malloc holds 1 GiB (1024 blocks of 1 MiB)" \
  wait_for 90 eval 'test "$(rss_kb)" -gt $((BASE_RSS + 1024 * 1024 * 99 / 100))'
sleep 1 && PEAK_RSS=$(rss_kb)
diag 0 "free mem ok" spindlekeep test_mem free
# At least half of it: a sanitizer build keeps freed blocks in quarantine.
check "test_mem free gives the memory back (from $PEAK_RSS kB to below half-way to $BASE_RSS kB)" \
  wait_for 30 eval 'test "$(rss_kb)" -lt $((BASE_RSS + (PEAK_RSS - BASE_RSS) / 2))'

# One garbage health answer and one closed IO connection from the kernel
# agent, two IO answers of the user agent past the daemon's timeout.
F1=$(log_now)
for f in "$KSOCK health_info garbage 1" "$KSOCK iostat close 1" "$USOCK iostat delay 2"; do
  read -r s m mode n <<<"$f"
  ctl "$s" agent_set_fault "{\"method\": \"dca_get_disks_$m\", \"mode\": \"$mode\", \"count\": $n}" >/dev/null
done
check "the faults fired" wait_for 30 eval 'test "$(faults_left)" = 00'
check "the faults show in the host log" wait_for 20 eval 'test "$(errors_between "$F1" 9 "\\[DCM\\]")" -ge 3'
sleep 8  # two scans and collection passes: a disk the faults dropped would show
F2=$(log_now)
check "the daemon survived" kill -0 "$DPID"
check "every disk kept its id" test "$(registry)" = "$REG"
check_eq "the data agent heard of each disk once" \
  "$(dma_sns dma_set_disk_info_inner | sort | uniq -c | awk '$1 == 1' | wc -l)" 64
check "and of no power-off" eval "! grep -q dma_poweroff_disk '$DMA_LOG'"
check "no ERROR record beyond the fresh installation and the faults" \
  no_unexplained_errors "$FRESH_INSTALL" "$F1" "$F2" '\[DCM\]'
stop_and_finish
