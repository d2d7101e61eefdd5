#!/usr/bin/env bash
# The operator CLI on a running daemon with the agent stand-ins: every
# command on the collected demo fleet, changes that reach the configuration
# file, refusals that change nothing, the feature switch, and the permission
# matrix with real users (private copies of the user database in this mount
# namespace) for a daemon running as root and as spindlekeep_user.
source "$(dirname "$0")/lib.sh" "$@"

SOCK="$P/config/CLI_UDS.unix"
O=/tmp/cli.out
E=/tmp/cli.err

# cli [ARGS...]: runs the client; stdout in $O, stderr in $E, status in $RC.
cli() { RC=0; "$CLI" "$@" >"$O" 2>"$E" || RC=$?; }
# as USER ARGS...: the same as another user (groups from the user database).
as() { local u=$1; shift; RC=0; setpriv --reuid "$u" --regid "$(id -g "$u")" --init-groups "$CLI" "$@" >"$O" 2>"$E" || RC=$?; }
out_has() { grep -qF -- "$1" "$O"; }
err_has() { grep -qF -- "$1" "$E"; }
cfg_value() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); [d:=d[k] for k in sys.argv[2:]]; print(d)' "$CONFIG" "$@"; }

# ---- usage, no daemon
cli help
check "help lists the commands and examples" sh -c "test $RC = 0 && grep -q 'change dpr_smart disk_type=T task_cycle=S' $O && grep -q 'Examples:' $O"
cli --version
check "--version" sh -c "test $RC = 0 && grep -q '^spindlekeep-cli [0-9]' $O"
for bad in "show" "show disk_info disk_id" "waytoolongaction config" "show disk_info =3"; do
  # shellcheck disable=SC2086
  cli $bad
  check "usage error: '$bad' exits 2 with the help" sh -c "test $RC = 2 && grep -q 'Commands' $E"
done
cli show config
check "no daemon: exit 3 naming the socket" sh -c "test $RC = 3 && grep -qF '$SOCK' $E"

# ---- the daemon on the demo fleet
start_agent kernel "$SRC/tools/spindlekeep-agent/fleet.example.json"
start_agent user "$SRC/tools/spindlekeep-agent/fleet.example.json"
start_daemon
check "CLI socket appears" wait_for 20 test -S "$SOCK"
check "socket mode 0660, group spindlekeep_group" test "$(stat -c '%a %G' "$SOCK")" = "660 spindlekeep_group"
check "disks collected" wait_for 30 sh -c "'$CLI' show summary | grep -q SPK0SASH0001"
id_of() { cli show summary; awk -v sn="$1" '$2 == sn {print $1}' "$O"; }
SSD=$(id_of SPK0SATA0001); HDD=$(id_of SPK0SASH0001)
iostat_ready() { cli show iostat_info disk_id="$SSD"; test "$RC" = 0; }
check "IO statistics after two frames" wait_for 30 iostat_ready
check "iostat_info lines" sh -c "grep -q '^ReadIops      : [1-9]' $O && grep -q '^utilization   : [0-9]*\.[0-9][0-9]%' $O"

cli show disk_info disk_id="$SSD"
check "disk_info: serial number, type, human capacity" sh -c "grep -q '^Sn              : SPK0SATA0001$' $O && grep -q '^IntfType        : SATA SSD$' $O && grep -qE '^DiskCapacity    : [0-9]+\.[0-9](B|KB|MB|GB|TB)$' $O"
cli show smart_info disk_id="$SSD"
check "smart_info" sh -c "grep -qE '^PowerOnlineTime   : [1-9][0-9]*h$' $O && grep -qE '^Degree of wear    : [0-9]+\.[0-9]{2}%$' $O"
cli show drm_info disk_id="$HDD"
check "drm_info of a hard disk: N/A" sh -c "grep -q '^DiskHealthScore   : N/A$' $O && grep -q '^DiskLife          : N/A$' $O && grep -q '^Suggestions       : ' $O"
cli show drm_info disk_id="$SSD"
check "drm_info of a SATA SSD: no prediction yet" sh -c "test $RC = 0 && grep -q '^DiskLife          : No predictions yet$' $O && grep -q '^DiskState         : Normal state$' $O"
# The life monitor judges the worn NVMe at disk-in.
WORN=$(id_of SPK0NVME0002)
worn_predicted() { cli show drm_info disk_id="$WORN"; grep -qE '^DiskHealthScore   : [0-9]+$' "$O"; }
check "drm_info of the worn NVMe: the life monitor's prediction" wait_for 30 worn_predicted
check "... its remaining life in months" grep -qE '^DiskLife          : (<1|>60|[0-9]+)$' "$O"
cli show disk_info disk_id=07
check "disk_id 07: CLI_COMMAND_FORMAT_ERROR, exit 1" sh -c "test $RC = 1 && grep -q 'CLI_COMMAND_FORMAT_ERROR (0x40036904)' $E"

