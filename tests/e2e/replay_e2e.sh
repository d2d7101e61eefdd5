#!/usr/bin/env bash
# One host of real fail-slow traces (the committed slice of host_22) replayed
# by the agent stand-in through the real daemon: the IO statistics the CLI
# shows for the drives are the trace's rates at the replay clock's time, and
# with the slow-disk detector's peer-outlier mode on for NVMe the labelled
# drive disk11 reaches the Slow state at the data agent and no other drive
# does.
#
# The replay runs at the trace's own speed: one 3-second daemon cycle sees 3
# seconds of trace, as in the offline evaluator, so the rates compare sample
# by sample. The outlier window counts cycles, so a faster clock would not
# declare sooner; the shortest window (five minutes, 100 cycles) with the
# smallest share of outlier cycles (10 %, so 10 of them) does.
source "$(dirname "$0")/lib.sh" "$@"

SLICE=$SRC/tests/tools/spindlekeep-replay/data/host_22
HOST=host_22 SLOW=disk11
write_config 1 50 '{"nvme_disk": {"outlier_switch": 1, "outlier_window_minutes": 5, "outlier_fraction_percent": 10}}'
chmod 0640 "$CONFIG"
echo '{"disks": []}' >"$FLEET"
start_agent kernel "" --replay "$SLICE"
start_agent user "$FLEET"
start_daemon
check "the six replayed drives register under their serial numbers" wait_for 60 count_is 6
for d in disk7 $SLOW; do
  check "$HOST-$d has IO statistics" wait_for 30 quiet "$CLI" show iostat_info disk_id="$(id_of "$HOST-$d")"
done

# Every second for 30 s, the CLI's newest statistics of two drives beside the
# replay clock read just before: each must be a sample's IOPS, KiB/s and
# latency (the daemon's last interval ends at most ~12 s before the clock
# reading), or lie between two neighbours when the interval straddles them.
summary=$("${PY[@]}" - "$CLI" "$SCEN" "$KSOCK" "$SLICE/2022-07-18.csv" "disk7=$(id_of "$HOST-disk7")" \
  "$SLOW=$(id_of "$HOST-$SLOW")" <<'PYEOF'
import csv, json, math, re, subprocess, sys, time
cli, scen, sock, trace = sys.argv[1:5]
rows = list(csv.DictReader(open(trace)))
t0 = min(int(r["ts"]) for r in rows)
want = {(r["disk_id"], (int(r["ts"]) - t0) // 15): (0, 0, 0) if "NA" in (r["throughput"], r["latency"])
        else (float(r["throughput"]) / 4096, float(r["throughput"]) / 1024, float(r["latency"])) for r in rows}
count, seen = {"exact": 0, "blend": 0, "bad": 0}, set()
for _ in range(30):
    for drive, disk_id in (a.split("=") for a in sys.argv[5:]):
        t = json.loads(subprocess.run([sys.executable, scen, "ctl", sock, "agent_status"], capture_output=True).stdout)["result"]["now"]
        out = subprocess.run([cli, "show", "iostat_info", "disk_id=" + disk_id], capture_output=True, text=True).stdout
        got = [int(re.search(k + r"\s*:\s*(\d+)", out).group(1)) for k in ("ReadIops", "ReadIoBand", "ReadIoDelay")]
        seen.add(got[0])
        ks = range(math.floor((t - 12) / 15), math.floor(t / 15) + 1)
        e = [want.get((drive, k), (0, 0, 0)) for k in range(ks[0], ks[-1] + 2)]
        kind = "exact" if any(all(abs(g - math.floor(x)) <= 1 for g, x in zip(got, e[i])) for i in range(len(ks))) \
            else "blend" if any(all(min(x, y) - 1 <= g <= max(x, y) + 1 for g, x, y in zip(got, e[i], e[i + 1]))
                                for i in range(len(ks))) else "bad"
        count[kind] += 1
        kind == "bad" and print("%s at %.1f: %s, samples %s" % (drive, t, got, e), file=sys.stderr)
    time.sleep(1)
print("exact=%(exact)d blend=%(blend)d bad=%(bad)d" % count, "distinct=%d" % len(seen))
PYEOF
)
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" <<<"$summary"; }
check "every reading is the trace's rates at the replay time ($summary)" test "$(field bad)" = 0
check "most are exactly one sample's" test "$(field exact)" -ge $((60 * 6 / 10))
check "the statistics follow the trace" test "$(field distinct)" -ge 5
check "the outlier mode is on for NVMe with a 5-minute window, 10 % of it" \
  cli_has "^nvme_disk *:.*outlier_switch= *1 .*outlier_fraction_percent= *10 .*outlier_window_minutes= *5\b" \
  show slowdisk_outlier_config
# "sn:state" of every state the daemon sent to the data agent.
states() { jq -r 'select(.method == "dma_set_disk_state") | "\(.params.sn):\(.params.disk_state)"' "$DMA_LOG" | sort -u; }
# Ten outlier cycles: about half a minute at a light load; the sanitizer
# build on a machine loaded twentyfold took three minutes.
check "the labelled drive $SLOW becomes Slow at the data agent" wait_for 200 eval 'states | grep -qx "$HOST-$SLOW:4"'
others=$(states | { grep ":4$" || true; } | { grep -v "^$HOST-$SLOW:" || true; } | xargs)
check_eq "other drives that became Slow" "$others" ""
# The daemon reports a slow disk as an ERROR record; only the labelled one may.
check "no unexplained errors in the host log" \
  no_unexplained_errors "$FRESH_INSTALL|Find slow disk\($(id_of "$HOST-$SLOW")\)\."
stop_and_finish
