#!/usr/bin/env bash
# The feature switch off and on. Off in the configuration at start-up: the
# agents are not asked, and the registry stays as it was even though a disk
# left meanwhile. On again: collection resumes, the disk that left goes
# offline and every other disk keeps its id. With the operator client the
# same at run time.
source "$(dirname "$0")/lib.sh" "$@"

start_fleet 5 1 '[{"at": 100, "disk": "kd1", "type": "pull"}, {"at": 200, "disk": "kd3", "type": "pull"}]' proxy
# off_window WHAT: kd's next disk leaves while the switch is off; for 8 s no
# agent is asked and the registry stays as it was.
off_window() {
  local before=$(registry) t=$(date +%s.%N)
  ctl $KREAL agent_advance_time '{"seconds": 100}' >/dev/null
  sleep 8
  check_eq "$1: agents asked" "$(asked "$KREQ" since="$t")" 0
  check "$1: the registry stays as it was" test "$(registry)" = "$before"
  check_eq "$1: the data agent heard" "$(jq -s --argjson t "$t" 'map(select(.time >= $t)) | length' "$DMA_LOG")" 0
}
# back_on WHAT SN BEFORE: the disk SN that left goes offline, the others keep their ids.
back_on() {
  check "$1: the disk that left goes offline" wait_for 15 eval '! registered $2'
  check "$1: the other disks keep their ids" test "$(registry)" = "$(grep -v "$2" <<<"$3")"
}

# restart_with SWITCH: the daemon restarted with the feature switch SWITCH in its configuration.
restart_with() { stop_daemon; write_config "$1" 50; start_daemon; }

up_with 6
restart_with 0
check "switched off: the daemon comes up" wait_for 20 alive_up
off_window "switched off"  # kd1 leaves
T=$(date +%s.%N)
restart_with 1
back_on "switched on" SPKEK0001 "$REG"
check "switched on: the agents are asked again" test "$(asked "$KREQ" since="$T")" -ge 1

check "the CLI shows the switch on" cli_has 'feature_switch *: on' show config
OFF=$(log_now)
check "the CLI switches it off" quiet "$CLI" change config feature_switch=off
sleep 4  # queries already under way finish
SECOND=$(registry)
off_window "off at run time"  # kd3 leaves
check "the CLI shows the switch off" cli_has 'feature_switch *: off' show config
check "the CLI switches it on" quiet "$CLI" change config feature_switch=on
ON=$(log_now)
settling
back_on "on at run time" SPKEK0003 "$SECOND"
# While the switch is off the data store holds no disk data, but the
# analyses still hold their disks: their reads fail until it is on again.
# The backup task cancelled by the switch sleeps out its ten-minute pause
# before it ends, so switching on sooner cannot start it again (114).
check "no ERROR record beyond a fresh installation's and the switched-off store's" \
  no_unexplained_errors "$FRESH_INSTALL" "$OFF" "$ON" \
  "baseinfo fail, ret\(1\)|$SETTLE_ERE|Start Config Back Up Task Fail, ret = 114"
stop_and_finish
