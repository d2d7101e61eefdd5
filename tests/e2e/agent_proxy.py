#!/usr/bin/env python3
"""Recording proxy between the daemon and a disk agent, for end-to-end tests.

Listens on LISTEN (the socket the daemon calls), forwards each connection's
request to TARGET (the real agent), hands the whole answer back in one write
(the daemon reads it with one receive) and appends one JSON line per request
to LOG: {"time": seconds, "method": ..., "devices": [names...]}.

usage: agent_proxy.py LISTEN TARGET LOG
"""
import json
import os
import socket
import sys
import threading
import time


def record(log, lock, text):
    try:
        req = json.loads(text)
        method = req.get("method", "")
        devices = [d if isinstance(d, str) else d.get("device_name", "")
                   for d in (req.get("params") or {}).get("devices", []) or []]
    except (ValueError, AttributeError):
        method, devices = "?", []
    with lock, open(log, "a") as f:
        f.write(json.dumps({"time": time.time(), "method": method, "devices": devices}) + "\n")


def serve(conn, target, log, lock):
    with conn:
        try:
            conn.settimeout(10)
            data = conn.recv(65536)
            if not data:
                return
            record(log, lock, data.decode("utf-8", "replace"))
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


def main():
    listen, target, log = sys.argv[1:4]
    if os.path.exists(listen):
        os.unlink(listen)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(listen)
    srv.listen(128)
    lock = threading.Lock()
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn, target, log, lock), daemon=True).start()


if __name__ == "__main__":
    main()
