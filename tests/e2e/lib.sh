# Shared set-up and steps of the end-to-end scripts. Source it first thing:
#   source "$(dirname "$0")/lib.sh" "$@"
# It re-runs the calling script inside private mount and network namespaces
# (the latter keeps device events of the host and of other tests apart) with
# empty tmpfs over /tmp, /var/tmp and /var/log, installs the build there into the
# private prefix $P, and gives the steps the scenarios are made of. Inside,
# $SRC is the checkout and $E2E_DIR this directory. The daemon's fixed paths
# therefore never collide between tests or touch the host.
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
if [ -z "${SPK_E2E_IN_NS:-}" ]; then
  # 77 tells ctest the test was skipped, so a machine that cannot make the
  # namespaces shows skipped tests rather than passed ones.
  [ "$(id -u)" = 0 ] && unshare --mount --net true 2>/dev/null ||
    { echo "SKIP: end-to-end tests need root and private namespaces (unshare -m -n)"; exit 77; }
  SPK_E2E_IN_NS=1 exec unshare --mount --net --propagation private bash "$0" "$@"
fi

# The checkout and the build may themselves live below /tmp, which is about
# to be covered: install into a private tmpfs and reach the checkout through a
# bind mount before covering it.
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
P=/mnt/spk-prefix
mount -t tmpfs tmpfs /mnt && cmake --install "$BUILD" --prefix "$P" >/dev/null
mkdir -p /mnt/src && mount --bind "$SRC" /mnt/src
SRC=/mnt/src E2E_DIR=/mnt/src/tests/e2e
for d in /tmp /var/tmp /var/log; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
cd /  # the working directory may have been covered
DAEMON="$P/bin/spindlekeepd" CLI="$P/bin/spindlekeep-cli" DIAG="$P/bin/spindlekeep-diag"
LOG_DIR=/var/log/spindlekeep OUT=/tmp/daemon.out FAILS=0 DEMO_FLEET="$SRC/tools/spindlekeep-agent/fleet.example.json"
HOST_LOG=$LOG_DIR/spindlekeep.log

fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what [${SECONDS}s]"; else fail "$what [${SECONDS}s]"; fi; }
# check_eq WHAT GOT WANT: the failure shows both.
check_eq() { check "$1 (got '$2', want '$3')" test "$2" = "$3"; }
quiet() { "$@" >/dev/null 2>&1; }
# diag STATUS ERE ARGS...: the diagnose client exits with STATUS and prints
# ERE (or anything, for ""); its output stays in $TXT.
TXT=/tmp/diag.txt
diag() {
  local want=$1 re=$2 rc=0; shift 2
  "$DIAG" "$@" >"$TXT" 2>&1 || rc=$?
  check "diag $* (status $rc, '$re')" eval 'test $rc = $want && { [ -z "$re" ] || grep -Eq -- "$re" $TXT; }'
}
# cli_has ERE ARGS...: the operator client's output (stdout and stderr) matches.
cli_has() { local re=$1; shift; "$CLI" "$@" 2>&1 | grep -Eq -- "$re"; }

# wait_for SECONDS COMMAND...: polls until the command succeeds, soon at
# first, then twice a second: many conditions start a Python program, and
# polling them ten times a second was half of these tests' CPU time.
wait_for() {
  local end=$((SECONDS + $1)) i=0 pauses=(0.1 0.2 0.3 0.5); shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep "${pauses[i]}" && i=$((i < 3 ? i + 1 : 3))
  done
}

# start_daemon [ARGS...]: starts the installed daemon in the background; sets DPID.
start_daemon() { "$DAEMON" "$@" >>"$OUT" 2>&1 & DPID=$!; settling; }
# stop_daemon: SIGTERM and wait; sets DSTATUS.
stop_daemon() { kill -TERM "$DPID" 2>/dev/null || true; DSTATUS=0; wait "$DPID" || DSTATUS=$?; }
# stop_ok [WHAT]: SIGTERM must end the daemon with 0.
stop_ok() { stop_daemon; check_eq "${1:-SIGTERM ends the daemon}: exit status" "$DSTATUS" 0; }
# stop_and_finish: stop_ok, then the verdict.
stop_and_finish() { stop_ok; finish; }
finish() {
  [ "$FAILS" -ne 0 ] || { echo "all checks passed"; return 0; }
  echo "---- daemon output"; tail -n 50 "$OUT" 2>/dev/null || true
  echo "---- host log"; tail -n 50 "$HOST_LOG" 2>/dev/null || true
  echo "$FAILS check(s) failed"; exit 1
}