# ---- show and change of every setting; the file holds the new value (the refused
# values and their codes are pinned by the command unit tests)
cli show config
check "show config" sh -c "grep -q '^feature_switch        : on$' $O && grep -q '^takeover_disk_switch  : off$' $O"
cli change slowdisk_detect_config disk_type=3 min_threshold_value=200
check "slow-disk threshold changed" sh -c "test $RC = 0 && grep -q 'change config min_threshold_value successfully' $O"
check "... and in the file" test "$(cfg_value sas_hdd min_threshold_value)" = 200
cli change dpr_smart disk_type=0 task_cycle=600
check "dpr cycle changed and written" sh -c "test $RC = 0 && test $(cfg_value sata_ssd_disk task_cycle) = 600"
cli change disklife_prediction task_cycle=3600
check "life cycle changed and written" sh -c "test $RC = 0 && grep -q 'change config disklife_prediction successfully.' $O && test $(cfg_value disklife_prediction task_cycle) = 3600"
cli show slowdisk_detect_config
check "show slowdisk_detect_config" out_has "sas_hdd       : min_threshold_value=  200  min_slow_cycle=   50"
cli show dpr_smart
check "show dpr_smart" out_has "sata_ssd_disk : task_cycle=600"
cli show disklife_prediction
check "show disklife_prediction" out_has "task_cycle: 3600"
cli change config takeover_disk_switch=on
check "take-over switch on, written" sh -c "test $RC = 0 && test $(cfg_value takeover_disk_switch) = 1"
cli change config takeover_disk_switch=off

# ---- feature switch: off stops collection, on restarts it
cli change config feature_switch=off
check "feature switch off" sh -c "test $RC = 0 && test $(cfg_value feature_switch) = 0"
cli show disk_info disk_id="$SSD"
check "no disk data while off" err_has "CLI_DB_ID_NOT_EXIST"
cli change config feature_switch=on
check "feature switch on" test "$RC" = 0
check "collection restarts" wait_for 30 iostat_ready

# ---- permission matrix with real users, private user database
for f in passwd group shadow gshadow; do cp "/etc/$f" "/tmp/$f"; mount --bind "/tmp/$f" "/etc/$f"; done
GID=$(getent group spindlekeep_group | cut -d: -f3)
echo "skro1:x:4101:$GID::/:/usr/sbin/nologin" >>/etc/passwd
echo "skro2:x:4102:4102::/:/usr/sbin/nologin" >>/etc/passwd
echo "skother:x:4103:4103::/:/usr/sbin/nologin" >>/etc/passwd
echo "skro2:x:4102:" >>/etc/group
echo "skother:x:4103:" >>/etc/group
# In place: the bind-mounted file cannot be replaced by a rename.
awk -F: -v OFS=: '$1 == "spindlekeep_group" {$4 = ($4 == "" ? "skro2" : $4 ",skro2")} {print}' /etc/group >/tmp/group.new
cat /tmp/group.new >/etc/group
chmod o+x "$P" "$P/bin"

matrix() {
  local who=$1
  for u in root spindlekeep_user; do
    as "$u" show config
    check "$who: $u may show" test "$RC" = 0
    as "$u" change disklife_prediction task_cycle=7200
    check "$who: $u may change" test "$RC" = 0
  done
  for u in skro1 skro2; do
    as "$u" show config
    check "$who: group member $u may show" sh -c "test $RC = 0 && grep -q feature_switch $O"
    as "$u" change disklife_prediction task_cycle=9000
    check "$who: group member $u is refused change with 0x40036901" sh -c "test $RC = 1 && grep -q 'CLI_USER_PERMISSION_ERROR (0x40036901)' $E"
  done
  check "$who: the refused change wrote nothing" test "$(cfg_value disklife_prediction task_cycle)" = 7200
  as skother show config
  check "$who: any other user is refused" sh -c "test $RC != 0 && grep -q 'not allowed to connect' $E"
}
matrix "daemon as root"
check "CLI log of a root daemon below spindlekeep_super, 0640" test "$(stat -c %a /var/log/spindlekeep_super/cli_log/cli.log)" = 640
check "operation log records the change" grep -q "change disklife_prediction task_cycle=3600 successfully" /var/log/spindlekeep_super/cli_log/oper.log
check "the daemon survived every request" kill -0 "$DPID"
stop_daemon

# The root daemon left its lock file behind, owned by root; a service
# installation never has one.
rm -f "$P/config/spindlekeep_master_process_lockfile"
start_as_service() {
  setpriv --reuid spindlekeep_user --regid spindlekeep_group --init-groups "$DAEMON" >>"$OUT" 2>&1 &
  DPID=$!
}
start_as_service
sock_owner() { test -S "$SOCK" && test "$(stat -c '%U %G' "$SOCK")" = "spindlekeep_user spindlekeep_group"; }
check "daemon as spindlekeep_user: socket owner and group" wait_for 20 sock_owner
matrix "daemon as spindlekeep_user"
check "CLI log of the service user, 0660" test "$(stat -c %a /var/log/spindlekeep/cli_log/cli.log)" = 660
stop_daemon
finish
