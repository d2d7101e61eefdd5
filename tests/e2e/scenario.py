#!/usr/bin/env python3
"""Helpers of the end-to-end scenarios (see lib.sh for the shell side).

  scenario.py fleet OUT KERNEL USER [ARRIVE_AT STEP]
      A fleet file of KERNEL + USER whitelisted disks (device names kd<i>
      and nvu<i>, serial numbers SPKE<role><i>). With ARRIVE_AT the disks
      are pulled at time 0 and inserted one by one from ARRIVE_AT, STEP
      seconds apart, so they arrive while the daemon runs.
  scenario.py registry FILE
      Loads a registry file the way the daemon must be able to and prints
      "id sn state slot" lines by id; exits 1 naming the first problem
      (not JSON, a bad member, a repeated id or serial number).
  scenario.py ctl SOCKET METHOD [PARAMS_JSON]
      One JSON-RPC call to an agent; prints the answer.
  scenario.py asked LOG [method=M] [device=D] [only=D] [min=N] [since=T] [until=T]
      The number of requests in an agent_proxy.py log that match every
      condition given: method M, naming device D (only D), at least N
      devices, sent from time "since" until time "until".
  scenario.py errors ALLOW_ERE [FROM TO ERE]... -- LOG...
      Prints the ERROR records of the host logs that ALLOW_ERE does not
      match, nor an ERE whose window (log time stamps FROM to TO) holds the
      record.
  scenario.py proxy LISTEN TARGET LOG
      A recording proxy between the daemon and an agent: forwards each
      connection's request to TARGET, hands the whole answer back in one
      write (the daemon reads it with one receive) and appends one JSON line
      per request to LOG: {"time": seconds, "method": ..., "devices": [...]}.
"""
import json
import os
import re
import socket
import sys
import threading
import time

# (type, vendor, model, sector size) rows the daemon's whitelist accepts;
# the kernel agent cycles through the first three, the user agent serves NVMe.
KERNEL_KINDS = [("SSD_SATA", "ATA", "KSSD-SA960", 512),
                ("SSD_SAS", "KORVAN", "KV-SAS1600", 512),
                ("HDD_SAS", "SEAGATE", "ST4000NM0043", 512)]
USER_KIND = ("SSD_NVMe", "KORVAN", "KV-NVMe3840", 4096)


def disk(role, i, kind, slot):
    dtype, vendor, model, sector = kind
    d = {"device_name": ("kd%d" if role == "kernel" else "nvu%d") % i,
         "serial_number": "SPKE%s%04d" % ("K" if role == "kernel" else "U", i),
         "type": dtype, "vendor": vendor, "model": model, "firmware": "E2E1",
         "capacity": str(960197124096 + i), "sector_size": sector, "slot": slot,
         "role": role, "health": {"power_on_hours": 1000 + i}}
    if dtype == "SSD_NVMe":
        d["pci_address"] = "0000:%02x:00.0" % (0x40 + i)
    return d


def fleet(out, kernel, user, arrive=None, step=0.0):
    disks = [disk("kernel", i, KERNEL_KINDS[i % 3], i) for i in range(int(kernel))]
    disks += [disk("user", i, USER_KIND, 100 + i) for i in range(int(user))]
    events = []
    if arrive is not None:
        for n, d in enumerate(disks):
            events.append({"at": 0, "disk": d["device_name"], "type": "pull"})
            events.append({"at": float(arrive) + n * float(step),
                           "disk": d["device_name"], "type": "insert"})
    with open(out, "w") as f:
        json.dump({"tick_rate": 1000, "disks": disks, "events": events}, f)