# ---- agents, registry, host-log records
# Python straight, not through a launcher shim, and without site packages:
# the helpers need only the standard library, and site start-up took three
# quarters of each call.
PY=("$(python3 -c 'import sys; print(sys.executable)')" -S) SCEN="$E2E_DIR/scenario.py"
ALIVE="$P/config/spindlekeep_master_process_alive" REGISTRY="$P/config/disk_mgr.config"
CONFIG="$P/config/spindlekeep_config.json"
KSOCK=/tmp/dcak.sock USOCK=/var/tmp/spdk.sock
KREAL=/tmp/dcak-real.sock UREAL=/var/tmp/spdk-real.sock
KREQ=/tmp/kernel-requests.jsonl UREQ=/tmp/user-requests.jsonl
DMA_LOG=/tmp/dma/dma.jsonl FLEET=/tmp/fleet.json HELPERS=""  # the agent wants a directory only it may write
trap 'kill $HELPERS ${DPID:-} 2>/dev/null || true' EXIT

# start_agent kernel|user FLEET [ARGS...]: an agent (FLEET "": no --fleet) with control methods on
# its default socket or, with $AGENT_SOCKET, there behind a recording proxy
# on the default one (requests logged to $KREQ or $UREQ); sets KAPID or UAPID.
start_agent() {
  local role=$1 fleet=(--fleet "$2") sock=$KSOCK real=$KREAL log=$KREQ; shift 2
  [ -n "${fleet[1]}" ] || fleet=()
  if [ "$role" = user ]; then
    sock=$USOCK real=$UREAL log=$UREQ
    mkdir -p -m 0755 "$(dirname "$DMA_LOG")"
    set -- --record "$DMA_LOG" --prom-dir none "$@"
  fi
  "$P/bin/spindlekeep-agent" --role "$role" "${fleet[@]}" --socket "${AGENT_SOCKET:-$sock}" \
    --control --log-level warn "$@" >>"/tmp/agent-$role.out" 2>&1 &
  if [ "$role" = user ]; then UAPID=$!; else KAPID=$!; fi; HELPERS="$HELPERS $!"
  wait_for 10 test -S "${AGENT_SOCKET:-$sock}" || fail "$role agent did not come up"
  if [ -n "${AGENT_SOCKET:-}" ]; then
    "${PY[@]}" "$SCEN" proxy "$sock" "$real" "$log" >>/tmp/proxy.out 2>&1 & HELPERS="$HELPERS $!"
    wait_for 10 test -S "$sock" || fail "proxy on $sock did not come up"
  fi
}
ctl() { "${PY[@]}" "$SCEN" ctl "$@"; }
# start_fleet KERNEL USER [EVENTS_JSON [proxy [USER_AGENT_ARGS...]]]: $FLEET,
# a scenario.py fleet with the events added, and both agents on it; with
# "proxy" (any non-empty word) the kernel agent listens on $KREAL behind a
# recording proxy.
start_fleet() {
  "${PY[@]}" "$SCEN" fleet "$FLEET" "$1" "$2" "${3:-[]}"
  AGENT_SOCKET=${4:+$KREAL} start_agent kernel "$FLEET"
  shift 4 2>/dev/null || shift $#
  start_agent user "$FLEET" "$@"
}
# asked LOG [method=M] [device=D] [only=D] [min=N] [since=T] [until=T]: the
# number of requests a proxy recorded (see scenario.py).
asked() { "${PY[@]}" "$SCEN" asked "$@"; }
# write_config SWITCH MIN_SLOW_CYCLE [EXTRA_JSON]: every analysis each 20 s, the life
# monitor daily, the given feature switch and slow-disk cycle; EXTRA_JSON is
# merged in last (e.g. {"nvme_disk": {"outlier_switch": 1}}).
write_config() {
  jq -n --argjson on "$1" --argjson slow "$2" --argjson extra "${3:-{\}}" '({feature_switch: $on, takeover_disk_switch: 0,
    disklife_prediction: {task_cycle: 86400}} + ({sata_ssd_disk: 1, sas_ssd_disk: 1, nvme_disk: 1, sas_hdd: 100} |
    map_values({task_cycle: 20, min_threshold_value: ., min_slow_cycle: $slow}))) * $extra' >"$CONFIG"
}
# registry: "id sn state slot" lines of the registry file; fails when it does not load.
registry() { "${PY[@]}" "$SCEN" registry "$REGISTRY"; }
registered_count() { registry 2>/dev/null | wc -l; }
count_is() { test "$(registered_count)" = "$1"; }
registered() { registry | awk '{print $2}' | grep -qx "$1"; }
id_of() { registry | awk -v sn="$1" '$2 == sn {print $1}'; }
alive_up() { test -f "$ALIVE"; }
# dma_sns METHOD [SINCE]: the serial number of each call of METHOD the data
# agent heard (since Unix time SINCE).
dma_sns() { jq -r --arg m "$1" --argjson t "${2:-0}" \
  'select(.method == $m and .time >= $t) | .params.sn' "$DMA_LOG" 2>/dev/null; }
