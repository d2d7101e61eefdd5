#!/usr/bin/env bash
# SIGTERM while agent queries (each answer held back two seconds), diagnose
# requests, a CLI client stuck half-way through a packet and CLI commands are
# in flight: the daemon exits 0 and removes its alive file, and the registry
# and the configuration it leaves load again at the next start, unchanged.
source "$(dirname "$0")/lib.sh" "$@"

start_fleet 8 2 '[]' proxy
write_config 1 50
config_loads() { grep -c "Config init successfully" "$HOST_LOG"; }
# busy_clients: diagnose requests and CLI commands, back to back, until killed.
busy_clients() {
  while :; do { "$DIAG"; "$CLI" show summary; "$CLI" change dpr_smart disk_type=$((RANDOM % 4)) \
    task_cycle=$((600 + RANDOM % 100)); } >/dev/null 2>&1 || true; done
}

up_with 10
ctl $KREAL agent_set_fault '{"method": "*", "mode": "delay", "delay_ms": 2000}' >/dev/null
for delay in 0.7 1.9 3.4; do
  wait_for 20 alive_up || fail "the daemon did not come up"
  sleep "$delay"
  busy_clients & BUSY=$!
  # A CLI client that sends two bytes of a packet and waits.
  "${PY[@]}" -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.send(b"\0\0"); time.sleep(60)' \
    "$P/config/CLI_UDS.unix" 2>/dev/null & HALF=$!
  # Stop 0.3 s after an agent query went out: its answer is 1.7 s away.
  n=$(wc -l <"$KREQ")
  wait_for 10 eval 'test "$(wc -l <"$KREQ")" -gt $n' || fail "no agent query went out"
  sleep 0.3 && T=$(date +%s.%N) && stop_daemon
  kill "$BUSY" "$HALF"; wait "$BUSY" "$HALF" 2>/dev/null || true
  check "after ${delay}s: an agent query was in flight" \
    awk -v t="$T" -v l="$(jq -s 'map(.time) | max' "$KREQ")" 'BEGIN {exit !(t - l < 2)}'
  check_eq "after ${delay}s: exit status, alive file" "$DSTATUS $(test -e "$ALIVE" && echo left)" "0 "
  check "after ${delay}s: the registry loads, unchanged" test "$(registry)" = "$REG"
  check "after ${delay}s: the configuration parses" quiet jq -e '.feature_switch == 1' "$CONFIG"
  before=$(announced) loads=$(config_loads) T=$(date +%s.%N) && cp "$CONFIG" /tmp/config.before
  start_daemon
  check "after ${delay}s: the restart loads the configuration" wait_for 20 eval 'test "$(config_loads)" -gt $loads'
  # Three scans: a disk missing from the loaded registry would be registered anew.
  check "after ${delay}s: the restart scans" \
    wait_for 20 eval 'test "$(asked "$KREQ" method=dca_get_disks_brief_info since=$T)" -ge 3'
  check_eq "after ${delay}s: disks registered anew" "$(announced)" "$before"
  check "after ${delay}s: the configuration is kept" cmp -s "$CONFIG" /tmp/config.before
done
stop_daemon
check "no ERROR record beyond a fresh installation's" no_unexplained_errors "$FRESH_INSTALL"
finish
