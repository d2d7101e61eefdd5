#!/usr/bin/env python3
# Helpers of the end-to-end scenarios (see lib.sh for the shell side).
#
#   scenario.py fleet OUT KERNEL USER [EVENTS_JSON [ARRIVE_AT STEP]]
#       A fleet file of KERNEL + USER whitelisted disks (device names kd<i>
#       and nvu<i>, serial numbers SPKE<role><i>) with the events given. With
#       ARRIVE_AT the disks are pulled at time 0 and inserted one by one from
#       ARRIVE_AT, STEP seconds apart, so they arrive while the daemon runs.
#   scenario.py registry FILE
#       Loads a registry file the way the daemon must be able to and prints
#       "id sn state slot" lines by id; exits 1 naming the first problem
#       (not JSON, a bad member, a repeated id or serial number).
#   scenario.py ctl SOCKET METHOD [PARAMS_JSON]
#       One JSON-RPC call to an agent; prints the answer.
#   scenario.py asked LOG [method=M] [device=D] [only=D] [min=N] [since=T] [until=T]
#       The number of requests in a proxy's log that match every condition
#       given: method M, naming device D (only D), at least N devices, sent
#       from time "since" until time "until".
#   scenario.py errors ALLOW_ERE [FROM TO ERE]... -- LOG...
#       Prints the ERROR records of the host logs that ALLOW_ERE does not
#       match, nor an ERE whose window (log time stamps FROM to TO) holds the
#       record.
#   scenario.py proxy LISTEN TARGET LOG
#       A recording proxy between the daemon and an agent: forwards each
#       connection's request to TARGET, hands the whole answer back in one
#       write (the daemon reads it with one receive) and appends one JSON line
#       per request to LOG: {"time": seconds, "method": ..., "devices": [...]}.
import json, os, re, socket, sys, threading, time  # noqa: E401 (a test helper)

# (type, vendor, model, sector size) rows the daemon's whitelist accepts;
# the kernel agent cycles through the first three, the user agent serves NVMe.
KINDS = [("SSD_SATA", "ATA", "KSSD-SA960", 512), ("SSD_SAS", "KORVAN", "KV-SAS1600", 512),
         ("HDD_SAS", "SEAGATE", "ST4000NM0043", 512), ("SSD_NVMe", "KORVAN", "KV-NVMe3840", 4096)]


def fleet(out, kernel, user, extra="[]", arrive=None, step=0.0):
    disks, events = [], []
    for role, n, dev, kind, slot in (("kernel", int(kernel), "kd%d", lambda i: KINDS[i % 3], 0),
                                     ("user", int(user), "nvu%d", lambda i: KINDS[3], 100)):
        for i in range(n):
            dtype, vendor, model, sector = kind(i)
            disks.append({"device_name": dev % i, "serial_number": "SPKE%s%04d" % (role[0].upper(), i),
                          "type": dtype, "vendor": vendor, "model": model, "firmware": "E2E1",
                          "capacity": str(960197124096 + i), "sector_size": sector, "slot": slot + i,
                          "role": role, "health": {"power_on_hours": 1000 + i}})
            if dtype == "SSD_NVMe":
                disks[-1]["pci_address"] = "0000:%02x:00.0" % (0x40 + i)
    for n, d in enumerate(disks if arrive is not None else []):
        events += [{"at": 0, "disk": d["device_name"], "type": "pull"},
                   {"at": float(arrive) + n * float(step), "disk": d["device_name"], "type": "insert"}]
    with open(out, "w") as f:
        json.dump({"tick_rate": 1000, "disks": disks, "events": events + json.loads(extra)}, f)


# Members of a registry element: JSON type and the check of its value (the
# lengths are those of the daemon's fields).
LIMITS = {"diskId": range(128), "diskState": (0, 1, 3, 4), "diskType": range(6), "mediaType": range(6),
          "diskCapacity": range(30), "vendor": range(10), "model": range(44), "sn": range(1, 40),
          "pciAddr": range(256), "firmware": range(10), "frameId": None, "slotId": None, "sectorSize": None}


def registry(path):
    try:
        doc = json.load(open(path))
        assert isinstance(doc, list) and len(doc) <= 64, "not an array of at most 64 disks"
    except (OSError, ValueError, AssertionError) as e:
        sys.exit("registry %s does not load: %s" % (path, e))
    for n, e in enumerate(doc):
        for key, ok in LIMITS.items():
            v = e.get(key) if isinstance(e, dict) else None
            kind = str if key in ("diskCapacity", "vendor", "model", "sn", "pciAddr", "firmware") else int
            if type(v) is not kind or ok and (len(v) if kind is str else v) not in ok or \
                    key == "diskCapacity" and not re.fullmatch(r"-?\d+", v):
                sys.exit("registry element %d: bad %s (%r)" % (n, key, v))
    for key in ("diskId", "sn"):
        if len({e[key] for e in doc}) != len(doc):
            sys.exit("registry %s repeats a %s" % (path, key))
    for e in sorted(doc, key=lambda e: e["diskId"]):
        print(e["diskId"], e["sn"], e["diskState"], e["slotId"])


# One request to an agent; its whole answer (up to the agent's close).
def call(sock, data):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(10)
        s.connect(sock)
        s.sendall(data)
        return b"".join(iter(lambda: s.recv(65536), b""))


def ctl(sock, method, params=None):
    req = {"jsonrpc": "2.0", "id": 1, "method": method, **({"params": json.loads(params)} if params else {})}
    print(call(sock, json.dumps(req).encode()).decode())


def asked(log, *conds):
    c = dict(x.split("=", 1) for x in conds)

    def match(r):
        d = r["devices"]
        return (r["method"] == c.get("method", r["method"]) and ("device" not in c or c["device"] in d)
                and ("only" not in c or d == [c["only"]]) and len(d) >= int(c.get("min", 0))
                and float(c.get("since", 0)) <= r["time"] < float(c.get("until", "inf")))
    print(sum(match(json.loads(line)) for line in open(log)) if os.path.exists(log) else 0)


def errors(allow, *rest):
    cut = rest.index("--")
    windows = [(rest[i], rest[i + 1], re.compile(rest[i + 2])) for i in range(0, cut, 3)]
    windows += [("", "~", re.compile(allow))] if allow else []
    for log in filter(os.path.exists, rest[cut + 1:]):
        for line in open(log, errors="replace").read().splitlines():
            if "[ERROR]" in line and not any(a <= line[:23] <= b and ere.search(line) for a, b, ere in windows):
                print(line)


def relay(conn, target, log, lock):
    with conn:
        try:
            conn.settimeout(10)
            data = conn.recv(65536)
            if not data:
                return
            try:
                req = json.loads(data)
                entry = {"method": req.get("method", ""), "devices": [d if isinstance(d, str) else d.get(
                    "device_name", "") for d in (req.get("params") or {}).get("devices", []) or []]}
            except (ValueError, AttributeError):
                entry = {"method": "?", "devices": []}
            with lock, open(log, "a") as f:
                f.write(json.dumps(dict(entry, time=time.time())) + "\n")
            conn.sendall(call(target, data))
        except OSError:
            pass  # the daemon sees a closed connection, as from a dead agent


def proxy(listen, target, log):
    os.path.exists(listen) and os.unlink(listen)
    srv = socket.socket(socket.AF_UNIX)
    srv.bind(listen)
    srv.listen(128)
    lock = threading.Lock()
    while True:
        threading.Thread(target=relay, args=(srv.accept()[0], target, log, lock), daemon=True).start()


if __name__ == "__main__":
    globals()[sys.argv[1]](*sys.argv[2:])
