"""A TCP relay that adds a fixed one-way delay in each direction, to stand in for a slow network.

The kernel here has no netem, so the benchmark puts this relay between the FTP clients and
vsftpd: it listens on one address (say 127.0.0.2) on the control port and on every passive
port, and forwards each connection to the same port on the server's address. vsftpd's
pasv_address names the relay's address, so no reply needs rewriting.

Each direction of a connection is a timestamped queue: bytes are stamped when they arrive and
handed on once their delay has passed, so a steady stream keeps its bandwidth and only gains
latency (a sleep per chunk would instead cap the rate at one chunk per delay). A byte budget per
direction stands in for a TCP window, so a sender cannot pour an unbounded amount into the relay.

A new connection stands in for a TCP handshake: the client's connect returns at once here,
where over a real link it would take a round trip, so the relay connects to the server three
one-way delays after its accept (SYN, SYN-ACK, ACK), and hands on what the client sent meanwhile
at that moment, as it would arrive with the ACK. The server's greeting then reaches the client
four one-way delays after its connect, as over a real link. handshake_times() measures all three.

Threads rather than asyncio: an event loop waits in epoll's whole milliseconds and overshot a
10 ms delay by about 0.8 ms here, a thread's sleep by about 0.1 ms.

Run as a program it prints "READY" once every port is bound and relays until SIGTERM.
"""
from __future__ import annotations

import argparse
import collections
import selectors
import signal
import socket
import sys
import threading
import time

READ_SIZE = 256 * 1024
WINDOW_BYTES = 4 * 1024 * 1024


def _no_delay(sock: socket.socket) -> None:
    # Nagle would hold back small control replies and distort the delay being emulated.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class DelayedPipe:
    """One direction of one connection: what `source` sends reaches `sink` `delay` seconds later."""

    def __init__(self, source: socket.socket, sink: socket.socket | None, delay: float):
        self.source, self.sink, self.delay = source, sink, delay
        self.queue: collections.deque[tuple[float, bytes | None]] = collections.deque()
        self.queued_bytes = 0
        self.broken = False
        self.changed = threading.Condition()

    def receive(self) -> None:
        while True:
            with self.changed:
                while self.queued_bytes >= WINDOW_BYTES and not self.broken:
                    self.changed.wait()
                if self.broken:
                    return
            try:
                data = self.source.recv(READ_SIZE)
            except OSError:
                data = b""
            with self.changed:
                self.queue.append((time.monotonic() + self.delay, data or None))
                self.queued_bytes += len(data)
                self.changed.notify_all()
            if not data:
                return

    def send(self) -> None:
        while True:
            with self.changed:
                while not self.queue:
                    self.changed.wait()
                due = self.queue[0][0]
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            # Everything already due goes out in one write.
            batch, finished = [], False
            with self.changed:
                now = time.monotonic()
                while self.queue and self.queue[0][0] <= now:
                    data = self.queue.popleft()[1]
                    if data is None:
                        finished = True
                        break
                    batch.append(data)
            if batch:
                payload = b"".join(batch)
                try:
                    self.sink.sendall(payload)
                except OSError:
                    # The sink is gone: stop reading its source too, or the window would stay
                    # full and the receiving thread would wait for ever.
                    finished = self.broken = True
                    try:
                        self.source.shutdown(socket.SHUT_RD)
                    except OSError:
                        pass
                with self.changed:
                    self.queued_bytes -= len(payload)
                    self.changed.notify_all()
            if finished:
                try:
                    self.sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return


