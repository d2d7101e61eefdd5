#!/usr/bin/env bash
# spindlekeep-diag against the installed daemon: no daemon, the agent socket,
# the group listing, an unknown group, and a stale socket after a stop.
source "$(dirname "$0")/lib.sh" "$@"

DIAG="$P/bin/spindlekeep-diag"
SOCK="$P/config/spindlekeep_diag.sock"
TXT=/tmp/diag.txt

# run_diag ARGS...: runs the client, output in $TXT, exit status in $RC.
run_diag() {
  RC=0
  "$DIAG" "$@" >"$TXT" 2>&1 || RC=$?
}

run_diag --help
check "--help exits 0" test "$RC" = 0
check "--help explains the usage" grep -q "usage: spindlekeep-diag" "$TXT"
run_diag drm showmemalloc
check "no daemon: exit status 3" test "$RC" = 3
check "no daemon: clear message" grep -q "the daemon is not running" "$TXT"

start_daemon
check "agent socket appears below the prefix" wait_for 20 test -S "$SOCK"
check "agent socket has mode 0600" test "$(stat -c %a "$SOCK")" = 600
run_diag
check "listing exits 0" test "$RC" = 0
run_diag no_such_group cmd
check "unknown group: exit status 2" test "$RC" = 2
check "unknown group: named in the message" grep -q "unknown group 'no_such_group'" "$TXT"
run_diag --socket "$SOCK" no_such_group
check "--socket reaches the same agent" test "$RC" = 2
run_diag drm "$(head -c 300 /dev/zero | tr '\0' a)"
check "over-long argument: refused with status 4" test "$RC" = 4
check "the daemon survived the requests" kill -0 "$DPID"
stop_daemon

run_diag drm showmemalloc
check "stopped daemon: exit status 3" test "$RC" = 3
start_daemon
check "a restart takes over the stale socket" wait_for 20 sh -c "'$DIAG' >/dev/null 2>&1"
stop_daemon

# ---- 64 disks: DRM disk-event hook, DRM diagnose groups, memory --------------
PROM=/tmp/prom/spindlekeep.prom
mkdir -p /tmp/prom
"$PY" "$SCEN" fleet "$FLEET" 64 0
start_agent kernel "$FLEET"
start_agent user "$FLEET" --prom-dir /tmp/prom
: >"$LOG_DIR/spindlekeep.log"
start_daemon

disks_at_agent() { test "$(grep -c '^spindlekeep_disk_info{' "$PROM" 2>/dev/null)" = 64; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$DPID/status"; }
rss_above() { test "$(rss_kb)" -gt "$1"; }
rss_below() { test "$(rss_kb)" -lt "$1"; }

check "64 disks reach the data agent" wait_for 60 disks_at_agent
check "no DRM notification is missing" \
  bash -c "! grep -q 'no notify func\|notify drm add disk fail' '$LOG_DIR/spindlekeep.log'"
sleep 6  # a couple of collection rounds, so the figure is the steady one
BASE_RSS=$(rss_kb)
echo "note: daemon VmRSS at 64 disks: ${BASE_RSS} kB"

run_diag
check "the listing names the drm and spindlekeep groups" \
  sh -c "grep -q '^drm' '$TXT' && grep -q '^spindlekeep' '$TXT'"
run_diag drm showmemalloc
check "showmemalloc exits 0" test "$RC" = 0
check "showmemalloc prints the eight pools with their counts" test "$(grep -cE \
  '^cm_size_(32|64|128|256|512|1K|2K|4064) +[0-9]+ +[0-9]+ +[0-9]+ *$' "$TXT")" = 8
run_diag drm nosuchcmd
check "unknown drm command: exit status 1" test "$RC" = 1
check "unknown drm command: named as such" grep -q "Can't Find The Diagnose Cmd" "$TXT"
run_diag spindlekeep set_disk_life_monitor_schedule_time 12x
check "a bad cycle time is refused" test "$RC" = 1
check "a bad cycle time is named" grep -q "Invalid param\[cycle_time\]" "$TXT"
run_diag spindlekeep test_mem set_malloc_size 0
check "test_mem set_malloc_size 0 is refused" test "$RC" = 1
run_diag spindlekeep test_mem set_malloc_size 1
check "test_mem set_malloc_size 1" test "$RC" = 0
run_diag spindlekeep test_mem malloc
check "test_mem malloc returns at once" test "$RC" = 0
check "test_mem malloc holds about 1 GiB (1024 blocks of 1 MiB)" \
  wait_for 60 rss_above $((BASE_RSS + 900000))
sleep 1
PEAK_RSS=$(rss_kb)
run_diag spindlekeep test_mem free
check "test_mem free answers" grep -q "free mem ok" "$TXT"
# At least half of it: a sanitizer build keeps freed blocks in quarantine.
check "test_mem free gives the memory back" \
  wait_for 10 rss_below $((BASE_RSS + (PEAK_RSS - BASE_RSS) / 2))
check "the daemon survived the DRM commands" kill -0 "$DPID"
stop_daemon
finish
