#!/usr/bin/env bash
# One host of real fail-slow traces (the committed slice of host_22) replayed
# by the agent stand-in through the real daemon: its six drives register as
# NVMe disks, and the IO statistics the operator CLI shows for them are the
# trace's rates at the replay clock's time. With the peer-outlier mode of the
# slow-disk detector on for NVMe (its shortest window, five minutes), the
# labelled drive disk11 reaches the Slow state at the data agent and no other
# drive does.
#
# The replay runs at the trace's own speed: one 3-second daemon cycle sees 3
# seconds of trace, as in the offline evaluator, so the rates can be compared
# sample by sample. The outlier window counts cycles, so a faster clock would
# not declare sooner.
source "$(dirname "$0")/lib.sh" "$@"

SLICE=$SRC/tests/tools/spindlekeep-replay/data/host_22
HOST=host_22
DRIVES="disk7 disk8 disk9 disk10 disk11 disk12"
RATE_DRIVES="disk11 disk7"  # the labelled drive and a peer
RATE_SECONDS=45
SLOW=disk11
WINDOW_MIN=5

mkdir -p "$P/config"
"$PY" - "$CONFIG" "$WINDOW_MIN" <<'PYEOF'
import json, sys
cfg = {"feature_switch": 1, "takeover_disk_switch": 0,
       "disklife_prediction": {"task_cycle": 86400}}
for key, threshold in {"sata_ssd_disk": 1, "sas_ssd_disk": 1, "nvme_disk": 1, "sas_hdd": 100}.items():
    cfg[key] = {"task_cycle": 20, "min_threshold_value": threshold, "min_slow_cycle": 50}
cfg["nvme_disk"].update({"outlier_switch": 1, "outlier_window_minutes": int(sys.argv[2])})
json.dump(cfg, open(sys.argv[1], "w"), indent=1)
PYEOF
chmod 0640 "$CONFIG"
echo '{"disks": []}' >/tmp/empty.json

"$P/bin/spindlekeep-agent" --role kernel --replay "$SLICE" --time-scale 1 --control \
  --log-level warn >>/tmp/agent-kernel.out 2>&1 &
HELPERS="$!"
trap 'kill $HELPERS ${DPID:-} 2>/dev/null || true' EXIT
wait_for 10 test -S "$KSOCK" || fail "the replaying kernel agent did not come up"
start_agent user /tmp/empty.json
start_daemon

check "the six replayed drives register" wait_for 60 count_is 6
for d in $DRIVES; do
  check "$HOST-$d is registered under its stable serial number" test -n "$(id_of "$HOST-$d")"
done

# The CLI's newest statistics of each rate drive, once a second, beside the
# replay clock read just before. Each reading must be the rates of a sample
# the daemon's last 3-second interval could lie in (the interval ends at most
# a query cycle and a few seconds of lag before the clock reading), or a blend
# of two neighbours when the interval straddles them; most must be exact.
has_stats() { "$CLI" show iostat_info disk_id="$1" >/dev/null 2>&1; }
ids=""
for d in $RATE_DRIVES; do
  id=$(id_of "$HOST-$d")
  ids="$ids $d=$id"
  check "the daemon has IO statistics of $HOST-$d" wait_for 30 has_stats "$id"
done
rates=$("$PY" - "$CLI" "$KSOCK" "$SLICE" "$RATE_SECONDS" $ids <<'PYEOF'
import csv, glob, json, math, socket, subprocess, sys, time
cli, sock, slice_dir, seconds = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
drives = dict(a.split("=") for a in sys.argv[5:])
samples = {d: {} for d in drives}
t0 = None
for path in sorted(glob.glob(slice_dir + "/*.csv")):
    for row in csv.DictReader(open(path)):
        ts = int(row["ts"])
        t0 = ts if t0 is None else min(t0, ts)
        if row["disk_id"] in samples:
            na = "NA" in (row["throughput"], row["latency"])
            thr = 0.0 if na else float(row["throughput"])
            lat = 0.0 if na else float(row["latency"])
            samples[row["disk_id"]][ts] = (thr / 4096, thr / 1024, lat)

def expected(drive, k):
    return samples[drive].get(t0 + 15 * k, (0.0, 0.0, 0.0))

def now():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(sock)
    s.sendall(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "agent_status"}).encode())
    return json.loads(s.recv(65536).decode())["result"]["now"]

