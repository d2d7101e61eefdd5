# Shared set-up of the end-to-end scripts. Source it first thing:
#   source "$(dirname "$0")/lib.sh" "$@"
# It re-runs the calling script inside a private mount namespace with empty
# tmpfs over /tmp, /var/tmp and /var/log, installs the build there into the
# private prefix $P, and gives helpers to start and stop the daemon. Inside,
# $SRC is the checkout and $E2E_DIR this directory. The
# daemon's fixed paths therefore never collide between tests or touch the host.
set -euo pipefail

BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
if [ -z "${SPK_E2E_IN_NS:-}" ]; then
  # 77 tells ctest the test was skipped, so a machine that cannot make a
  # mount namespace shows skipped tests rather than passed ones.
  if [ "$(id -u)" != 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "SKIP: end-to-end tests need root and a private mount namespace (unshare -m)"
    exit 77
  fi
  export SPK_E2E_IN_NS=1
  exec unshare --mount --propagation private bash "$0" "$@"
fi

# The checkout and the build may themselves live below /tmp, which is about
# to be covered: install into a private tmpfs and reach the checkout through a
# bind mount before covering it.
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mount -t tmpfs tmpfs /mnt
P=/mnt/spk-prefix
cmake --install "$BUILD" --prefix "$P" >/dev/null
mkdir -p /mnt/src
mount --bind "$SRC" /mnt/src
SRC=/mnt/src
E2E_DIR=$SRC/tests/e2e
unset BUILD
for d in /tmp /var/tmp /var/log; do
  mount -t tmpfs -o mode=1777 tmpfs "$d"
done
cd /  # the working directory may have been covered
DAEMON="$P/bin/spindlekeepd"
LOG_DIR=/var/log/spindlekeep
OUT=/tmp/daemon.out
FAILS=0

fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
pass() { echo "ok: $*"; }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}

# start_daemon [ARGS...]: starts the installed daemon in the background; sets DPID.
start_daemon() {
  "$DAEMON" "$@" >>"$OUT" 2>&1 &
  DPID=$!
  settling
}

# stop_daemon: SIGTERM and wait; sets DSTATUS.
stop_daemon() {
  kill -TERM "$DPID" 2>/dev/null || true
  DSTATUS=0
  wait "$DPID" || DSTATUS=$?
}

# stop_and_finish: SIGTERM must end the daemon with 0; then the verdict.
stop_and_finish() {
  stop_daemon
  check "SIGTERM ends the daemon with 0" test "$DSTATUS" = 0
  finish
}

finish() {
  if [ "$FAILS" -ne 0 ]; then
    echo "---- daemon output"; tail -n 50 "$OUT" 2>/dev/null || true
    echo "---- host log"; tail -n 50 "$LOG_DIR/spindlekeep.log" 2>/dev/null || true
    echo "$FAILS check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}

# ---- scenario helpers: agents, registry, host-log records
PY=$(python3 -c 'import sys; print(sys.executable)')  # skips slow launcher shims
SCEN="$E2E_DIR/scenario.py"
ALIVE="$P/config/spindlekeep_master_process_alive"
REGISTRY="$P/config/disk_mgr.config"
CONFIG="$P/config/spindlekeep_config.json"
KSOCK=/tmp/dcak.sock
USOCK=/var/tmp/spdk.sock
DMA_LOG=/tmp/dma/dma.jsonl  # the agent wants a directory only it may write
HELPERS=""

# start_agent kernel|user FLEET [ARGS...]: starts an agent with control
# methods on its default socket (or $AGENT_SOCKET) and waits for the socket;
# sets KAPID or UAPID. Helpers and the daemon end with the script.
start_agent() {
  local role=$1 fleet=$2 sock=$KSOCK; shift 2
  [ "$role" = user ] && sock=$USOCK && set -- --record "$DMA_LOG" --prom-dir none "$@" &&
    mkdir -p -m 0755 "$(dirname "$DMA_LOG")"
  sock=${AGENT_SOCKET:-$sock}
  "$P/bin/spindlekeep-agent" --role "$role" --fleet "$fleet" --socket "$sock" --control \
    --log-level warn "$@" >>"/tmp/agent-$role.out" 2>&1 &
  if [ "$role" = user ]; then UAPID=$!; else KAPID=$!; fi
  HELPERS="$HELPERS $!"
  trap 'kill $HELPERS ${DPID:-} 2>/dev/null || true' EXIT
  wait_for 10 test -S "$sock" || fail "$role agent did not come up"
}
ctl() { "$PY" "$SCEN" ctl "$@"; }
# start_fleet KERNEL USER [EVENTS_JSON [proxy]]: $FLEET, a scenario.py fleet
# with the events added, and both agents on it; with "proxy" the kernel agent
# listens on $KREAL behind a recording proxy that logs to $KREQ.
FLEET=/tmp/fleet.json
KREAL=/tmp/dcak-real.sock
KREQ=/tmp/kernel-requests.jsonl
start_fleet() {
  "$PY" "$SCEN" fleet "$FLEET" "$1" "$2"
  add_events "$FLEET" "${3:-[]}"
  if [ "${4:-}" = proxy ]; then
    AGENT_SOCKET=$KREAL start_agent kernel "$FLEET"
    start_proxy "$KSOCK" "$KREAL" "$KREQ"
  else
    start_agent kernel "$FLEET"
  fi
  start_agent user "$FLEET"
}
# start_proxy LISTEN TARGET LOG: a recording proxy (agent_proxy.py) in front of an agent.
start_proxy() {
  "$PY" "$E2E_DIR/agent_proxy.py" "$@" >>/tmp/proxy.out 2>&1 &
  HELPERS="$HELPERS $!"
  wait_for 10 test -S "$1" || fail "proxy on $1 did not come up"
}
# asked LOG [method=M] [device=D] [only=D] [min=N] [since=T] [until=T]: the
# number of requests a proxy recorded (see scenario.py).
asked() { "$PY" "$SCEN" asked "$@"; }
# write_config SWITCH MIN_SLOW_CYCLE [EXTRA_JSON]: every analysis each 20 s, the life
# monitor daily, the given feature switch and slow-disk cycle; EXTRA_JSON is
# merged in last (e.g. {"nvme_disk": {"outlier_switch": 1}}).
write_config() {
  jq -n --argjson on "$1" --argjson slow "$2" --argjson extra "${3:-{\}}" '({feature_switch: $on, takeover_disk_switch: 0,
    disklife_prediction: {task_cycle: 86400}} + ({sata_ssd_disk: 1, sas_ssd_disk: 1, nvme_disk: 1, sas_hdd: 100} |
    map_values({task_cycle: 20, min_threshold_value: ., min_slow_cycle: $slow}))) * $extra' >"$CONFIG"
}
# add_events FLEET EVENTS_JSON: appends timed events to a fleet file.
add_events() { jq --argjson e "$2" '.events += $e' "$1" >"$1.new" && mv "$1.new" "$1"; }
# registry: "id sn state slot" lines of the registry file; fails when it does not load.
registry() { "$PY" "$SCEN" registry "$REGISTRY"; }
registry_loads() { registry >/dev/null; }
registered_count() { registry 2>/dev/null | wc -l; }
count_is() { test "$(registered_count)" = "$1"; }
id_of() { registry | awk -v sn="$1" '$2 == sn {print $1}'; }
id_is() { test "$(id_of "$1")" = "$2"; }
dma_heard() { grep "\"$1\"" "$DMA_LOG" 2>/dev/null | grep -q "\"$2\""; }
alive_up() { test -f "$ALIVE"; }

