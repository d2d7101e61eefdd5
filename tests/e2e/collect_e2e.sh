#!/usr/bin/env bash
# Data collection end to end: both agent roles on the default fleet (with a
# pull and a re-insert of one disk added), the daemon
# registering, collecting and dropping disks, and agents that hang, answer
# garbage or answer too much. Recording proxies in front of the agents show
# what the daemon asks and when.
source "$(dirname "$0")/lib.sh" "$@"

AGENT="$P/bin/spindlekeep-agent"
REGISTRY="$P/config/disk_mgr.config"
DMA_LOG=/tmp/dma/dma.jsonl  # the agent refuses a directory others can write
KREQ=/tmp/kernel-requests.jsonl
UREQ=/tmp/user-requests.jsonl
FLEET=/tmp/fleet.json
KREAL=/tmp/dcak-real.sock
UREAL=/var/tmp/spdk-real.sock
PULLED_DEV=sdh
PY=$(python3 -c 'import sys; print(sys.executable)')  # skips slow launcher shims
PULLED_SN=SPK0SASH0001
USER_SN=SPK0NVME0004

# The example fleet is the agent's built-in default; add a pull and a
# re-insert of one whitelisted SAS HDD, far out on the fleet clock; the test
# moves the clock there by hand.
"$PY" - "$SRC/tools/spindlekeep-agent/fleet.example.json" "$FLEET" "$PULLED_DEV" <<'EOF'
import json, sys
fleet = json.load(open(sys.argv[1]))
fleet["events"] += [{"at": 1000, "disk": sys.argv[3], "type": "pull"},
                    {"at": 2000, "disk": sys.argv[3], "type": "insert"}]
json.dump(fleet, open(sys.argv[2], "w"))
EOF

"$AGENT" --role kernel --fleet "$FLEET" --control --socket "$KREAL" \
  --log-level warn >>/tmp/agent-kernel.out 2>&1 &
PIDS="$!"
"$AGENT" --role user --fleet "$FLEET" --control --socket "$UREAL" \
  --record "$DMA_LOG" --prom-dir none --log-level warn >>/tmp/agent-user.out 2>&1 &
PIDS="$PIDS $!"
"$PY" "$E2E_DIR/agent_proxy.py" /tmp/dcak.sock "$KREAL" "$KREQ" >>/tmp/proxy.out 2>&1 &
PIDS="$PIDS $!"
"$PY" "$E2E_DIR/agent_proxy.py" /var/tmp/spdk.sock "$UREAL" "$UREQ" >>/tmp/proxy.out 2>&1 &
PIDS="$PIDS $!"
# The helpers live in this namespace only; end them with the script.
trap 'kill $PIDS ${DPID:-} 2>/dev/null || true' EXIT
wait_for 10 test -S "$KREAL" -a -S "$UREAL" -a -S /tmp/dcak.sock -a -S /var/tmp/spdk.sock ||
  fail "agents did not come up"

# control SOCKET METHOD [PARAMS_JSON]: one JSON-RPC call to a real agent.
control() {
  "$PY" - "$@" <<'EOF'
import json, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
req = {"jsonrpc": "2.0", "id": 1, "method": sys.argv[2]}
if len(sys.argv) > 3:
    req["params"] = json.loads(sys.argv[3])
s.sendall(json.dumps(req).encode())
print(s.recv(65536).decode())
EOF
}

# Registry entries as "id sn slot" lines, by id.
registry() {
  "$PY" - "$REGISTRY" <<'EOF'
import json, sys
try:
    doc = json.load(open(sys.argv[1]))
except (OSError, ValueError):
    sys.exit(0)
items = doc if isinstance(doc, list) else next((v for v in doc.values() if isinstance(v, list)), [])
for e in sorted(items, key=lambda e: e["diskId"]):
    print(e["diskId"], e["sn"], e["slotId"])
EOF
}
registered() { registry | awk '{print $2}' | grep -qx "$1"; }
registered_count() { registry | wc -l; }
slot_of() { registry | awk -v sn="$1" '$2 == sn {print $3}'; }

