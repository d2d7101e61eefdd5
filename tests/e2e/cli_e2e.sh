#!/usr/bin/env bash
# The operator CLI on a running daemon with the agent stand-ins: every
# command on the collected demo fleet, changes that reach the configuration
# file, refusals that change nothing, the feature switch, and the permission
# matrix with real users (private copies of the user database in this mount
# namespace) for a daemon running as root and as spindlekeep_user.
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
  if [ "$want" = 0 ]; then "${run[@]}" "${args[@]}" >"$O" 2>/dev/null || rc=$?
  else "${run[@]}" "${args[@]}" 2>"$O" >/dev/null || rc=$?; fi
  for re in "$@"; do grep -Eq -- "$re" "$O" || ok=0; done
  check "${AS:+$AS: }cli ${args[*]} (status $rc, want $want)" test "$rc:$ok" = "$want:1"
}
cfg_value() { jq ".$1" "$CONFIG"; }

# ---- usage, no daemon
cli_is 0 help -- 'change dpr_smart disk_type=T task_cycle=S' 'Examples:'
cli_is 0 --version -- '^spindlekeep-cli [0-9]'
for bad in "show" "show disk_info disk_id" "waytoolongaction config" "show disk_info =3"; do
  cli_is 2 $bad -- Commands  # shellcheck disable=SC2086
done
cli_is 3 show config -- "$SOCK"

# ---- the daemon on the demo fleet
start_agent kernel "$DEMO_FLEET"
start_agent user "$DEMO_FLEET"
start_daemon
check "CLI socket appears" wait_for 20 test -S "$SOCK"
check_eq "socket mode and group" "$(stat -c '%a %G' "$SOCK")" "660 spindlekeep_group"
check "disks collected" wait_for 30 cli_has SPK0SASH0001 show summary
id_of() { "$CLI" show summary | awk -v sn="$1" '$2 == sn {print $1}'; }
SSD=$(id_of SPK0SATA0001) HDD=$(id_of SPK0SASH0001) WORN=$(id_of SPK0NVME0002)
check "IO statistics after two frames" wait_for 30 quiet "$CLI" show iostat_info disk_id="$SSD"
cli_is 0 show iostat_info disk_id="$SSD" -- '^ReadIops      : [1-9]' '^utilization   : [0-9]*\.[0-9][0-9]%'
cli_is 0 show disk_info disk_id="$SSD" -- '^Sn              : SPK0SATA0001$' '^IntfType        : SATA SSD$' \
  '^DiskCapacity    : [0-9]+\.[0-9](B|KB|MB|GB|TB)$'
cli_is 0 show smart_info disk_id="$SSD" -- '^PowerOnlineTime   : [1-9][0-9]*h$' '^Degree of wear    : [0-9]+\.[0-9]{2}%$'
cli_is 0 show drm_info disk_id="$HDD" -- '^DiskHealthScore   : N/A$' '^DiskLife          : N/A$' '^Suggestions       : '
cli_is 0 show drm_info disk_id="$SSD" -- '^DiskLife          : No predictions yet$' '^DiskState         : Normal state$'
# The life monitor judges the worn NVMe at disk-in: a score and the remaining life in months.
check "drm_info of the worn NVMe: the life monitor's prediction" \
  wait_for 30 cli_has '^DiskHealthScore   : [0-9]+$' show drm_info disk_id="$WORN"
cli_is 0 show drm_info disk_id="$WORN" -- '^DiskLife          : (<1|>60|[0-9]+)$'
cli_is 1 show disk_info disk_id=07 -- 'CLI_COMMAND_FORMAT_ERROR \(0x40036904\)'

