#!/usr/bin/env bash
# Data collection end to end: both agent roles on the default fleet, the
# daemon registering, collecting and dropping disks, and agents that answer
# too much, a broken envelope or too late (a pulled disk is the road scenario). Recording proxies in front of the agents show what the daemon asks
# and when.
source "$(dirname "$0")/lib.sh" "$@"

UREQ=/tmp/user-requests.jsonl
FLEET="$SRC/tools/spindlekeep-agent/fleet.example.json"  # the built-in fleet
UREAL=/var/tmp/spdk-real.sock
USER_SN=SPK0NVME0004

AGENT_SOCKET=$KREAL start_agent kernel "$FLEET"
AGENT_SOCKET=$UREAL start_agent user "$FLEET"
start_proxy "$KSOCK" "$KREAL" "$KREQ"
start_proxy "$USOCK" "$UREAL" "$UREQ"
registered() { registry | awk '{print $2}' | grep -qx "$1"; }
count_at_least() { test "$(registered_count)" -ge "$1"; }
slot_of() { registry | awk -v sn="$1" '$2 == sn {print $4}'; }
dma_sns() { jq -r --arg m "$1" 'select(.method == $m) | .params.sn' "$DMA_LOG"; }

WHITE="SPK0SATA0001 SPK0SATA0002 SPK0SASS0001 SPK0SASS0002 SPK0SASS0003 SPK0SASH0001
       SPK0SASH0002 SPK0NVME0001 SPK0NVME0002 SPK0NVME0004"
# Devices of the non-whitelisted disks: XSSD model, SAMSUNG and HGST vendors,
# a SATA HDD, an NL-SAS HDD and two NVMe disks of another vendor.
OTHERS="sdc:SPK0SATA0003 sdg:SPK0SASS0004 sdj:SPK0SASH0003 sdk:SPK0SATH0001
        sdl:SPK0NLSH0001 nvme2n1:SPK0NVME0003 nvme4n1:SPK0NVME0005"
NWHITE=$(echo $WHITE | wc -w)

start_daemon
check "every whitelisted disk registered within 10 s" wait_for 10 count_at_least "$NWHITE"
check "exactly the whitelisted disks are registered" \
  test "$(registry | awk '{print $2}' | sort | xargs)" = "$(echo $WHITE | xargs -n1 | sort | xargs)"
check "ids are 0..$((NWHITE - 1))" test "$(registry | awk '{print $1}' | xargs)" = "$(seq 0 $((NWHITE - 1)) | xargs)"
# The first dma_set_disk_info_inner of each disk comes in registration order.
check "ids follow the order of the data agent's announcements" \
  test "$(dma_sns dma_set_disk_info_inner | awk '!seen[$0]++' | xargs)" = "$(registry | awk '{print $2}' | xargs)"
check "slot ids come from the kernel agent" \
  test "$(slot_of SPK0NVME0001):$(slot_of SPK0NVME0002):$(slot_of SPK0NVME0004)" = "12:13:15"

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
check "IO frames are stored without refusal" \
  bash -c "! grep -q 'DiskIoStatInfo Set(sn:SPK' '$LOG_DIR/spindlekeep.log'"
check "base information asked once in 18 s: two kernel batches (13 + 2), one user batch" \
  test "$(asked "$KREQ" method=dca_get_disks_base_info min=2):$(asked "$UREQ" method=dca_get_disks_base_info min=2)" = 2:1

# A misbehaving kernel agent: its disks leave, the user agent's collection
# goes on. (Garbage, a dead and a hung agent are the agent outage scenarios.)
# Its id and slot (its state may change: the fleet's NVMe disks develop faults).
user_entry() { registry | awk -v sn="$USER_SN" '$2 == sn {print $1, $4}'; }
before=$(user_entry)
for mode in oversize bad_envelope delay; do
  ctl "$KREAL" agent_set_fault "{\"method\": \"*\", \"mode\": \"$mode\", \"delay_ms\": 12000}" >/dev/null
  check "kernel agent $mode: its disks go offline" wait_for 45 eval "! registered SPK0SASH0002"
  since=$(date +%s.%N)
  sleep 7
  io=$(asked "$UREQ" method=dca_get_disks_iostat min=1 since="$since")
  check "kernel agent $mode: user agent still asked for IO ($io in 7 s)" test "$io" -ge 2
  check "kernel agent $mode: the user agent's disk is untouched" test "$(user_entry)" = "$before"
  ctl "$KREAL" agent_clear_faults >/dev/null
  check "kernel agent recovered from $mode: its disks come back" wait_for 45 registered SPK0SASH0002
done

# A scan in which no agent answers takes every disk offline.
for s in "$KREAL" "$UREAL"; do ctl "$s" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null; done
check "no agent answers: every disk goes offline" wait_for 20 count_is 0
check "the daemon survived every fault" kill -0 "$DPID"
stop_and_finish