# requests LOG METHOD [MIN_DEVICES] [SINCE] [UNTIL]: number of requests of
# METHOD naming at least MIN_DEVICES devices, received between the two times.
requests() {
  "$PY" - "$@" <<'EOF'
import json, sys
log, method = sys.argv[1], sys.argv[2]
least = int(sys.argv[3]) if len(sys.argv) > 3 else 0
since = float(sys.argv[4]) if len(sys.argv) > 4 else 0
until = float(sys.argv[5]) if len(sys.argv) > 5 else float("inf")
n = 0
for line in open(log):
    r = json.loads(line)
    if (r["method"] == method and len(r["devices"]) >= least
            and since <= r["time"] < until):
        n += 1
print(n)
EOF
}
# Single-device base requests naming DEV: the daemon's fetches of one disk.
fetches() {
  "$PY" - "$KREQ" "$UREQ" "$1" <<'EOF'
import json, sys
n = 0
for log in sys.argv[1:3]:
    for line in open(log):
        r = json.loads(line)
        if r["method"] == "dca_get_disks_base_info" and r["devices"] == [sys.argv[3]]:
            n += 1
print(n)
EOF
}
dma_count() { grep "\"$1\"" "$DMA_LOG" 2>/dev/null | grep -c "\"$2\"" || true; }
# Predicates for wait_for, which re-runs a command but not an expansion.
count_at_least() { test "$(registered_count)" -ge "$1"; }
count_is() { test "$(registered_count)" = "$1"; }
dma_heard() { test "$(dma_count "$1" "$2")" -ge 1; }

WHITE="SPK0SATA0001 SPK0SATA0002 SPK0SASS0001 SPK0SASS0002 SPK0SASS0003 SPK0SASH0001
       SPK0SASH0002 SPK0NVME0001 SPK0NVME0002 SPK0NVME0004"
# Devices of the non-whitelisted disks: XSSD model, SAMSUNG and HGST vendors,
# a SATA HDD, an NL-SAS HDD and two NVMe disks of another vendor.
OTHERS="sdc:SPK0SATA0003 sdg:SPK0SASS0004 sdj:SPK0SASH0003 sdk:SPK0SATH0001
        sdl:SPK0NLSH0001 nvme2n1:SPK0NVME0003 nvme4n1:SPK0NVME0005"
NWHITE=$(echo $WHITE | wc -w)

start_daemon
T0=$(date +%s.%N)
check "every whitelisted disk registered within 10 s" wait_for 10 count_at_least "$NWHITE"
for sn in $WHITE; do
  registered "$sn" || fail "$sn is not registered"
done
check "exactly the whitelisted disks are registered" test "$(registered_count)" = "$NWHITE"
check "ids are 0..$((NWHITE - 1))" test "$(registry | awk '{print $1}' | tr '\n' ' ')" = \
  "$(seq 0 $((NWHITE - 1)) | tr '\n' ' ')"
# The first dma_set_disk_info_inner of each disk comes in registration order.
order_ok=$("$PY" - "$DMA_LOG" "$REGISTRY" <<'EOF'
import json, sys
seen = []
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["method"] == "dma_set_disk_info_inner" and r["params"]["sn"] not in seen:
        seen.append(r["params"]["sn"])
doc = json.load(open(sys.argv[2]))
items = doc if isinstance(doc, list) else next(v for v in doc.values() if isinstance(v, list))
by_id = [e["sn"] for e in sorted(items, key=lambda e: e["diskId"])]
print("yes" if seen == by_id else "no: %s vs %s" % (seen, by_id))
EOF
)
check "ids follow the order of registration ($order_ok)" test "$order_ok" = yes
for sn in $WHITE; do
  test "$(dma_count dma_set_disk_info_inner "$sn")" -ge 1 || fail "no dma_set_disk_info_inner for $sn"