# A first start finds no backup, configuration or registry yet and removes
# no old registry at its first save.
FRESH_INSTALL='Cant get bak file list|disk_mgr.config fail, file not exist|cant load from config file|Remove old config fail'
# Records that a disk's first seconds explain, after it arrived or after a
# start or the feature switch dropped its data: a query thread can list the
# disk before the scan registered it, and its stores of the disk's data are
# refused with 4 (not registered); the analyses ask for IO statistics and
# health data that come only with the second IO frame and the first health
# record. settling opens a 20-second window in which they are explained.
SETTLE_ERE='Set\(sn:[^)]*\) failed\(ret:4\)|message\(dca_get_disks_(iostat|health_info)\) failed\(ret:4\)'
SETTLE_ERE+='|\(message:dca_get_disks_(iostat|health_info)\) Failed\(ret:4\)'
SETTLE_ERE+='|QueryMessageAndSave\(dca_get_disks_(iostat|health_info)\) failed\(4\)'
SETTLE_ERE+='|Get disk\([0-9]+\) iostat info fail|Get disk\([0-9]+\) (sn\([^)]*\) health )?info fail'
SETTLE_ERE+='|Query disk\([0-9]+\) health info life in event fail'
SETTLE_ERE+='|Get Disk\([0-9]+\) smart info event fail|Handle monitor disk\([0-9]+\) life in event fail'
SETTLING=()
settling() { SETTLING+=("$(log_now)" "$(date -d '+20 sec' '+%F %T.%3N')" "$SETTLE_ERE"); }
# unexplained_errors [ERE [FROM TO ERE]...]: ERROR records of the host log
# that neither ERE explains nor an ERE of a time window (log_now stamps)
# that holds the record, nor a settling window.
unexplained_errors() {
  local allow=${1:-}
  shift || true
  "$PY" "$SCEN" errors "$allow" "${SETTLING[@]}" "$@" -- "$LOG_DIR"/spindlekeep.log*
}
log_now() { date '+%F %T.%3N'; }
# sleep_until SECONDS_VALUE: sleeps until bash's $SECONDS reaches it.
sleep_until() { [ "$1" -le "$SECONDS" ] || sleep $(($1 - SECONDS)); }
# errors_between FROM TO ERE: number of ERROR records of the window that ERE matches.
errors_between() {
  cat "$LOG_DIR"/spindlekeep.log* | awk -v a="$1" -v b="$2" -v re="$3" \
    'substr($0, 1, 23) >= a && substr($0, 1, 23) <= b && /\[ERROR\]/ && $0 ~ re' | wc -l
}
no_unexplained_errors() {
  local extra
  extra=$(unexplained_errors "$@")
  [ -z "$extra" ] && return 0
  echo "$extra" | head -n 20
  return 1
}

# The operator client, once it is built; steps that need it are skipped
# (and say so) without it.
CLI="$P/bin/spindlekeep-cli"
have_cli() { [ -x "$CLI" ] || { echo "skip: no spindlekeep-cli: $*"; return 1; }; }
# The same for the analyses, seen in the running daemon's diagnose groups.
have_analyses() {
  "$P/bin/spindlekeep-diag" 2>/dev/null | grep -q u_drm_slow_disk ||
    { echo "skip: no analyses: $*"; return 1; }
}
