"""The servers each variant runs: vsftpd or pyftpdlib, started by the end-to-end tests' own
launchers (tests/e2e/servers.py), optionally behind the delaying relay (relay.py); and the probes
of what a client meets there (greeting and round-trip times, the TLS a Python client gets)."""
from __future__ import annotations

import hashlib
import select
import socket
import ssl
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from servers import PyFtpdServer, VsftpdServer, free_port, free_port_block, stop_process_group

from .datasets import REDEPLOYS
from .settings import (BENCH, ONE_WAY_MS, PASSIVE_COUNT, PYFTPD_PASSWORD, PYFTPD_USER, PYTHON,
                       READY_LIMIT, RELAY_HOST, SERVER_HOST)


@dataclass
class Variant:
    """A way of reaching the server: plain loopback, through the relay, or TLS."""
    key: str
    title: str
    datasets: list[str]
    tls: bool = False
    one_way_ms: float = 0
    server: str = "vsftpd"  # or "pyftpdlib"
    log_uploads: bool = False  # the re-deploy check counts the uploads in the server's log

    @property
    def redeploy(self) -> bool:
        return any(key in REDEPLOYS for key in self.datasets)


@dataclass
class Target:
    """What a client needs to reach a running server."""
    host: str
    port: int
    user: str
    password: str
    root: Path  # the login folder; remote folders are named relative to it
    tls: bool
    cert: Path | None = None
    fingerprint: str = ""
    server: str = "vsftpd"
    upload_log: Path | None = None


