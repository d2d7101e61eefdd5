#!/usr/bin/env bash
# SIGKILL at random moments while 40 disks arrive and are registered, then a
# restart: the registry loads, every disk is registered exactly once over
# all the runs, and no id collides or changes. A slow base-information answer
# stretches each registration so that most kills land inside one.
source "$(dirname "$0")/lib.sh" "$@"

N=40
"${PY[@]}" "$SCEN" fleet "$FLEET" "$N" 0 '[]' 1 0.3
start_agent kernel "$FLEET" && start_agent user "$FLEET"
ctl "$KSOCK" agent_set_fault '{"method": "dca_get_disks_base_info", "mode": "delay", "delay_ms": 150}' >/dev/null
# announcements: "sn id" of every "online disk" record of all runs so far.
announcements() {
  sed -n 's/.*online disk, sn = \([^,]*\),disk id = \([0-9]*\).*/\1 \2/p' "$LOG_DIR"/spindlekeep.log* 2>/dev/null
}
rounds=0 trace=""
while [ $rounds -lt 12 ] && [ "$(announced)" -lt $N ]; do
  start_daemon
  ms=$((100 + RANDOM % 2400))
  sleep "$((ms / 1000)).$(printf %03d $((ms % 1000)))"
  kill -KILL "$DPID"; wait "$DPID" 2>/dev/null || true
  rounds=$((rounds + 1)) trace="$trace ${ms}ms:$(announced)"
done
echo "kills after (ms:disks announced so far):$trace"
check "kills came before all disks were registered ($rounds kills)" test $rounds -ge 3
start_daemon
check "all $N disks end up registered" wait_for 60 count_is $N
check "the registry loads, without repeated ids or serial numbers" quiet registry
check_eq "disks registered twice over the runs" "$(announcements | awk '{print $1}' | sort | uniq -d | xargs)" ""
check_eq "ids given to two disks" "$(announcements | sort -u | awk '{print $2}' | sort | uniq -d | xargs)" ""
check_eq "disks whose id changed since their announcement" \
  "$(join <(announcements | sort) <(registry | awk '{print $2, $1}' | sort) | awk '$2 != $3' | xargs)" ""
check "no ERROR record beyond a fresh installation's and new disks'" no_unexplained_errors "$FRESH_INSTALL"
stop_and_finish
