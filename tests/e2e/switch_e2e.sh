#!/usr/bin/env bash
# The feature switch off and on. Off in the configuration at start-up: the
# agents are not asked, and the registry stays as it was even though a disk
# left meanwhile. On again: collection resumes, the disk that left goes
# offline and every other disk keeps its id. With the operator client the
# same at run time.
source "$(dirname "$0")/lib.sh" "$@"

start_fleet 5 1 '[{"at": 100, "disk": "kd1", "type": "pull"}, {"at": 200, "disk": "kd3", "type": "pull"}]' proxy
asked_since() { asked "$KREQ" since="$1"; }
gone() { ! registry | grep -q " $1 "; }

start_daemon
check "all 6 disks are registered" wait_for 30 count_is 6
FIRST=$(registry)
stop_daemon

write_config 0 50
ctl $KREAL agent_advance_time '{"seconds": 100}' >/dev/null  # kd1 leaves
T=$(date +%s.%N)
start_daemon
check "switched off: the daemon comes up" wait_for 20 alive_up
sleep 8
check "switched off: no agent is asked" test "$(asked_since "$T")" = 0
check "switched off: the registry stays as it was" test "$(registry)" = "$FIRST"
check "switched off: the data agent hears nothing" \
  test "$(jq -s --argjson t "$T" '[.[] | select(.time >= $t)] | length' "$DMA_LOG")" = 0
stop_daemon

write_config 1 50
T=$(date +%s.%N)
start_daemon
check "switched on: the disk that left goes offline" wait_for 15 gone SPKEK0001
check "switched on: the agents are asked again" test "$(asked_since "$T")" -ge 1
check "switched on: the other disks keep their ids" \
  test "$(registry)" = "$(echo "$FIRST" | grep -v SPKEK0001)"

if have_cli "the feature switch at run time"; then
  check "the CLI shows the switch on" bash -c "'$CLI' show config | grep -Eq 'feature_switch *: on'"
  OFF=$(log_now)
  check "the CLI switches it off" bash -c "'$CLI' change config feature_switch=off >/dev/null"
  check "off is saved" test "$(jq .feature_switch "$CONFIG")" = 0
  sleep 4  # queries already under way finish
  SECOND=$(registry)
  T=$(date +%s.%N)
  ctl $KREAL agent_advance_time '{"seconds": 100}' >/dev/null  # kd3 leaves
  sleep 8
  check "off at run time: no agent is asked" test "$(asked_since "$T")" = 0
  check "off at run time: the registry stays as it was" test "$(registry)" = "$SECOND"
  check "the CLI shows the switch off" bash -c "'$CLI' show config | grep -Eq 'feature_switch *: off'"
  check "the CLI switches it on" bash -c "'$CLI' change config feature_switch=on >/dev/null"
  ON=$(log_now)
  settling
  check "on at run time: the disk that left goes offline" wait_for 15 gone SPKEK0003
  check "on at run time: the other disks keep their ids" \
    test "$(registry)" = "$(echo "$SECOND" | grep -v SPKEK0003)"
fi
# While the switch is off the data store holds no disk data, but the
# analyses still hold their disks: their reads fail until it is on again.
# The backup task cancelled by the switch sleeps out its ten-minute pause
# before it ends, so switching on sooner cannot start it again (114).
check "no ERROR record beyond a fresh installation's and the switched-off store's" \
  no_unexplained_errors "$FRESH_INSTALL" "${OFF:-0}" "${ON:-0}" \
  "baseinfo fail, ret\(1\)|$SETTLE_ERE|Start Config Back Up Task Fail, ret = 114"
stop_and_finish