# Members of a registry element: JSON type and the check of its value.
MEMBERS = {
    "diskId": (int, lambda v: 0 <= v < 128),
    "diskState": (int, lambda v: v in (0, 1, 3, 4)),
    "frameId": (int, lambda v: True), "slotId": (int, lambda v: True),
    "sectorSize": (int, lambda v: True),
    "diskType": (int, lambda v: 0 <= v < 6), "mediaType": (int, lambda v: 0 <= v < 6),
    "diskCapacity": (str, lambda v: len(v) < 30 and re.fullmatch(r"-?\d+", v)),
    "vendor": (str, lambda v: len(v) < 10), "model": (str, lambda v: len(v) < 44),
    "sn": (str, lambda v: 0 < len(v) < 40), "pciAddr": (str, lambda v: len(v) < 256),
    "firmware": (str, lambda v: len(v) < 10),
}


def registry(path):
    try:
        with open(path) as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        sys.exit("registry %s does not load: %s" % (path, e))
    if not isinstance(doc, list) or len(doc) > 64:
        sys.exit("registry %s is not an array of at most 64 disks" % path)
    ids, sns = set(), set()
    for n, e in enumerate(doc):
        for key, (kind, ok) in MEMBERS.items():
            v = e.get(key) if isinstance(e, dict) else None
            if not isinstance(v, kind) or isinstance(v, bool) or not ok(v):
                sys.exit("registry element %d: bad %s (%r)" % (n, key, v))
        if e["diskId"] in ids or e["sn"] in sns:
            sys.exit("registry element %d repeats id %d or sn %s" % (n, e["diskId"], e["sn"]))
        ids.add(e["diskId"])
        sns.add(e["sn"])
    for e in sorted(doc, key=lambda e: e["diskId"]):
        print(e["diskId"], e["sn"], e["diskState"], e["slotId"])


def ctl(sock, method, params=None):
    req = {"jsonrpc": "2.0", "id": 1, "method": method}
    if params:
        req["params"] = json.loads(params)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(sock)
        s.sendall(json.dumps(req).encode())
        s.shutdown(socket.SHUT_WR)
        print(s.recv(65536).decode())


def asked(log, *conds):
    c = dict(x.split("=", 1) for x in conds)

    def match(r):
        d = r["devices"]
        return (r["method"] == c.get("method", r["method"])
                and ("device" not in c or c["device"] in d)
                and ("only" not in c or d == [c["only"]])
                and len(d) >= int(c.get("min", 0))
                and float(c.get("since", 0)) <= r["time"] < float(c.get("until", "inf")))
    try:
        print(sum(match(json.loads(line)) for line in open(log)))
    except OSError:
        print(0)


def errors(allow, *rest):
    cut = rest.index("--")
    windows = [(rest[i], rest[i + 1], re.compile(rest[i + 2])) for i in range(0, cut, 3)]
    if allow:
        windows.append(("", "~", re.compile(allow)))
    for log in rest[cut + 1:]:
        try:
            lines = open(log, errors="replace").read().splitlines()
        except OSError:
            continue
        for line in lines:
            stamp = line[:23]
            if "[ERROR]" in line and not any(
                    a <= stamp <= b and ere.search(line) for a, b, ere in windows):
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
                devices = [d if isinstance(d, str) else d.get("device_name", "")
                           for d in (req.get("params") or {}).get("devices", []) or []]
                entry = {"method": req.get("method", ""), "devices": devices}
            except (ValueError, AttributeError):
                entry = {"method": "?", "devices": []}
            with lock, open(log, "a") as f:
                f.write(json.dumps(dict(entry, time=time.time())) + "\n")
            answer = b""
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as up:
                up.settimeout(10)
                up.connect(target)
                up.sendall(data)
                while chunk := up.recv(65536):
                    answer += chunk
            conn.sendall(answer)
        except OSError:
            pass  # the daemon sees a closed connection, as from a dead agent


def proxy(listen, target, log):
    if os.path.exists(listen):
        os.unlink(listen)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(listen)
    srv.listen(128)
    lock = threading.Lock()
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=relay, args=(conn, target, log, lock), daemon=True).start()


if __name__ == "__main__":
    {"fleet": fleet, "registry": registry, "ctl": ctl, "asked": asked, "errors": errors,
     "proxy": proxy}[sys.argv[1]](*sys.argv[2:])
