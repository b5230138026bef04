#!/usr/bin/env python3
"""Relays TCP connections from LISTEN_PORT to TARGET_PORT on 127.0.0.1 and counts the bytes each
way, for bench/run-bytes.sh. Every 100 ms it writes "to_target from_target" into COUNT_FILE.
With a fourth argument, bytes per second, each direction is held to that rate, as a link of that
speed would (its bandwidth, not its latency)."""
import socket
import sys
import threading
import time

listen_port, target_port, count_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rate = float(sys.argv[4]) if len(sys.argv) > 4 else 0.0
counts = [0, 0]
lock = threading.Lock()


def pump(src, dst, index):
    free_at = time.monotonic()  # when the emulated link has sent everything so far
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if rate > 0:
                now = time.monotonic()
                free_at = max(free_at, now) + len(data) / rate
                if free_at > now:
                    time.sleep(free_at - now)
            dst.sendall(data)
            with lock:
                counts[index] += len(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def writer():
    while True:
        with lock:
            text = f"{counts[0]} {counts[1]}\n"
        with open(count_file + ".tmp", "w") as f:
            f.write(text)
        import os
        os.replace(count_file + ".tmp", count_file)
        time.sleep(0.1)


server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", listen_port))
server.listen(8)
threading.Thread(target=writer, daemon=True).start()
while True:
    client, _ = server.accept()
    target = socket.create_connection(("127.0.0.1", target_port))
    for s in (client, target):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threading.Thread(target=pump, args=(client, target, 0), daemon=True).start()
    threading.Thread(target=pump, args=(target, client, 1), daemon=True).start()
