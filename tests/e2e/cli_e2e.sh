#!/usr/bin/env bash
# Data collection and the operator CLI on a running daemon with both agent
# stand-ins on the default fleet, behind recording proxies that show what the
# daemon asks and when: the whitelisted disks are registered and collected
# every 3 s; every CLI command answers on the collected data, changes reach
# the configuration file, refusals change nothing, the feature switch stops
# and restarts collection; a scan in which no agent answers takes every disk
# offline; and the permission matrix with real users (private copies of the
# user database in this mount namespace) for a daemon running as root and as
# spindlekeep_user. (A pulled disk is the restart scenario's; an agent that
# misbehaves while the other goes on, the agent outage scenarios'.)
source "$(dirname "$0")/lib.sh" "$@"

SOCK="$P/config/CLI_UDS.unix"
O=/tmp/cli.out
# cli_is STATUS ARGS... [-- ERE...]: the client (as user $AS, if set) exits
# with STATUS, and every ERE matches its answer: stdout when it succeeds,
# stderr when it refuses.
cli_is() {
  local want=$1 rc=0 args=() re ok=1 run=("$CLI"); shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  shift || true
  [ -z "${AS:-}" ] || run=(setpriv --reuid "$AS" --regid "$(id -g "$AS")" --init-groups "$CLI")
  "${run[@]}" "${args[@]}" >"$O.0" 2>"$O.1" || rc=$?
  for re in "$@"; do grep -Eq -- "$re" "$O.$((want != 0))" || ok=0; done
  check "${AS:+$AS: }cli ${args[*]} (status $rc, want $want)" test "$rc:$ok" = "$want:1"
}

# ---- usage, no daemon
cli_is 0 help -- 'change dpr_smart disk_type=T task_cycle=S' 'Examples:'
cli_is 0 --version -- '^spindlekeep-cli [0-9]'
# shellcheck disable=SC2086
for bad in "show" "show disk_info disk_id" "waytoolongaction config" "show disk_info =3"; do cli_is 2 $bad -- Commands; done
cli_is 3 show config -- "$SOCK"

# ---- the daemon on the default fleet
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
# Nine seconds of steady collection, in which the CLI reads what was collected.
T1=$(date +%s.%N) S1=$SECONDS
check_eq "CLI socket mode and group" "$(stat -c '%a %G' "$SOCK")" "660 spindlekeep_group"
SSD=$(id_of SPK0SATA0001) HDD=$(id_of SPK0SASH0001)
check "IO statistics after two frames" wait_for 30 quiet "$CLI" show iostat_info disk_id="$SSD"
cli_is 0 show iostat_info disk_id="$SSD" -- '^ReadIops      : [1-9]' '^utilization   : [0-9]*\.[0-9][0-9]%'
cli_is 0 show disk_info disk_id="$SSD" -- '^Sn              : SPK0SATA0001$' '^IntfType        : SATA SSD$' \
  '^DiskCapacity    : [0-9]+\.[0-9](B|KB|MB|GB|TB)$'
cli_is 0 show smart_info disk_id="$SSD" -- '^PowerOnlineTime   : [1-9][0-9]*h$' '^Degree of wear    : [0-9]+\.[0-9]{2}%$'
cli_is 0 show drm_info disk_id="$HDD" -- '^DiskHealthScore   : N/A$' '^DiskLife          : N/A$' '^Suggestions       : '
cli_is 0 show drm_info disk_id="$SSD" -- '^DiskLife          : No predictions yet$' '^DiskState         : Normal state$'
cli_is 1 show disk_info disk_id=07 -- 'CLI_COMMAND_FORMAT_ERROR \(0x40036904\)'
[ $((S1 + 9)) -le $SECONDS ] || sleep $((S1 + 9 - SECONDS))
T2=$(date +%s.%N) W=$((SECONDS - S1))
for pair in $OTHERS; do
  dev=${pair%%:*} sn=${pair#*:}
  fetched=$(($(asked "$KREQ" method=dca_get_disks_base_info only="$dev") + $(asked "$UREQ" method=dca_get_disks_base_info only="$dev")))
  check "non-whitelisted $sn is not registered, fetched at most once ($fetched)" \
    eval "! registered $sn && test $fetched -le 1"
done
for log in "$KREQ" "$UREQ"; do
  io=$(asked "$log" method=dca_get_disks_iostat min=1 since="$T1" until="$T2")
  health=$(asked "$log" method=dca_get_disks_health_info min=1 since="$T1" until="$T2")
  check "$(basename "$log"): IO asked every ~3 s over $W s ($io)" test "$io" -ge $((W / 3 - 1)) -a "$io" -le $((W / 3 + 1))
  check "$(basename "$log"): health asked with every IO pass ($health)" test "$health" -ge "$io"
done
check "IO frames are stored without refusal" eval "! grep -q 'DiskIoStatInfo Set(sn:SPK' '$HOST_LOG'"
check_eq "base information batches in 18 s: two kernel (13 + 2), one user" \
  "$(asked "$KREQ" method=dca_get_disks_base_info min=2):$(asked "$UREQ" method=dca_get_disks_base_info min=2)" 2:1


# ---- show and change of every setting; the file holds the new value (the refused
# values and their codes are pinned by the command unit tests)
cli_is 0 show config -- '^feature_switch        : on$' '^takeover_disk_switch  : off$'
cli_is 0 change slowdisk_detect_config disk_type=3 min_threshold_value=200 -- 'change config min_threshold_value successfully'
cli_is 0 change dpr_smart disk_type=0 task_cycle=600
cli_is 0 change disklife_prediction task_cycle=3600 -- 'change config disklife_prediction successfully\.'
cli_is 0 change config takeover_disk_switch=on
check_eq "the file holds the changes" "$(jq -c '[.sas_hdd.min_threshold_value, .sata_ssd_disk.task_cycle,
  .disklife_prediction.task_cycle, .takeover_disk_switch]' "$CONFIG")" "[200,600,3600,1]"