done
check "slot ids come from the kernel agent" \
  test "$(slot_of SPK0NVME0001):$(slot_of SPK0NVME0002):$(slot_of SPK0NVME0004)" = "12:13:15"

sleep 9  # three IO periods, several scans
T1=$(date +%s.%N)
sleep 9
T2=$(date +%s.%N)
for pair in $OTHERS; do
  dev=${pair%%:*}; sn=${pair#*:}
  registered "$sn" && fail "non-whitelisted $sn registered"
  test "$(fetches "$dev")" -le 1 || fail "$dev fetched $(fetches "$dev") times"
done
pass "non-whitelisted disks are not registered and fetched at most once"
for log in "$KREQ" "$UREQ"; do
  io=$(requests "$log" dca_get_disks_iostat 1 "$T1" "$T2")
  health=$(requests "$log" dca_get_disks_health_info 1 "$T1" "$T2")
  check "$(basename "$log"): IO asked every ~3 s over 9 s ($io)" test "$io" -ge 2 -a "$io" -le 4
  check "$(basename "$log"): health asked with every IO pass ($health)" test "$health" -ge "$io"
done
check "IO frames are stored without refusal" \
  bash -c "! grep -q 'DiskIoStatInfo Set(sn:SPK' '$LOG_DIR/spindlekeep.log'"
check "base information asked once in 18 s: two kernel batches (13 + 2)" \
  test "$(requests "$KREQ" dca_get_disks_base_info 2)" = 2
check "base information asked once in 18 s: one user batch" \
  test "$(requests "$UREQ" dca_get_disks_base_info 2)" = 1

# Pull one disk, then put it back.
control "$KREAL" agent_advance_time '{"seconds": 1000}' >/dev/null
control "$UREAL" agent_advance_time '{"seconds": 1000}' >/dev/null
check "a pulled disk leaves the registry" wait_for 15 bash -c "! grep -q '\"$PULLED_SN\"' '$REGISTRY'"
check "the data agent hears dma_poweroff_disk" wait_for 5 dma_heard dma_poweroff_disk "$PULLED_SN"
control "$KREAL" agent_advance_time '{"seconds": 1000}' >/dev/null
control "$UREAL" agent_advance_time '{"seconds": 1000}' >/dev/null
check "a re-inserted disk is registered again" wait_for 15 grep -q "\"$PULLED_SN\"" "$REGISTRY"

# A misbehaving kernel agent: its disks leave, the user agent's collection goes on.
user_entry() { registry | grep " $USER_SN " || true; }
before=$(user_entry)
for mode in garbage oversize bad_envelope delay; do
  control "$KREAL" agent_set_fault "{\"method\": \"*\", \"mode\": \"$mode\", \"delay_ms\": 12000}" >/dev/null
  check "kernel agent $mode: its disks go offline" \
    wait_for 45 bash -c "! grep -q SPK0SASH0002 '$REGISTRY'"
  since=$(date +%s.%N)
  sleep 7
  io=$(requests "$UREQ" dca_get_disks_iostat 1 "$since" "$(date +%s.%N)")
  check "kernel agent $mode: user agent still asked for IO ($io in 7 s)" test "$io" -ge 2
  check "kernel agent $mode: the user agent's disk is untouched" test "$(user_entry)" = "$before"
  control "$KREAL" agent_clear_faults >/dev/null
  check "kernel agent recovered from $mode: its disks come back" \
    wait_for 45 grep -q '"SPK0SASH0002"' "$REGISTRY"
done
check "the daemon survived every fault" kill -0 "$DPID"

# A scan in which no agent answers takes every disk offline.
control "$KREAL" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null
control "$UREAL" agent_set_fault '{"method": "*", "mode": "garbage"}' >/dev/null
check "no agent answers: every disk goes offline" wait_for 20 count_is 0
check "the daemon is still running" kill -0 "$DPID"

stop_daemon
check "SIGTERM still ends the daemon with 0" test "$DSTATUS" = 0
finish