class DelayRelay:
    """Relays `ports` from `listen_host` to `target_host`, `one_way` seconds late each way."""

    def __init__(self, listen_host: str, target_host: str, ports: list[int], one_way: float):
        self.listen_host, self.target_host = listen_host, target_host
        self.one_way = one_way
        self.selector = selectors.DefaultSelector()
        for port in ports:
            listener = socket.socket()
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((listen_host, port))
            listener.listen(128)
            self.selector.register(listener, selectors.EVENT_READ, port)

    def serve_forever(self) -> None:
        while True:
            for key, _ in self.selector.select():
                try:
                    client, _ = key.fileobj.accept()
                except OSError:
                    continue
                threading.Thread(target=self._forward, args=(client, key.data),
                                 daemon=True).start()

    def _forward(self, client: socket.socket, port: int) -> None:
        _no_delay(client)
        accepted = time.monotonic()
        # The client's connect returned at once; over a real link it returns after one round
        # trip (SYN, SYN-ACK) and the server accepts one one-way trip later, when the ACK
        # arrives together with whatever the client sent right after its connect. So the
        # server sees the connection three one-way trips after this accept, and what the
        # client sends meanwhile is stamped on arrival here and handed on at that moment, not
        # one delay later: it already spent its delay waiting for the connection.
        upstream = DelayedPipe(client, None, self.one_way)
        workers = [threading.Thread(target=upstream.receive, daemon=True)]
        workers[0].start()
        time.sleep(max(0.0, accepted + 3 * self.one_way - time.monotonic()))
        try:
            server = socket.create_connection((self.target_host, port), timeout=10)
            server.settimeout(None)
        except OSError:
            try:
                client.shutdown(socket.SHUT_RDWR)  # wakes the receiving thread
            except OSError:
                pass
            workers[0].join()
            client.close()
            return
        _no_delay(server)
        upstream.sink = server
        downstream = DelayedPipe(server, client, self.one_way)
        workers += [threading.Thread(target=work, daemon=True)
                    for work in (upstream.send, downstream.receive, downstream.send)]
        for worker in workers[1:]:
            worker.start()
        for worker in workers:
            worker.join()
        client.close()
        server.close()


def handshake_times(listen_host: str, target_host: str, one_way: float) -> tuple[float, ...]:
    """Milliseconds from a client's connect returning to: the server behind a relay accepting,
    the server reading the bytes the client sent right after its connect, and the client
    reading the bytes the server sent on accepting."""
    with socket.socket() as listener:
        listener.bind((target_host, 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        relay = DelayRelay(listen_host, target_host, [port], one_way)
        threading.Thread(target=relay.serve_forever, daemon=True).start()
        times: dict[str, float] = {}

        def serve() -> None:
            connection, _ = listener.accept()
            with connection:
                times["accept"] = time.monotonic()
                connection.sendall(b"s")
                connection.recv(1)
                times["first"] = time.monotonic()
                connection.recv(1)  # until the client closes

        server = threading.Thread(target=serve, daemon=True)
        server.start()
        with socket.create_connection((listen_host, port), timeout=5) as client:
            connected = time.monotonic()
            client.sendall(b"c")
            client.recv(1)
            reply = time.monotonic()
        server.join(timeout=5)
        for key, _ in list(relay.selector.get_map().items()):
            relay.selector.get_key(key).fileobj.close()
    return tuple((at - connected) * 1000 for at in (times["accept"], times["first"], reply))


def parse_ports(words: list[str]) -> list[int]:
    ports: list[int] = []
    for word in words:
        first, _, last = word.partition("-")
        ports.extend(range(int(first), int(last or first) + 1))
    return ports


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", required=True, help="address the relay listens on")
    parser.add_argument("--target", required=True, help="address of the real server")
    parser.add_argument("--one-way-ms", type=float, required=True, help="delay per direction")
    parser.add_argument("ports", nargs="+", help="ports or ranges, e.g. 2121 30000-30063")
    args = parser.parse_args()
    relay = DelayRelay(args.listen, args.target, parse_ports(args.ports), args.one_way_ms / 1000)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    threading.Thread(target=relay.serve_forever, daemon=True).start()
    print("READY", flush=True)
    signal.pause()
    return 0


if __name__ == "__main__":
    sys.exit(main())
