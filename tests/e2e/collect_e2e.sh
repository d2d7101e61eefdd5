#!/usr/bin/env bash
# Data collection end to end: both agent roles on the default fleet, the
# daemon registering the whitelisted disks, collecting them and dropping them
# when no agent answers. Recording proxies in front of the agents show what
# the daemon asks and when. (A pulled disk is the road scenario; an agent
# that misbehaves while the other goes on, the agent outage scenarios.)
source "$(dirname "$0")/lib.sh" "$@"

AGENT_SOCKET=$KREAL start_agent kernel "$DEMO_FLEET"
AGENT_SOCKET=$UREAL start_agent user "$DEMO_FLEET"
count_at_least() { test "$(registered_count)" -ge "$1"; }
slot_of() { registry | awk -v sn="$1" '$2 == sn {print $4}'; }
col() { registry | awk "{print \$$1}" | xargs; }

WHITE=$(xargs -n1 <<<"SPK0SATA0001 SPK0SATA0002 SPK0SASS0001 SPK0SASS0002 SPK0SASS0003 SPK0SASH0001
       SPK0SASH0002 SPK0NVME0001 SPK0NVME0002 SPK0NVME0004" | sort | xargs)
# Devices of the non-whitelisted disks: XSSD model, SAMSUNG and HGST vendors,
# a SATA HDD, an NL-SAS HDD and two NVMe disks of another vendor.
OTHERS="sdc:SPK0SATA0003 sdg:SPK0SASS0004 sdj:SPK0SASH0003 sdk:SPK0SATH0001
        sdl:SPK0NLSH0001 nvme2n1:SPK0NVME0003 nvme4n1:SPK0NVME0005"
NWHITE=$(wc -w <<<"$WHITE")

start_daemon
check "every whitelisted disk registered within 10 s" wait_for 10 count_at_least "$NWHITE"
check_eq "the registered disks" "$(col 2 | xargs -n1 | sort | xargs)" "$WHITE"
check_eq "their ids" "$(col 1)" "$(seq 0 $((NWHITE - 1)) | xargs)"
# The first dma_set_disk_info_inner of each disk comes in registration order.
check_eq "the order of the data agent's announcements" \
  "$(dma_sns dma_set_disk_info_inner | awk '!seen[$0]++' | xargs)" "$(col 2)"
check_eq "slot ids from the kernel agent" \
  "$(slot_of SPK0NVME0001):$(slot_of SPK0NVME0002):$(slot_of SPK0NVME0004)" "12:13:15"

sleep 9  # three IO periods, several scans
T1=$(date +%s.%N)
sleep 9
T2=$(date +%s.%N)
for pair in $OTHERS; do
  dev=${pair%%:*} sn=${pair#*:}
  fetched=$(($(asked "$KREQ" method=dca_get_disks_base_info only="$dev") + $(asked "$UREQ" method=dca_get_disks_base_info only="$dev")))
  check "non-whitelisted $sn is not registered, fetched at most once ($fetched)" \
    eval "! registered $sn && test $fetched -le 1"
done
for log in "$KREQ" "$UREQ"; do
  io=$(asked "$log" method=dca_get_disks_iostat min=1 since="$T1" until="$T2")
  health=$(asked "$log" method=dca_get_disks_health_info min=1 since="$T1" until="$T2")
  check "$(basename "$log"): IO asked every ~3 s over 9 s ($io)" test "$io" -ge 2 -a "$io" -le 4
  check "$(basename "$log"): health asked with every IO pass ($health)" test "$health" -ge "$io"
done
check "IO frames are stored without refusal" eval "! grep -q 'DiskIoStatInfo Set(sn:SPK' '$HOST_LOG'"
check_eq "base information batches in 18 s: two kernel (13 + 2), one user" \
  "$(asked "$KREQ" method=dca_get_disks_base_info min=2):$(asked "$UREQ" method=dca_get_disks_base_info min=2)" 2:1

# A scan in which no agent answers takes every disk offline.
for s in "$KREAL" "$UREAL"; do ctl "$s" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null; done
check "no agent answers: every disk goes offline" wait_for 20 count_is 0
check "the daemon survived every fault" kill -0 "$DPID"
stop_and_finish
