#!/usr/bin/env bash
# SIGTERM while agent queries (each answer held back two seconds), diagnose
# requests, a CLI client stuck half-way through a packet and, with the
# operator client, CLI commands are in flight: the daemon exits 0 and
# removes its alive file, and the registry and the configuration it leaves
# load again at the next start, unchanged.
source "$(dirname "$0")/lib.sh" "$@"

start_fleet 8 2 '[]' proxy
requests() { wc -l <"$KREQ"; }
asked_since() { test "$(requests)" -gt "$1"; }
announced() { grep -c "online disk, sn = " "$LOG_DIR/spindlekeep.log"; }
config_loads() { grep -c "Config init successfully" "$LOG_DIR/spindlekeep.log"; }
config_loaded_since() { test "$(config_loads)" -gt "$1"; }
# half_packet: a CLI client that sends two bytes of a packet and waits.
half_packet() {
  "$PY" -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.send(b"\0\0"); time.sleep(60)' \
    "$P/config/CLI_UDS.unix" 2>/dev/null
}
# busy_clients: diagnose requests and CLI commands, back to back, until killed.
busy_clients() {
  while :; do
    "$P/bin/spindlekeep-diag" >/dev/null 2>&1 || true
    if [ -x "$CLI" ]; then
      "$CLI" show summary >/dev/null 2>&1 || true
      "$CLI" change dpr_smart disk_type=$((RANDOM % 4)) task_cycle=$((600 + RANDOM % 100)) \
        >/dev/null 2>&1 || true
    fi
  done
}

start_daemon
check "all 10 disks are registered" wait_for 30 count_is 10
FIRST=$(registry)
ctl $KREAL agent_set_fault '{"method": "*", "mode": "delay", "delay_ms": 2000}' >/dev/null
for delay in 0.7 1.9 3.4; do
  wait_for 20 alive_up || fail "the daemon did not come up"
  sleep "$delay"
  busy_clients & BUSY=$!
  half_packet & HALF=$!
  # Stop 0.3 s after an agent query went out: its answer is 1.7 s away.
  n=$(requests)
  wait_for 10 asked_since "$n" || fail "no agent query went out"
  sleep 0.3
  T=$(date +%s.%N)
  stop_daemon
  kill "$BUSY" "$HALF"; wait "$BUSY" "$HALF" 2>/dev/null || true
  last=$(jq -s 'map(.time) | max' "$KREQ")
  check "after ${delay}s: an agent query was in flight" awk -v t="$T" -v l="$last" 'BEGIN {exit !(t - l < 2)}'
  check "after ${delay}s: exit status 0" test "$DSTATUS" = 0
  check "after ${delay}s: the alive file is gone" test ! -e "$ALIVE"
  check "after ${delay}s: the registry loads, unchanged" test "$(registry)" = "$FIRST"
  if [ -e "$CONFIG" ]; then
    check "after ${delay}s: the configuration parses" \
      bash -c "jq -e '.feature_switch == 1' '$CONFIG' >/dev/null"
    cp "$CONFIG" /tmp/config.before
  fi
  before=$(announced) loads=$(config_loads)
  start_daemon
  check "after ${delay}s: the restart loads the configuration" \
    wait_for 20 config_loaded_since "$loads"
  sleep 6  # a scan: a disk missing from the loaded registry would be registered anew
  check "after ${delay}s: the restart registers no disk anew" test "$(announced)" = "$before"
  if [ -e /tmp/config.before ]; then
    check "after ${delay}s: the configuration is kept" cmp -s "$CONFIG" /tmp/config.before
  fi
done
stop_daemon
check "no ERROR record beyond a fresh installation's" no_unexplained_errors "$FRESH_INSTALL"
finish
