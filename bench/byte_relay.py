#!/usr/bin/env python3
"""Relays TCP connections from LISTEN to TARGET and counts the bytes each way, for the benchmarks
and the tests of display links. Each is a port on 127.0.0.1 or ADDR:PORT. Every 100 ms it writes
"to_target from_target" into COUNT_FILE. With RATE, bytes per second, each direction is held to
that rate, as a link of that speed would (its bandwidth). --delay-ms holds every chunk back that
long in each direction, as a long link would (its latency); with both, a chunk leaves at the rate
and arrives that much later. --flip-after N changes the Nth byte sent towards the target, as a
faulty or hostile network would."""
import argparse
import queue
import socket
import sys
import threading
import time

parser = argparse.ArgumentParser()
parser.add_argument("listen")
parser.add_argument("target")
parser.add_argument("count_file")
parser.add_argument("rate", nargs="?", type=float, default=0.0)
parser.add_argument("--delay-ms", type=float, default=0.0)
parser.add_argument("--flip-after", type=int, default=0)
args = parser.parse_args()


def address(text):
    host, _, port = text.rpartition(":")
    return (host or "127.0.0.1", int(port))


rate, count_file, delay = args.rate, args.count_file, args.delay_ms / 1000.0
# Read in pieces of about 5 ms at the rate, so that a paced link sends evenly, not in bursts.
chunk = min(65536, max(4096, int(rate / 200))) if rate > 0 else 65536
counts = [0, 0]
lock = threading.Lock()


def close_both(*sockets):
    for s in sockets:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def pump(src, dst, index):
    free_at = time.monotonic()  # when the emulated link has sent everything so far
    sent = 0
    late = queue.Queue()
    if delay > 0:
        def send_late():
            try:
                while True:
                    due, chunk = late.get()
                    if chunk is None:
                        break
                    # The time left, read once: read twice, it can be below zero the second time.
                    while (left := due - time.monotonic()) > 0:
                        time.sleep(left)
                    dst.sendall(chunk)
                    with lock:
                        counts[index] += len(chunk)
            except OSError:
                pass
            close_both(src, dst)
        threading.Thread(target=send_late, daemon=True).start()
    try:
        while True:
            data = src.recv(chunk)
            if not data:
                break
            if index == 0 and args.flip_after and sent < args.flip_after <= sent + len(data):
                at = args.flip_after - sent - 1
                data = data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]
            sent += len(data)
            if rate > 0:
                now = time.monotonic()
                # A link that was idle sends at once; one that a late wake-up put behind keeps
                # its schedule, up to two pieces' time, so that oversleeping costs no rate.
                free_at = max(free_at, now - 2 * chunk / rate) + len(data) / rate
                if free_at > now:
                    time.sleep(free_at - now)
            if delay > 0:
                # Every chunk arrives `delay` after it left, in order: a writer sends it then,
                # while this reader goes on reading.
                late.put((time.monotonic() + delay, data))
                continue
            dst.sendall(data)
            with lock:
                counts[index] += len(data)
    except OSError:
        pass
    if delay > 0:
        late.put((0, None))
        return
    close_both(src, dst)


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
server.bind(address(args.listen))
server.listen(8)
threading.Thread(target=writer, daemon=True).start()
while True:
    client, _ = server.accept()
    try:
        target = socket.create_connection(address(args.target))
    except OSError:
        client.close()
        continue
    for s in (client, target):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threading.Thread(target=pump, args=(client, target, 0), daemon=True).start()
    threading.Thread(target=pump, args=(target, client, 1), daemon=True).start()