class BenchServer:
    """One variant's server: vsftpd with the benchmark's settings over the tests' launcher, or
    pyftpdlib (tests/e2e/pyftpd_server.py, logging completed transfers only); relayed variants
    take their ports free on the relay's address too, and the relay forwards each of them."""

    def __init__(self, variant: Variant, work: Path, cert: tuple[Path, Path] | None):
        self.variant, self.work, self.cert = variant, work / f"server-{variant.key}", cert
        self.work.mkdir()
        self.relay: subprocess.Popen | None = None
        self.hosts = (SERVER_HOST, RELAY_HOST) if variant.one_way_ms else (SERVER_HOST,)
        self.launcher: VsftpdServer | PyFtpdServer
        if variant.server == "pyftpdlib":
            root = self.work / "root"
            root.mkdir()
            self.upload_log = self.work / "uploads.log"
            self.launcher = PyFtpdServer(root, self.upload_log, PYFTPD_USER, PYFTPD_PASSWORD,
                                         host=SERVER_HOST, quiet=True,
                                         masquerade=RELAY_HOST if variant.one_way_ms else None)
        else:
            self.launcher = VsftpdServer(self.work, self.work / "locks", config=self._settings(),
                                         parent=self.work, also_free=self.hosts[1:],
                                         passive_size=PASSIVE_COUNT)
            self.upload_log = self.launcher.log
        self.root = self.launcher.root
        self.target: Target | None = None

    def _settings(self) -> dict[str, object]:
        """What the benchmark changes in the tests' vsftpd configuration."""
        settings: dict[str, object] = {
            # Four parallel sessions per tool, and lftp may open one more for listing.
            "max_clients": 200, "max_per_ip": 200,
            # Logging every command would charge the server's disk work to the client.
            "xferlog_enable": "NO", "log_ftp_protocol": "NO",
            "idle_session_timeout": 300, "data_connection_timeout": 120,
        }
        if self.variant.log_uploads or self.variant.tls:
            # One line per file, and on /dev/shm: small beside a round trip of the relay.
            settings["xferlog_enable"] = "YES"
        if self.variant.one_way_ms:
            # Clients learn the relay's address from PASV; the relay forwards each passive
            # port to the same port here.
            settings["pasv_address"] = RELAY_HOST
        if self.variant.tls:
            assert self.cert is not None
            settings.update({
                "ssl_enable": "YES", "rsa_cert_file": self.cert[0],
                "rsa_private_key_file": self.cert[1], "allow_anon_ssl": "NO",
                "force_local_logins_ssl": "YES", "force_local_data_ssl": "YES",
                # vsftpd 3.0.3's default cipher list is one that OpenSSL 3 no longer offers.
                "ssl_ciphers": "HIGH",
                # Not every client resumes the control connection's TLS session on each data
                # connection; the figures are about throughput, not that check.
                "require_ssl_reuse": "NO",
                # A line per TLS connection with the protocol version it negotiated, so that
                # each TLS figure can say what it was measured with.
                "debug_ssl": "YES",
            })
        return settings

    def start(self, lock_dir: Path) -> Target:
        error: Exception | None = None
        for _ in range(5):  # a port taken between the probe and a bind: try others
            try:
                if isinstance(self.launcher, PyFtpdServer):
                    # The relay takes the same numbers on its address: chosen free on both.
                    self.launcher.asked_port = free_port(self.hosts)
                    self.launcher.passive = free_port_block(PASSIVE_COUNT, self.hosts)
                else:
                    self.launcher.lock_dir = lock_dir
                self.launcher.start()
            except RuntimeError as failure:
                error = failure
                self.stop()
                continue
            if self.variant.one_way_ms and not self._start_relay():
                self.stop()
                continue
            self.target = self._target()
            return self.target
        raise RuntimeError(f"{self.variant.server} did not start: {error or 'the relay did not'}")

    def _target(self) -> Target:
        host = RELAY_HOST if self.variant.one_way_ms else SERVER_HOST
        launcher = self.launcher
        if isinstance(launcher, PyFtpdServer):
            return Target(host, launcher.port, launcher.user, launcher.password, self.root, False,
                          server="pyftpdlib", upload_log=self.upload_log)
        cert = self.cert[0] if self.cert else None
        logged = self.variant.log_uploads or self.variant.tls
        return Target(host, launcher.port, launcher.user, launcher.password, self.root,
                      self.variant.tls, cert, fingerprint(cert) if cert else "",
                      upload_log=self.upload_log if logged else None)

    def _start_relay(self) -> bool:
        first, last = self.launcher.passive
        self.relay = subprocess.Popen(
            [PYTHON, str(BENCH / "relay.py"), "--listen", RELAY_HOST, "--target", SERVER_HOST,
             "--one-way-ms", str(self.variant.one_way_ms), str(self.launcher.port),
             f"{first}-{last}"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
        assert self.relay.stdout is not None
        ready, _, _ = select.select([self.relay.stdout], [], [], READY_LIMIT)
        return bool(ready) and self.relay.stdout.readline().strip() == b"READY"

    def stop(self) -> None:
        if self.relay is not None:
            stop_process_group(self.relay)
            if self.relay.stdout is not None:
                self.relay.stdout.close()
            self.relay = None
        self.launcher.stop()


def greeting_time(host: str, port: int, process: subprocess.Popen | None = None) -> float | None:
    """Seconds from connect to the server's 220 greeting, polling until the server listens."""
    deadline = time.monotonic() + READY_LIMIT
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return None
        started = time.perf_counter()
        try:
            with socket.create_connection((host, port), timeout=5) as probe:
                greeting = read_reply(probe)
                took = time.perf_counter() - started
                probe.sendall(b"QUIT\r\n")
                return took if greeting.startswith(b"220") else None
        except OSError:
            select.select([], [], [], 0.02)  # polled connect: nothing listens yet
    return None


def read_reply(sock: socket.socket) -> bytes:
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(1024)
        if not chunk:
            break
        data += chunk
    return data


def round_trip_ms(host: str, port: int, samples: int = 15) -> float:
    """Median time of a NOOP and its reply on one control connection."""
    times = []
    with socket.create_connection((host, port), timeout=5) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        read_reply(sock)
        for _ in range(samples):
            started = time.perf_counter()
            sock.sendall(b"NOOP\r\n")
            read_reply(sock)
            times.append((time.perf_counter() - started) * 1000)
        sock.sendall(b"QUIT\r\n")
    return statistics.median(times)


def tls_probe(host: str, port: int, cert: Path) -> str:
    """The TLS version and cipher the server settles on with Python's OpenSSL client."""
    try:
        with socket.create_connection((host, port), timeout=5) as sock:
            read_reply(sock)
            sock.sendall(b"AUTH TLS\r\n")
            if not read_reply(sock).startswith(b"234"):
                return "?"
            context = ssl.create_default_context(cafile=str(cert))
            with context.wrap_socket(sock, server_hostname=host) as tls:
                return f"{tls.version()} {tls.cipher()[0]}"
    except (OSError, ssl.SSLError) as error:
        return f"? ({error})"


def make_certificate(work: Path) -> tuple[Path, Path]:
    cert, key = work / "cert.pem", work / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", f"/CN={SERVER_HOST}", "-addext", f"subjectAltName=IP:{SERVER_HOST}",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def fingerprint(cert: Path) -> str:
    return hashlib.sha256(ssl.PEM_cert_to_DER_cert(cert.read_text())).hexdigest()




VARIANTS = [
    Variant("loopback", "loopback", ["A", "B", "C"]),
    Variant("rtt20", f"{2 * ONE_WAY_MS} ms RTT", ["B200"], one_way_ms=ONE_WAY_MS),
    Variant("redeploy", f"vsftpd, {2 * ONE_WAY_MS} ms RTT", ["R", "R2"],
            one_way_ms=ONE_WAY_MS, log_uploads=True),
    Variant("redeploy-py", f"pyftpdlib, {2 * ONE_WAY_MS} ms RTT", ["R", "R2"],
            one_way_ms=ONE_WAY_MS, server="pyftpdlib", log_uploads=True),
    Variant("tls", "TLS, loopback", ["A", "B"], tls=True),
]


def relay_self_check() -> str:
    """What the relay does to a new connection, timed with a listener of our own behind it."""
    sys.path.insert(0, str(BENCH))
    import relay  # noqa: E402 (a sibling file, not a package)
    try:
        accept_ms, first_ms, reply_ms = relay.handshake_times(RELAY_HOST, SERVER_HOST,
                                                              ONE_WAY_MS / 1000)
    except OSError as error:
        return f"relay self-check failed: {error}"
    return (f"relay self-check: after a client's connect returned, the server behind the relay "
            f"accepted at {accept_ms:.1f} ms and read the client's first bytes at "
            f"{first_ms:.1f} ms; the server's first bytes reached the client at {reply_ms:.1f} "
            f"ms (over a real link, where connect itself takes one round trip, counted from the "
            f"connect call: {3 * ONE_WAY_MS}, {3 * ONE_WAY_MS} and {4 * ONE_WAY_MS} ms)")