# announced: the number of disks the host log says were registered so far.
announced() { cat "$LOG_DIR"/spindlekeep.log* 2>/dev/null | grep -c "online disk, sn = " || true; }
# up_with N: the daemon started and N disks registered; REG holds the registry.
up_with() { start_daemon; check "all $1 disks are registered" wait_for 60 count_is "$1"; REG=$(registry); }

# A first start finds no backup, configuration or registry yet and removes
# no old registry at its first save.
FRESH_INSTALL='Cant get bak file list|disk_mgr.config fail, file not exist|cant load from config file|Remove old config fail'
# Records that a disk's first seconds explain, after it arrived or after a
# start or the feature switch dropped its data: a query thread can list the
# disk before the scan registered it, and its stores of the disk's data are
# refused with 4 (not registered); the analyses ask for IO statistics and
# health data that come only with the second IO frame and the first health
# record. settling opens a 20-second window in which they are explained.
SETTLE_ERE='Set\(sn:[^)]*\) failed\(ret:4\)|(message\(|\(message:|QueryMessageAndSave\()dca_get_disks_(iostat|health_info)\)'
SETTLE_ERE+=' [Ff]ailed\((ret:)?4\)|Get disk\([0-9]+\) (iostat |(sn\([^)]*\) health )?)info fail|Query disk\([0-9]+\) health info'
SETTLE_ERE+=' life in event fail|Get Disk\([0-9]+\) smart info event fail|Handle monitor disk\([0-9]+\) life in event fail'
SETTLING=()
settling() { SETTLING+=("$(log_now)" "$(date -d '+20 sec' '+%F %T.%3N')" "$SETTLE_ERE"); }
log_now() { date '+%F %T.%3N'; }
# errors_between FROM TO ERE: number of ERROR records of the window that ERE matches.
errors_between() {
  cat "$LOG_DIR"/spindlekeep.log* | awk -v a="$1" -v b="$2" -v re="$3" \
    'substr($0, 1, 23) >= a && substr($0, 1, 23) <= b && /\[ERROR\]/ && $0 ~ re' | wc -l
}
# no_unexplained_errors [ALLOW_ERE [FROM TO ERE]...]: no ERROR record of the
# host log beyond what ALLOW_ERE, an ERE of a time window (log_now stamps)
# holding the record, or a settling window explains; prints the first others.
no_unexplained_errors() {
  local allow=${1:-} extra
  shift || true
  extra=$("${PY[@]}" "$SCEN" errors "$allow" "${SETTLING[@]}" "$@" -- "$LOG_DIR"/spindlekeep.log*)
  [ -z "$extra" ] || { echo "$extra" | head -n 20; return 1; }
}