cli_is 0 show slowdisk_detect_config -- 'sas_hdd       : min_threshold_value=  200  min_slow_cycle=   50'
cli_is 0 show dpr_smart -- 'sata_ssd_disk : task_cycle=600'
cli_is 0 show disklife_prediction -- 'task_cycle: 3600'
cli_is 0 change config takeover_disk_switch=off

# ---- feature switch: off stops collection, on restarts it
cli_is 0 change config feature_switch=off
check_eq "feature switch off in the file" "$(jq .feature_switch "$CONFIG")" 0
cli_is 1 show disk_info disk_id="$SSD" -- CLI_DB_ID_NOT_EXIST
cli_is 0 change config feature_switch=on
check "collection restarts" wait_for 30 quiet "$CLI" show iostat_info disk_id="$SSD"

# ---- permission matrix with real users, private user database
for f in passwd group shadow gshadow; do cp "/etc/$f" "/tmp/$f"; mount --bind "/tmp/$f" "/etc/$f"; done
GID=$(getent group spindlekeep_group | cut -d: -f3)
printf '%s::/:/usr/sbin/nologin\n' "skro1:x:4101:$GID" skro2:x:4102:4102 skother:x:4103:4103 >>/etc/passwd
# In place: the bind-mounted file cannot be replaced by a rename.
awk -F: -v OFS=: '$1 == "spindlekeep_group" {$4 = ($4 == "" ? "skro2" : $4 ",skro2")} {print}
  END {print "skro2:x:4102:"; print "skother:x:4103:"}' /etc/group >/tmp/group.new
cat /tmp/group.new >/etc/group
chmod o+x "$P" "$P/bin"
matrix() {
  for AS in root spindlekeep_user; do cli_is 0 show config; cli_is 0 change disklife_prediction task_cycle=7200; done
  for AS in skro1 skro2; do
    cli_is 0 show config -- feature_switch
    cli_is 1 change disklife_prediction task_cycle=9000 -- 'CLI_USER_PERMISSION_ERROR \(0x40036901\)'
  done
  check_eq "$1: the refused change wrote nothing" "$(jq .disklife_prediction.task_cycle "$CONFIG")" 7200
  AS=skother cli_is 3 show config -- 'not allowed to connect'
  AS=
}
matrix "daemon as root"
check_eq "CLI log of a root daemon below spindlekeep_super" "$(stat -c %a /var/log/spindlekeep_super/cli_log/cli.log)" 640
check "operation log records the change" \
  grep -q "change disklife_prediction task_cycle=3600 successfully" /var/log/spindlekeep_super/cli_log/oper.log
# A scan in which no agent answers takes every disk offline.
for s in "$KREAL" "$UREAL"; do ctl "$s" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null; done
check "no agent answers: every disk goes offline" wait_for 20 count_is 0
check "the daemon survived every fault" kill -0 "$DPID"
stop_daemon

# The root daemon left its lock file behind, owned by root; a service
# installation never has one.
rm -f "$P/config/spindlekeep_master_process_lockfile"
setpriv --reuid spindlekeep_user --regid spindlekeep_group --init-groups "$DAEMON" >>"$OUT" 2>&1 & DPID=$!
check "daemon as spindlekeep_user: socket owner and group" \
  wait_for 20 eval 'test -S "$SOCK" && test "$(stat -c "%U %G" "$SOCK")" = "spindlekeep_user spindlekeep_group"'
matrix "daemon as spindlekeep_user"
check_eq "CLI log of the service user" "$(stat -c %a /var/log/spindlekeep/cli_log/cli.log)" 660
stop_daemon
finish
