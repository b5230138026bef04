#!/usr/bin/env python3
"""Measures the link that a relay (bench/byte_relay.py) emulates, so that a benchmark can tell it
really holds the rate and the delay it was given. RELAY is the address the relay listens on,
SINK the one it relays to, where this program listens itself (start it before anything connects
to the relay). Prints "rtt_ms=R to_mbit=A back_mbit=B": the median round trip of five one-byte
exchanges, and the rate at which BYTES arrived each way, timed from the first byte to the last
at the end that received them."""
import socket
import statistics
import sys
import threading
import time


def address(text):
    host, _, port = text.rpartition(":")
    return (host or "127.0.0.1", int(port))


def receive(sock, size):
    """Reads `size` bytes; returns the seconds from the first to the last."""
    got, first = 0, None
    while got < size:
        data = sock.recv(min(65536, size - got))
        if not data:
            raise OSError("the link closed early")
        first = first or time.monotonic()
        got += len(data)
    return time.monotonic() - first


relay, sink_at, size = address(sys.argv[1]), address(sys.argv[2]), int(sys.argv[3])
sink = socket.socket()
sink.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
sink.bind(sink_at)
sink.listen(1)
result = {}


def serve():
    peer, _ = sink.accept()
    peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for _ in range(5):
        receive(peer, 1)
        peer.sendall(b".")
    result["to"] = receive(peer, size)
    peer.sendall(b"\0" * size)
    peer.recv(1)


threading.Thread(target=serve, daemon=True).start()
client = socket.create_connection(relay)
client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
trips = []
for _ in range(5):
    t0 = time.monotonic()
    client.sendall(b".")
    receive(client, 1)
    trips.append(time.monotonic() - t0)
client.sendall(b"\0" * size)
back = receive(client, size)
client.sendall(b".")
mbit = lambda seconds: 8 * size / seconds / 1e6 if seconds > 0 else 0
print(f"rtt_ms={1000 * statistics.median(trips):.1f} to_mbit={mbit(result['to']):.2f} back_mbit={mbit(back):.2f}")