# ---- show and change of every setting; the file holds the new value (the refused
# values and their codes are pinned by the command unit tests)
cli_is 0 show config -- '^feature_switch        : on$' '^takeover_disk_switch  : off$'
cli_is 0 change slowdisk_detect_config disk_type=3 min_threshold_value=200 -- 'change config min_threshold_value successfully'
cli_is 0 change dpr_smart disk_type=0 task_cycle=600
cli_is 0 change disklife_prediction task_cycle=3600 -- 'change config disklife_prediction successfully\.'
cli_is 0 change config takeover_disk_switch=on
check_eq "the file holds the changes" \
  "$(cfg_value sas_hdd.min_threshold_value) $(cfg_value sata_ssd_disk.task_cycle) $(cfg_value disklife_prediction.task_cycle) $(cfg_value takeover_disk_switch)" \
  "200 600 3600 1"
cli_is 0 show slowdisk_detect_config -- 'sas_hdd       : min_threshold_value=  200  min_slow_cycle=   50'
cli_is 0 show dpr_smart -- 'sata_ssd_disk : task_cycle=600'
cli_is 0 show disklife_prediction -- 'task_cycle: 3600'
cli_is 0 change config takeover_disk_switch=off

# ---- feature switch: off stops collection, on restarts it
cli_is 0 change config feature_switch=off
check_eq "feature switch off in the file" "$(cfg_value feature_switch)" 0
cli_is 1 show disk_info disk_id="$SSD" -- CLI_DB_ID_NOT_EXIST
cli_is 0 change config feature_switch=on
check "collection restarts" wait_for 30 quiet "$CLI" show iostat_info disk_id="$SSD"

# ---- permission matrix with real users, private user database
for f in passwd group shadow gshadow; do cp "/etc/$f" "/tmp/$f"; mount --bind "/tmp/$f" "/etc/$f"; done
GID=$(getent group spindlekeep_group | cut -d: -f3)
printf '%s\n' "skro1:x:4101:$GID::/:/usr/sbin/nologin" "skro2:x:4102:4102::/:/usr/sbin/nologin" \
  "skother:x:4103:4103::/:/usr/sbin/nologin" >>/etc/passwd
printf '%s\n' "skro2:x:4102:" "skother:x:4103:" >>/etc/group
# In place: the bind-mounted file cannot be replaced by a rename.
awk -F: -v OFS=: '$1 == "spindlekeep_group" {$4 = ($4 == "" ? "skro2" : $4 ",skro2")} {print}' /etc/group >/tmp/group.new
cat /tmp/group.new >/etc/group
chmod o+x "$P" "$P/bin"
matrix() {
  for AS in root spindlekeep_user; do
    cli_is 0 show config
    cli_is 0 change disklife_prediction task_cycle=7200
  done
  for AS in skro1 skro2; do
    cli_is 0 show config -- feature_switch
    cli_is 1 change disklife_prediction task_cycle=9000 -- 'CLI_USER_PERMISSION_ERROR \(0x40036901\)'
  done
  check_eq "$1: the refused change wrote nothing" "$(cfg_value disklife_prediction.task_cycle)" 7200
  AS=skother cli_is 3 show config -- 'not allowed to connect'
  AS=
}
matrix "daemon as root"
check_eq "CLI log of a root daemon below spindlekeep_super" "$(stat -c %a /var/log/spindlekeep_super/cli_log/cli.log)" 640
check "operation log records the change" \
  grep -q "change disklife_prediction task_cycle=3600 successfully" /var/log/spindlekeep_super/cli_log/oper.log
check "the daemon survived every request" kill -0 "$DPID"
stop_daemon

# The root daemon left its lock file behind, owned by root; a service
# installation never has one.
rm -f "$P/config/spindlekeep_master_process_lockfile"
setpriv --reuid spindlekeep_user --regid spindlekeep_group --init-groups "$DAEMON" >>"$OUT" 2>&1 &
DPID=$!
check "daemon as spindlekeep_user: socket owner and group" \
  wait_for 20 eval 'test -S "$SOCK" && test "$(stat -c "%U %G" "$SOCK")" = "spindlekeep_user spindlekeep_group"'
matrix "daemon as spindlekeep_user"
check_eq "CLI log of the service user" "$(stat -c %a /var/log/spindlekeep/cli_log/cli.log)" 660
stop_daemon
finish