def reading(disk_id):
    out = subprocess.run([cli, "show", "iostat_info", "disk_id=" + disk_id],
                         capture_output=True, text=True).stdout
    v = {}
    for line in out.splitlines():
        key, _, value = line.partition(":")
        digits = "".join(c for c in value.split("kb/s")[0].split("us")[0] if c.isdigit())
        if digits:
            v[key.strip()] = int(digits)
    return v.get("ReadIops"), v.get("ReadIoBand"), v.get("ReadIoDelay")

exact = blend = bad = 0
seen = set()
end = time.time() + seconds
while time.time() < end:
    for drive, disk_id in drives.items():
        t = now()
        got = reading(disk_id)
        if None in got:
            bad += 1
            print("no statistics for %s at %.1f" % (drive, t))
            continue
        seen.add(got[0])
        ks = range(max(0, math.floor((t - 12) / 15)), math.floor(t / 15) + 1)
        if any(all(abs(g - math.floor(e)) <= 1 for g, e in zip(got, expected(drive, k))) for k in ks):
            exact += 1
        elif any(all(min(a, b) - 1 <= g <= max(a, b) + 1
                     for g, a, b in zip(got, expected(drive, k), expected(drive, k + 1)))
                 for k in ks):
            blend += 1
        else:
            bad += 1
            print("%s at replay %.1f: iops, KiB/s, us %s; samples %s" %
                  (drive, t, got, [tuple(round(x) for x in expected(drive, k)) for k in ks]))
    time.sleep(1)
print("exact=%d blend=%d bad=%d distinct=%d" % (exact, blend, bad, len(seen)))
PYEOF
)
echo "$rates" | tail -n 6
summary=$(tail -n 1 <<<"$rates")
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" <<<"$summary"; }
check "every reading is the trace's rates at the replay time ($summary)" test "$(field bad)" = 0
check "most readings are exactly one sample's rates" \
  test "$(field exact)" -ge 20 -a "$(field exact)" -ge $(( ($(field exact) + $(field blend)) * 6 / 10 ))
check "the statistics follow the trace (several distinct rates)" test "$(field distinct)" -ge 5

# States the daemon sent to the data agent, as "sn:state" words.
states() {
  "$PY" - "$DMA_LOG" <<'PYEOF'
import json, sys
out = set()
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["method"] == "dma_set_disk_state":
        out.add("%s:%s" % (r["params"]["sn"], r["params"]["disk_state"]))
print(" ".join(sorted(out)))
PYEOF
}
slow_declared() { grep -qw "$HOST-$SLOW:4" <<<"$(states)"; }
"$CLI" show slowdisk_outlier_config >/tmp/outlier.out 2>&1 || true
check "the outlier mode is on for NVMe with a $WINDOW_MIN-minute window" \
  grep -Eq "^nvme_disk *:.*outlier_switch= *1 .*outlier_window_minutes= *$WINDOW_MIN\b" /tmp/outlier.out
# Half of 100 cycles must be outlier cycles; disk11 is an outlier in most.
check "the labelled drive $SLOW becomes Slow at the data agent" wait_for 240 slow_declared
others=$(states | tr ' ' '\n' | grep ':4$' | grep -v "^$HOST-$SLOW:" || true)
check "no other drive becomes Slow (${others:-none})" test -z "$others"

# The daemon reports a slow disk as an ERROR record; only the labelled one may.
check "no unexplained errors in the host log" \
  no_unexplained_errors "$FRESH_INSTALL|Find slow disk\($(id_of "$HOST-$SLOW")\)\."
stop_daemon
check "the daemon stops with status 0" test "$DSTATUS" = 0
finish
