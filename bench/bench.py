"""`make bench`: how fast ftpupload uploads a folder, beside lftp, ncftpput and curl.

Everything runs on this machine: a vsftpd of its own on 127.0.0.1 (free ports, a local user,
its login folder on /dev/shm so that the clients are measured, not the disk), datasets of random
bytes on /dev/shm, and for the slow-network rows a relay (relay.py) that delays each direction
by 10 ms. Every upload goes into a fresh empty remote folder and is checked file by file with
SHA-256; a failed check shows in the table. Each figure is the median of several runs (min and
max beside it), taken after one warm-up run per tool and dataset that counts for no figure, with
the tools in a shuffled order in every round; it is also given as a ratio to the best peer tool
of the same column. On the 20 ms rows the goal lines compare like with like first (ftpupload
with 1 connection against the best peer with 1, 4 against 4), then best against best.

Peers run at their best settings: lftp with --norc, mirror -R --no-perms --overwrite (no SITE
CHMOD, no DELE before a store), each with lftp's default ftp:sync-mode and with it off; curl with
-q and --ftp-method nocwd (folders made by quote MKD commands). Of lftp's two sync modes, the
one whose warm-up took over PRUNE_MARGIN times the other's is dropped and its row shows both
warm-up times (BENCH_PRUNE=0 keeps both). The report's header names the measured binary by its
own --version, its file date and the git tree it sits in (commit, clean or dirty). Beside each
TLS figure stands the protocol version vsftpd logged for that tool's connections (debug_ssl),
and each TLS column names what a Python client negotiates with the same server.

Dataset R is a re-deploy: a tree that was deployed before (laid straight into the server's
folder, not timed) has since changed in a few files, and only the upload that brings the remote
copy up to date is timed: ftpupload with --skip-unchanged=true, lftp with mirror --only-newer,
through the relay, on vsftpd and on a pyftpdlib server (pyftpd_server.py). Besides the SHA-256
of every file, each run must have rewritten exactly the changed files on the server, and the
server's log must show as many completed uploads. Its figures are seconds, and beside each the
files stored again.

Dataset R2 (shown as R′) is R after a fresh checkout: every local file touched (newer than its
remote copy), the same 10 with new content. ftpupload adds --checksum=true; the remote folder
also holds the earlier deploy's manifest (.ftpupload-manifest), taken from one untimed
ftpupload deploy of the original tree to a pyftpdlib server on loopback, or written in
sha256sum's format when the build lacks --checksum (its rows then say so instead of running).
lftp stores every file again, which is slow, not wrong; the table counts the files each tool
stored again, and ftpupload's runs must also leave a manifest that names the new tree. Beside
ftpupload's seconds stands its hashing time: from its --report JSON where that has a numeric
key containing "hash", else an estimate, Python's hashlib over the same files here. R2 runs only
when BENCH_DATASETS names it: with every file stored again by each lftp row, it takes about an
hour.

Settings come from the environment:
  FTPUPLOAD_EXE  the program to measure (default build/ftpupload)
  BENCH_QUICK=1  tiny datasets and one run: checks the machinery in a minute or two
  BENCH_RUNS=N   timed runs per figure (default 5, quick 1), after the warm-up
  BENCH_SEED=N   the seed of the shuffled order (default: new each time; the report names it)
  BENCH_PRUNE=0  keep both of lftp's sync modes after the warm-up
  BENCH_TLS=1    also the TLS rows (same as the --tls argument)
  BENCH_TOOLS    comma-separated keys of what to run (default all): the keys in TOOLS and
                 REDEPLOY_TOOLS, and "paced" for the run with the program's default pacing
  BENCH_DATASETS comma-separated dataset keys to run (default all but R2): A, B, C, B200 (B over
                 the slow link), R, R2; "paced" runs with A, B or C
  BENCH_FORCE=1  run ftpupload's unpaced rows even when its usage text lacks --pacing
  BENCH_OUT      where the markdown goes (default bench/results.md, quick bench/results-quick.md;
                 a run of some datasets only: bench/results-KEYS.md, so the full table stays)
  BENCH_KEEP=1   keep the work folder on /dev/shm (logs, configurations) for a look afterwards
  BENCH_TRACE=1  ftpupload also writes --trace=logs/REMOTE.trace (keep them with BENCH_KEEP=1)
Must run as root: it installs missing packages and creates the local user vsftpd logs in.
"""
from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import platform
import random
import re
import select
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

REPO = Path(__file__).resolve().parents[1]
BENCH = REPO / "bench"
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from servers import (VSFTPD, VSFTPD_PASSWORD, VSFTPD_USER,  # noqa: E402
                     ensure_vsftpd_user, stop_process_group)

PYTHON = "/usr/bin/python3"
MIB = 1024 * 1024
KIB = 1024
READY_LIMIT = 20
PASSIVE_LOW, PASSIVE_HIGH, PASSIVE_COUNT = 20000, 32000, 64
SERVER_HOST = "127.0.0.1"
RELAY_HOST = "127.0.0.2"  # the relay listens here on the same port numbers as the server
ONE_WAY_MS = 10

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
RUNS = int(os.environ.get("BENCH_RUNS", "1" if QUICK else "5"))
WARMUPS = 1  # per tool and dataset, run before the timed ones and left out of the figures
PRUNE = os.environ.get("BENCH_PRUNE", "1") not in ("", "0")
# Each ftpupload run also writes its timed dialogue, to see where a run's round trips go; it
# costs a line per command, so the figures of such a run are not the ones to quote.
TRACE = os.environ.get("BENCH_TRACE", "") not in ("", "0")
# A competing setting is dropped only when its warm-up took this much longer than the fastest
# one's: closer than that, one run cannot tell them apart, and both go on.
PRUNE_MARGIN = 1.25
# The order of the tools in each round; the report names the seed, so an order can be redone.
ORDER_SEED = int(os.environ.get("BENCH_SEED", str(time.time_ns() % 1_000_000)))
EXE = Path(os.environ.get("FTPUPLOAD_EXE", str(REPO / "build" / "ftpupload"))).resolve()
PACKAGES = {"vsftpd": "/usr/sbin/vsftpd", "lftp": "lftp", "ncftp": "ncftpput", "curl": "curl",
            "openssl": "openssl", "python3-pyftpdlib": "/usr/lib/python3/dist-packages/pyftpdlib"}
PYFTPD_USER, PYFTPD_PASSWORD = "bench", "bench-pass-4Rd"
DAY = 24 * 3600
REDEPLOY_SEED = 20261209
MANIFEST = ".ftpupload-manifest"  # what --checksum=true keeps in the remote folder


# ---------------------------------------------------------------------------------------------
# Datasets


@dataclass
class Dataset:
    key: str
    unit: str  # "MiB/s", "files/s", or "s" for the seconds of a run
    layout: list[tuple[str, int]]  # relative path, size
    timeout: float  # seconds one upload of it may take before it counts as hung
    root: Path = Path()
    digests: dict[str, str] = field(default_factory=dict)
    ours_extra: tuple[str, ...] = ()  # options ftpupload runs with on this dataset
    needs: tuple[str, ...] = ()  # of those, the ones a build may not have yet

    @property
    def total_bytes(self) -> int:
        return sum(size for _, size in self.layout)

    def rate(self, seconds: float) -> float:
        """The figure a run is reported by."""
        if self.unit == "s":
            return seconds
        if self.unit == "files/s":
            return len(self.layout) / seconds
        return self.total_bytes / MIB / seconds

    @property
    def lower_is_better(self) -> bool:
        return self.unit == "s"

    def speedup(self, figure: float, reference: float) -> float:
        """How many times as fast as `reference` a run with `figure` was."""
        return reference / figure if self.lower_is_better else figure / reference

    @property
    def title(self) -> str:
        size = self.layout[0][1]  # the files of a dataset are all of one size
        amount = f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB"
        return f"{self.key[0]}: {len(self.layout)} × {amount}"

    def generate(self, top: Path) -> None:
        self.root = top / self.key
        for relative, size in self.layout:
            path = self.root / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            digest = hashlib.sha256()
            with open(path, "wb") as out:
                left = size
                while left:
                    block = os.urandom(min(left, 4 * MIB))
                    out.write(block)
                    digest.update(block)
                    left -= len(block)
            self.digests[relative] = digest.hexdigest()
        for path in [self.root, *self.root.rglob("*")]:
            path.chmod(0o755 if path.is_dir() else 0o644)


@dataclass
class Redeploy(Dataset):
    """A tree deployed before that has since changed in a few files. `before` is the tree as
    that deploy left it; `root` is the local tree now, which every upload must reproduce."""
    folders: int = 1
    changes: int = 0
    name: str = "R"
    # Every local file newer than its remote copy, as after a fresh checkout: only content
    # tells the changed files from the others.
    touched: bool = False
    before: Path = Path()
    changed: list[str] = field(default_factory=list)
    deployed: float = 0.0  # mtime of the remote copies that the earlier deploy left
    # The manifest the earlier deploy left beside the files (touched only), and where it
    # came from.
    manifest: bytes = b""
    manifest_source: str = ""

    @property
    def title(self) -> str:
        touched = "every file touched, " if self.touched else ""
        return (f"{self.name}: {len(self.layout)} × 1–20 KiB in {self.folders} folders, "
                f"{touched}{self.changes} changed")

    @property
    def extras(self) -> set[str]:
        """Remote files that are the program's bookkeeping, not part of the tree."""
        return {MANIFEST} if self.touched else set()

    def generate(self, top: Path) -> None:
        # Seeded, so that every machine and every run measures the same tree and the same
        # changes.
        rng = random.Random(REDEPLOY_SEED + 1)
        self.root, self.before = top / self.key, top / f"{self.key}-before"
        contents = {relative: rng.randbytes(size) for relative, size in self.layout}
        self.changed = sorted(rng.sample(sorted(contents), self.changes))
        for tree in (self.before, self.root):
            for relative, content in contents.items():
                (tree / relative).parent.mkdir(parents=True, exist_ok=True)
                (tree / relative).write_bytes(content)
        for number, relative in enumerate(self.changed):
            old = contents[relative]
            # Half of them keep their size, so that only their time tells them from the
            # deployed copy.
            size = len(old)
            while number % 2 and size == len(old):
                size = rng.randint(1 * KIB, 20 * KIB)
            (self.root / relative).write_bytes(rng.randbytes(size))
        # Whole days apart: neither a listing's minute resolution nor a client's idea of the
        # server's time zone may decide what counts as newer. Files written two days ago,
        # deployed yesterday (a server stamps an upload with its own clock), a few edited now.
        now = time.time()
        self.deployed = now - DAY
        for relative in contents:
            stamp = now if relative in self.changed or self.touched else now - 2 * DAY
            os.utime(self.root / relative, (stamp, stamp))
        self.digests = digests_of(self.root)
        if self.touched:
            self.manifest = manifest_text(digests_of(self.before)).encode()
            self.manifest_source = "written in sha256sum's format"
        for tree in (self.before, self.root):
            for path in [tree, *tree.rglob("*")]:
                path.chmod(0o755 if path.is_dir() else 0o644)


def manifest_text(digests: dict[str, str]) -> str:
    return "".join(f"{digest}  {name}\n" for name, digest in sorted(digests.items()))


def parse_manifest(text: str) -> dict[str, str]:
    found = {}
    for line in text.splitlines():
        match = re.fullmatch(r"([0-9a-fA-F]{64}) [ *](.+)", line.rstrip("\r"))
        if match:
            found[match.group(2)] = match.group(1).lower()
    return found


def redeploy_layout(count: int, folders: int) -> list[tuple[str, int]]:
    rng = random.Random(REDEPLOY_SEED)
    return [(f"dir{i % folders:02}/file{i:04}.bin", rng.randint(1 * KIB, 20 * KIB))
            for i in range(count)]


def spread(count: int, folders: int, size: int) -> list[tuple[str, int]]:
    return [(f"dir{i % folders:02}/file{i:04}.bin", size) for i in range(count)]


def two_levels(count: int, size: int) -> list[tuple[str, int]]:
    """Files in two top folders and a sub-folder of each, so mirroring must nest folders."""
    layout = []
    for i in range(count):
        top = f"level1-{i % 2}"
        layout.append((f"{top}/level2/file{i:02}.bin" if i % 4 >= 2 else f"{top}/file{i:02}.bin",
                       size))
    return layout


def datasets() -> dict[str, Dataset]:
    if QUICK:
        return {
            "A": Dataset("A", "MiB/s", [("big.bin", 8 * MIB)], 120),
            "B": Dataset("B", "files/s", spread(8, 2, 4 * KIB), 120),
            "C": Dataset("C", "MiB/s", two_levels(4, 1 * MIB), 120),
            "B200": Dataset("B200", "files/s", spread(8, 2, 4 * KIB), 120),
            "R": Redeploy("R", "s", redeploy_layout(100, 5), 120, folders=5, changes=3),
            "R2": touched_redeploy(redeploy_layout(100, 5), 120, folders=5, changes=3),
        }
    return {
        "A": Dataset("A", "MiB/s", [("big.bin", 256 * MIB)], 180),
        "B": Dataset("B", "files/s", spread(1000, 10, 4 * KIB), 240),
        "C": Dataset("C", "MiB/s", two_levels(10, 10 * MIB), 120),
        "B200": Dataset("B200", "files/s", spread(200, 10, 4 * KIB), 240),
        "R": Redeploy("R", "s", redeploy_layout(2000, 40), 300, folders=40, changes=10),
        # Its peers store all 2000 files again through the relay: minutes per run.
        "R2": touched_redeploy(redeploy_layout(2000, 40), 900, folders=40, changes=10),
    }


def touched_redeploy(layout: list[tuple[str, int]], timeout: float, folders: int,
                     changes: int) -> Redeploy:
    """R′: R's tree and changes, but every local file touched since the deploy."""
    return Redeploy("R2", "s", layout, timeout, ours_extra=("--checksum=true",),
                    needs=("--checksum",), folders=folders, changes=changes, name="R′",
                    touched=True)


# ---------------------------------------------------------------------------------------------
# Servers: a vsftpd per variant, optionally behind the delaying relay


def port_is_free(port: int, hosts: tuple[str, ...]) -> bool:
    for host in hosts:
        with socket.socket() as probe:
            try:
                probe.bind((host, port))
            except OSError:
                return False
    return True


def free_port(hosts: tuple[str, ...]) -> int:
    for _ in range(100):
        with socket.socket() as probe:
            probe.bind((SERVER_HOST, 0))
            port = probe.getsockname()[1]
        if port_is_free(port, hosts):
            return port
    raise RuntimeError("no free control port")


def free_port_block(hosts: tuple[str, ...]) -> tuple[int, int]:
    # Below the kernel's ephemeral range, as the tests do, so the system never hands them out.
    for _ in range(200):
        first = random.randrange(PASSIVE_LOW, PASSIVE_HIGH - PASSIVE_COUNT)
        if all(port_is_free(p, hosts) for p in range(first, first + PASSIVE_COUNT)):
            return first, first + PASSIVE_COUNT - 1
    raise RuntimeError("no free block of passive ports")


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


class Server:
    def __init__(self, variant: Variant, work: Path, cert: tuple[Path, Path] | None):
        self.variant, self.work, self.cert = variant, work / f"server-{variant.key}", cert
        self.work.mkdir()
        self.root = self.work / "root"
        self.root.mkdir()
        self.process: subprocess.Popen | None = None
        self.relay: subprocess.Popen | None = None
        self.target: Target | None = None
        self.upload_log = self.work / "uploads.log"

    def _config(self, port: int, first: int, last: int) -> str:
        empty = self.work / "empty"
        empty.mkdir(exist_ok=True)
        settings: dict[str, object] = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": SERVER_HOST,
            "listen_port": port, "background": "NO",
            "anonymous_enable": "NO", "local_enable": "YES", "write_enable": "YES",
            "local_umask": "022", "local_root": self.root, "chroot_local_user": "NO",
            "pasv_enable": "YES", "pasv_min_port": first, "pasv_max_port": last,
            "connect_from_port_20": "NO", "seccomp_sandbox": "NO",
            "secure_chroot_dir": empty, "pam_service_name": "vsftpd",
            "userlist_enable": "NO", "tcp_wrappers": "NO", "delay_failed_login": 0,
            # Four parallel sessions per tool, and lftp may open one more for listing.
            "max_clients": 200, "max_per_ip": 200,
            # Logging every command would charge the server's disk work to the client.
            "xferlog_enable": "NO", "log_ftp_protocol": "NO",
            "idle_session_timeout": 300, "data_connection_timeout": 120,
        }
        if self.variant.log_uploads or self.variant.tls:
            # One line per file, and on /dev/shm: small beside a round trip of the relay.
            settings.update({"xferlog_enable": "YES", "xferlog_std_format": "NO",
                             "vsftpd_log_file": self.upload_log})
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
        return "".join(f"{key}={value}\n" for key, value in settings.items())

    def start(self, lock_dir: Path) -> Target:
        account = ensure_vsftpd_user(lock_dir)
        os.chown(self.root, account.pw_uid, account.pw_gid)
        relayed = bool(self.variant.one_way_ms)
        hosts = (SERVER_HOST, RELAY_HOST) if relayed else (SERVER_HOST,)
        for _ in range(5):  # a port taken between the probe and vsftpd's bind: try others
            port = free_port(hosts)
            first, last = free_port_block(hosts)
            config = self.work / "vsftpd.conf"
            config.write_text(self._config(port, first, last))
            with open(self.work / "vsftpd.out", "wb") as out:
                self.process = subprocess.Popen([VSFTPD, str(config)], stdin=subprocess.DEVNULL,
                                                stdout=out, stderr=out, start_new_session=True)
            if greeting_time(SERVER_HOST, port, self.process) is None:
                self.stop()
                continue
            host = SERVER_HOST
            if relayed and not self._start_relay(port, first, last):
                self.stop()
                continue
            if relayed:
                host = RELAY_HOST
            cert = self.cert[0] if self.cert else None
            logged = self.variant.log_uploads or self.variant.tls
            self.target = Target(host, port, VSFTPD_USER, VSFTPD_PASSWORD, self.root,
                                 self.variant.tls, cert, fingerprint(cert) if cert else "",
                                 upload_log=self.upload_log if logged else None)
            return self.target
        raise RuntimeError(f"vsftpd did not start: {(self.work / 'vsftpd.out').read_text()}")

    def _start_relay(self, port: int, first: int, last: int) -> bool:
        self.relay = subprocess.Popen(
            [PYTHON, str(BENCH / "relay.py"), "--listen", RELAY_HOST, "--target", SERVER_HOST,
             "--one-way-ms", str(self.variant.one_way_ms), str(port), f"{first}-{last}"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
        assert self.relay.stdout is not None
        ready, _, _ = select.select([self.relay.stdout], [], [], READY_LIMIT)
        return bool(ready) and self.relay.stdout.readline().strip() == b"READY"

    def stop(self) -> None:
        for process in (self.relay, self.process):
            if process is not None:
                stop_process_group(process)
                if process.stdout is not None:
                    process.stdout.close()
        self.relay = self.process = None


class PyftpdlibServer(Server):
    """pyftpdlib (bench/pyftpd_server.py) in the place of vsftpd, running as root; no TLS."""

    def start(self, lock_dir: Path) -> Target:
        relayed = bool(self.variant.one_way_ms)
        hosts = (SERVER_HOST, RELAY_HOST) if relayed else (SERVER_HOST,)
        for _ in range(5):  # a port taken between the probe and the bind: try others
            port = free_port(hosts)
            first, last = free_port_block(hosts)
            argv = [PYTHON, str(BENCH / "pyftpd_server.py"), "--host", SERVER_HOST,
                    "--port", str(port), "--root", str(self.root), "--user", PYFTPD_USER,
                    "--password", PYFTPD_PASSWORD, "--passive-ports", f"{first}-{last}"]
            if relayed:
                argv += ["--masquerade", RELAY_HOST]
            with open(self.upload_log, "ab") as log:
                self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                                stdout=subprocess.PIPE, stderr=log,
                                                start_new_session=True)
            assert self.process.stdout is not None
            ready, _, _ = select.select([self.process.stdout], [], [], READY_LIMIT)
            if not ready or self.process.stdout.readline().strip() != b"READY":
                self.stop()
                continue
            if relayed and not self._start_relay(port, first, last):
                self.stop()
                continue
            self.target = Target(RELAY_HOST if relayed else SERVER_HOST, port, PYFTPD_USER,
                                 PYFTPD_PASSWORD, self.root, False, server="pyftpdlib",
                                 upload_log=self.upload_log)
            return self.target
        raise RuntimeError(f"pyftpdlib did not start: {tail(self.upload_log)}")


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


# ---------------------------------------------------------------------------------------------
# Tools: each turns (server, local folder, remote folder) into one command


@dataclass
class Invocation:
    argv: list[str]
    cwd: Path | None = None
    report: Path | None = None  # the program's --report file, read after the run


@dataclass
class Tool:
    key: str
    label: str
    ours: bool
    connections: int
    build: Callable[[Target, Dataset, str, Path], Invocation]
    tls: bool = True  # can it take part in the TLS rows
    # Settings of one peer that compete: after the warm-up only the fastest of them goes on.
    family: str = ""

    def label_for(self, data: Dataset) -> str:
        return " ".join([self.label, *data.ours_extra]) if self.ours else self.label


# Options of the measured build's usage text that change how it is run; main() fills it.
KNOWN_OPTIONS: set[str] = set()


def ftpupload(connections: int,
              *extra: str) -> Callable[[Target, Dataset, str, Path], Invocation]:
    def build(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
        argv = [str(EXE), f"--local={data.root}", f"--host={target.host}",
                f"--port={target.port}", f"--username={target.user}",
                f"--password={target.password}", f"--remote={remote}",
                "--pacing=false", f"--connections={connections}", *extra, *data.ours_extra]
        report = None
        if "--report" in KNOWN_OPTIONS and isinstance(data, Redeploy) and data.touched:
            report = scratch / f"{remote}.report.json"
            argv.append(f"--report={report}")
        if target.tls:
            argv += ["--tls=true", f"--tls-fingerprint={target.fingerprint}"]
        if TRACE:
            argv.append(f"--trace={scratch / remote}.trace")
        if QUICK:
            # A build that does not know --pacing yet still pauses; a short time-out keeps
            # the quick run short.
            argv.append("--timeout=1")
        return Invocation(argv, report=report)
    return build


def lftp(parallel: int, only_newer: bool = False,
         sync_mode: bool = True) -> Callable[[Target, Dataset, str, Path], Invocation]:
    def build(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
        settings = ["set cmd:fail-exit yes", "set net:max-retries 1", "set net:timeout 30"]
        if not sync_mode:
            # Sends commands without waiting for each reply where lftp thinks it safe.
            settings.append("set ftp:sync-mode off")
        if target.tls:
            settings += ["set ftp:ssl-force yes", "set ftp:ssl-protect-data yes",
                         f"set ssl:ca-file {target.cert}"]
        else:
            # Plain rows: no AUTH TLS attempt that the server would refuse anyway.
            settings.append("set ftp:ssl-allow no")
        # --no-perms: ftpupload sends no SITE CHMOD, so lftp should not be charged for one
        # per file either. --overwrite: a file that is there already is stored over, without
        # a DELE and its round trip first.
        mirror = (f"mirror -R --no-perms --overwrite{' --only-newer' if only_newer else ''}"
                  f"{f' --parallel={parallel}' if parallel > 1 else ''}")
        script = "; ".join([*settings,
                            f"open -u {target.user},{target.password} -p {target.port} "
                            f"{target.host}",
                            f"{mirror} {data.root} {remote}", "quit"])
        # --norc: no settings from a home folder's rc files; /etc/lftp.conf only sets aliases,
        # a prompt and sync mode for a few named hosts.
        return Invocation(["lftp", "--norc", "-e", script])
    return build


def ncftpput(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
    # Run from inside the dataset and name its top entries, so that they land in `remote`
    # itself rather than in a folder named after the dataset.
    entries = sorted(p.name for p in data.root.iterdir())
    return Invocation(["ncftpput", "-R", "-t", "30", "-u", target.user, "-p", target.password,
                       "-P", str(target.port), target.host, remote, *entries], cwd=data.root)


def curl(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
    # One invocation for every file: a config file pairs each file with its URL (no command
    # line length limit), and curl keeps the control connection from one transfer to the next,
    # also across --next groups. nocwd stores each file by its whole path without CWDs, but
    # then --ftp-create-dirs makes no folder: the first file of each new folder goes in a group
    # of its own whose quote commands make the folder (quote runs before every transfer of its
    # group), the other files of that folder follow in one group.
    options = [f'user = "{target.user}:{target.password}"', "ftp-method = nocwd", "silent",
               "show-error", "fail"]
    if target.tls:
        options += ["ssl-reqd", f'cacert = "{target.cert}"']
    groups: list[list[str]] = []
    made: set[str] = set()
    folder_of_group = None
    for relative, _ in sorted(data.layout):
        folder = relative.rpartition("/")[0]
        parents = [folder.rsplit("/", depth)[0] for depth in range(folder.count("/"), -1, -1)]
        new = [f'quote = "MKD {remote}/{name}"' for name in parents if folder and name not in made]
        made.update(parents if folder else [])
        if new or folder != folder_of_group or not groups:
            groups.append([*options, *new])
            folder_of_group = None if new else folder
        groups[-1] += [f'upload-file = "{data.root / relative}"',
                       f'url = "ftp://{target.host}:{target.port}/{remote}/{relative}"']
    config = scratch / f"curl-{remote}.conf"
    config.write_text("\nnext\n".join("\n".join(group) for group in groups) + "\n")
    # -q first: no .curlrc.
    return Invocation(["curl", "-q", "--config", str(config)])


TOOLS = [
    Tool("ftpupload-1", "ftpupload --connections=1", True, 1, ftpupload(1)),
    Tool("ftpupload-4", "ftpupload --connections=4", True, 4, ftpupload(4)),
    Tool("lftp", "lftp --norc mirror -R --overwrite", False, 1, lftp(1), family="lftp-1"),
    Tool("lftp-nosync", "lftp --norc mirror -R --overwrite, ftp:sync-mode off", False, 1,
         lftp(1, sync_mode=False), family="lftp-1"),
    Tool("lftp-4", "lftp --norc mirror -R --overwrite --parallel=4", False, 4, lftp(4),
         family="lftp-4"),
    Tool("lftp-4-nosync", "lftp --norc mirror -R --overwrite --parallel=4, ftp:sync-mode off",
         False, 4, lftp(4, sync_mode=False), family="lftp-4"),
    Tool("ncftpput", "ncftpput -R", False, 1, ncftpput, tls=False),
    Tool("curl", "curl -q --ftp-method nocwd (one invocation)", False, 1, curl),
]

# The rows of the re-deploys, R and R′ (ftpupload adds the dataset's own options). Their keys
# select them in BENCH_TOOLS as well; they are those of the same tools in TOOLS.
REDEPLOY_TOOLS = [
    Tool("ftpupload-1", "ftpupload --connections=1 --skip-unchanged=true", True, 1,
         ftpupload(1, "--skip-unchanged=true"), tls=False),
    Tool("ftpupload-4", "ftpupload --connections=4 --skip-unchanged=true", True, 4,
         ftpupload(4, "--skip-unchanged=true"), tls=False),
    Tool("lftp", "lftp --norc mirror -R --overwrite --only-newer", False, 1,
         lftp(1, only_newer=True), tls=False, family="lftp-1"),
    Tool("lftp-nosync", "lftp --norc mirror -R --overwrite --only-newer, ftp:sync-mode off",
         False, 1, lftp(1, only_newer=True, sync_mode=False), tls=False, family="lftp-1"),
    Tool("lftp-4", "lftp --norc mirror -R --overwrite --only-newer --parallel=4", False, 4,
         lftp(4, only_newer=True), tls=False, family="lftp-4"),
    Tool("lftp-4-nosync",
         "lftp --norc mirror -R --overwrite --only-newer --parallel=4, ftp:sync-mode off",
         False, 4, lftp(4, only_newer=True, sync_mode=False), tls=False, family="lftp-4"),
]

VARIANTS = [
    Variant("loopback", "loopback", ["A", "B", "C"]),
    Variant("rtt20", f"{2 * ONE_WAY_MS} ms RTT", ["B200"], one_way_ms=ONE_WAY_MS),
    Variant("redeploy", f"vsftpd, {2 * ONE_WAY_MS} ms RTT", ["R", "R2"],
            one_way_ms=ONE_WAY_MS, log_uploads=True),
    Variant("redeploy-py", f"pyftpdlib, {2 * ONE_WAY_MS} ms RTT", ["R", "R2"],
            one_way_ms=ONE_WAY_MS, server="pyftpdlib", log_uploads=True),
    Variant("tls", "TLS, loopback", ["A", "B"], tls=True),
]
REDEPLOYS = ("R", "R2")
ON_REQUEST = ("R2",)  # datasets that run only when BENCH_DATASETS names them


# ---------------------------------------------------------------------------------------------
# Runs


@dataclass
class Run:
    seconds: float
    failure: str = ""  # empty when the upload succeeded and every file checked out
    resent: int | None = None  # re-deploys: files whose remote copy was stored again
    logged: int | None = None  # re-deploys: completed uploads of tree files in the server's log
    tls: str = ""  # the TLS versions the server logged for the run's connections
    hash_seconds: float | None = None  # from the program's --report, where it has a figure
    hash_source: str = ""


@dataclass
class Cell:
    """All runs of one tool on one dataset over one variant."""
    runs: list[Run] = field(default_factory=list)
    warmups: list[Run] = field(default_factory=list)  # run first, left out of the figures
    skipped: str = ""

    def rates(self, data: Dataset) -> list[float]:
        return [data.rate(run.seconds) for run in self.runs if not run.failure]

    @property
    def failures(self) -> list[str]:
        return [run.failure for run in self.warmups + self.runs if run.failure]

    def ok(self) -> bool:
        return bool(self.runs) and not self.failures and not self.skipped


def digests_of(root: Path, leave_out: set[str] = frozenset()) -> dict[str, str]:
    found = {}
    for path in root.rglob("*"):
        name = path.relative_to(root).as_posix()
        if path.is_file() and name not in leave_out:
            with open(path, "rb") as source:
                found[name] = hashlib.file_digest(source, "sha256").hexdigest()
    return found


def verify(data: Dataset, remote: Path) -> str:
    got = digests_of(remote, data.extras if isinstance(data, Redeploy) else set())
    missing = [name for name in data.digests if name not in got]
    differ = [name for name in data.digests if name in got and got[name] != data.digests[name]]
    extra = [name for name in got if name not in data.digests]
    problems = [f"{len(items)} {what}" for items, what in
                ((missing, "missing"), (differ, "differ"), (extra, "unexpected")) if items]
    return "verify: " + ", ".join(problems) if problems else ""


def file_states(root: Path, leave_out: set[str]) -> dict[str, tuple[int, int]]:
    """Inode and change time of every file: a server that stores a file again, in place or
    through a new file renamed over it, changes one of them."""
    states = {}
    for path in root.rglob("*"):
        name = path.relative_to(root).as_posix()
        if path.is_file() and name not in leave_out:
            info = path.stat()
            states[name] = (info.st_ino, info.st_ctime_ns)
    return states


def completed_uploads(target: Target, remote: str, offset: int) -> int | None:
    """Uploads of tree files into `remote` that the server logged as complete since `offset` of
    its log; the manifest, under its own name or a temporary one, is not counted."""
    if target.upload_log is None:
        return None
    text = log_since(target.upload_log, offset)
    if target.server == "pyftpdlib":
        paths = re.findall(r"\b(?:STOR|STOU|APPE) (.*?) completed=1 bytes=", text)
    else:
        paths = re.findall(r'OK UPLOAD: Client "[^"]*", "([^"]*)"', text)
    return sum(1 for path in paths
               if f"/{remote}/" in path and not path.rpartition("/")[2].startswith(MANIFEST))


def log_since(log: Path, offset: int) -> str:
    with open(log, "rb") as source:
        source.seek(offset)
        return source.read().decode(errors="replace")


def tls_versions(target: Target, offset: int) -> str:
    """The TLS versions of the connections vsftpd logged since `offset` (its debug_ssl lines)."""
    if not target.tls or target.upload_log is None:
        return ""
    found = re.findall(r"SSL version: ([^,\s]+)", log_since(target.upload_log, offset))
    return ", ".join(sorted(set(found)))


def redeploy_check(data: Redeploy, rewritten: set[str], uploads: int | None) -> str:
    changed = set(data.changed)
    problems = []
    if changed - rewritten:
        problems.append(f"{len(changed - rewritten)} of {len(changed)} changed files not stored")
    # Every file of a touched tree looks newer to a client that goes by times: storing them all
    # again is slow, not wrong, and the table counts them.
    if rewritten - changed and not data.touched:
        problems.append(f"{len(rewritten - changed)} unchanged files stored")
    if uploads is not None and uploads != len(rewritten):
        problems.append(f"server logged {uploads} uploads for {len(rewritten)} files stored "
                        f"again")
    return "re-deploy: " + ", ".join(problems) if problems else ""


def manifest_check(data: Redeploy, remote: Path) -> str:
    """After a run with --checksum: the manifest must name the tree as it is now, or the next
    deploy would store the changed files again (or skip a file it should store)."""
    path = remote / MANIFEST
    if not path.is_file():
        return "manifest: missing after the run"
    listed = parse_manifest(path.read_text(errors="replace"))
    stale = [name for name, digest in data.digests.items() if listed.get(name) != digest]
    extra = [name for name in listed if name not in data.digests]
    if stale or extra:
        return f"manifest: {len(stale)} entries stale or missing, {len(extra)} unexpected"
    return ""


def report_hash_seconds(report: Path | None) -> tuple[float | None, str]:
    """The hashing time in the program's --report JSON: the first numeric key naming "hash"."""
    if report is None or not report.is_file():
        return None, ""
    try:
        document = json.loads(report.read_text())
    except (OSError, ValueError):
        return None, ""
    pending = [document]
    while pending:
        item = pending.pop(0)
        if isinstance(item, dict):
            for key, value in item.items():
                if "hash" in key.lower() and isinstance(value, (int, float)) \
                        and not isinstance(value, bool):
                    lowered = key.lower()
                    scale = 1e-6 if "micro" in lowered or lowered.endswith("us") else \
                        1.0 if "second" in lowered and "milli" not in lowered else 1e-3
                    return value * scale, f"--report key {key}"
                pending.append(value)
        elif isinstance(item, list):
            pending.extend(item)
    return None, ""


def hashing_estimate(data: Dataset) -> float:
    """Seconds to hash every file of the tree in this process, the median of three passes (the
    files are in the page cache, as they are for the program after the first run)."""
    passes = []
    for _ in range(3):
        started = time.perf_counter()
        digests_of(data.root)
        passes.append(time.perf_counter() - started)
    return statistics.median(passes)


def tail(path: Path, lines: int = 3) -> str:
    text = path.read_text(errors="replace").replace("\r", "").strip().splitlines()
    return " / ".join(line.strip() for line in text[-lines:])[:200]


class Bench:
    def __init__(self, work: Path, order: random.Random):
        self.work = work
        self.logs = work / "logs"
        self.logs.mkdir()
        self.counter = 0
        self.order = order

    def upload(self, tool: Tool, target: Target, data: Dataset, tag: str) -> Run:
        """One timed upload into a fresh empty remote folder, then the check of every file."""
        if isinstance(data, Redeploy):
            return self.redeploy(tool, target, data, tag)
        self.counter += 1
        remote = f"{tag}-{data.key}-{tool.key}-{self.counter}"
        remote_path = target.root / remote
        remote_path.mkdir()
        owner = target.root.stat()
        os.chown(remote_path, owner.st_uid, owner.st_gid)
        offset = target.upload_log.stat().st_size if target.upload_log else 0
        run = self.timed(tool, target, data, remote)
        run.tls = tls_versions(target, offset)
        checked = verify(data, remote_path)
        shutil.rmtree(remote_path, ignore_errors=True)
        run.failure = "; ".join(part for part in (run.failure, checked) if part)
        return run

    def redeploy(self, tool: Tool, target: Target, data: Redeploy, tag: str) -> Run:
        """One timed re-deploy onto a remote folder as the earlier deploy left it, then the
        checks: the changed files stored (and, for R, no other), and every file equal to the
        local one."""
        self.counter += 1
        remote = f"{tag}-{data.key}-{tool.key}-{self.counter}"
        remote_path = target.root / remote
        # The earlier deploy is laid straight into the server's folder: uploading it through
        # the relay would cost each tool minutes per run, and so every tool starts from the
        # same remote state.
        shutil.copytree(data.before, remote_path)
        if data.touched:
            (remote_path / MANIFEST).write_bytes(data.manifest)
        owner = target.root.stat()
        for path in [remote_path, *remote_path.rglob("*")]:
            os.chown(path, owner.st_uid, owner.st_gid)
            if path.is_file():
                os.utime(path, (data.deployed, data.deployed))
        before = file_states(remote_path, data.extras)
        offset = target.upload_log.stat().st_size if target.upload_log else 0
        run = self.timed(tool, target, data, remote)
        after = file_states(remote_path, data.extras)
        rewritten = {name for name in before.keys() | after.keys()
                     if before.get(name) != after.get(name)}
        run.resent = len(rewritten)
        run.logged = completed_uploads(target, remote, offset)
        checks = [run.failure, redeploy_check(data, rewritten, run.logged),
                  verify(data, remote_path)]
        if tool.ours and data.touched:
            checks.append(manifest_check(data, remote_path))
        shutil.rmtree(remote_path, ignore_errors=True)
        run.failure = "; ".join(part for part in checks if part)
        return run

    def timed(self, tool: Tool, target: Target, data: Dataset, remote: str) -> Run:
        """One run of `tool`: its seconds, and what went wrong in it if anything did."""
        invocation = tool.build(target, data, remote, self.logs)
        log = self.logs / f"{remote}.log"
        with open(log, "wb") as out:
            started = time.perf_counter()
            process = subprocess.Popen(invocation.argv, cwd=invocation.cwd, stdout=out,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                       start_new_session=True)
            try:
                status = wait_for_exit(process, data.timeout)
                seconds = time.perf_counter() - started
            finally:
                stop_process_group(process)  # after a time-out, or when the bench is stopped
        if status is None:
            failure = f"timed out after {data.timeout:g} s"
        else:
            last_words = tail(log)
            failure = "" if status == 0 else f"exit {status}" + (
                f": {last_words}" if last_words else "")
        hashed, source = report_hash_seconds(invocation.report)
        return Run(seconds, failure, hash_seconds=hashed, hash_source=source)

    def measure(self, variant: Variant, target: Target, tools: list[Tool],
                sets: dict[str, Dataset]) -> dict[tuple[str, str], Cell]:
        cells: dict[tuple[str, str], Cell] = {}
        for key in variant.datasets:
            data = sets[key]
            for tool in tools:
                cell = cells.setdefault((key, tool.key), Cell())
                lacking = [option for option in data.needs
                           if tool.ours and option not in KNOWN_OPTIONS]
                if lacking:
                    cell.skipped = (f"not run: this build's --help lacks "
                                    f"{', '.join(lacking)}")
            # One discarded warm-up round, then rounds over all tools rather than all runs of
            # one tool after another, each round in an order of its own, so that neither a
            # cold cache nor a passing disturbance of the machine, nor a tool's place in the
            # order, falls on one tool.
            for round_number in range(WARMUPS + RUNS):
                order = list(tools)
                self.order.shuffle(order)
                warmup = round_number < WARMUPS
                for tool in order:
                    cell = cells[(key, tool.key)]
                    if cell.skipped:
                        continue
                    run = self.upload(tool, target, data, variant.key)
                    (cell.warmups if warmup else cell.runs).append(run)
                    state = f"FAILED {run.failure}" if run.failure else "ok"
                    which = "warm-up" if warmup else f"run {round_number - WARMUPS + 1}"
                    resent = "" if run.resent is None else f" re-sent {run.resent}"
                    print(f"  {variant.key:11} {key:4} {tool.label:52} {which:7}: "
                          f"{run.seconds:7.2f} s{resent}  {state}", flush=True)
                    if "timed out" in run.failure:
                        cell.skipped = "not run again after a time-out"
                if warmup and PRUNE:
                    prune(cells, key, tools, data)
        return cells

    def paced(self, target: Target) -> tuple[Run, float, int]:
        """The program with its default pacing on a few small files, against the floor of its
        pauses."""
        files, timeout = 5, 1
        data = Dataset("paced", "files/s",
                       [(f"small{i}.txt", 1 * KIB) for i in range(files)], 120)
        data.generate(self.work / "data")
        # Floor, from the fixed pauses of a paced run that meets no errors:
        #   4 × 2000 ms  after each of the first four steps (files counted, connecting,
        #                connected, cd);
        #   per file 2 × 10 ms after its progress lines (a file below the 8 KiB transfer
        #                buffer gets two: its one chunk, then its end) and 100 ms after it;
        #   (2 + files) × timeout: the checks for an unasked reply after the login, after the
        #                cd and after each file each wait one full time-out when the server
        #                stays silent, as it should.
        floor = 4 * 2.0 + files * (2 * 0.010 + 0.100) + (2 + files) * timeout
        tool = Tool("paced", "ftpupload (default pacing)", True, 1,
                    lambda target, data, remote, scratch: Invocation([
                        str(EXE), f"--local={data.root}", f"--host={target.host}",
                        f"--port={target.port}", f"--username={target.user}",
                        f"--password={target.password}", f"--remote={remote}",
                        f"--timeout={timeout}"]))
        return self.upload(tool, target, data, "loopback"), floor, files


def prune(cells: dict[tuple[str, str], Cell], key: str, tools: list[Tool], data: Dataset) -> None:
    """Of a peer's competing settings only the one with the fastest clean warm-up goes on; the
    others keep their warm-up, and their row says what it was beside."""
    for family in {tool.family for tool in tools if tool.family}:
        rivals = [tool for tool in tools if tool.family == family
                  and not cells[(key, tool.key)].skipped
                  and not cells[(key, tool.key)].failures]
        if len(rivals) < 2:
            continue
        fastest = min(rivals, key=lambda tool: cells[(key, tool.key)].warmups[-1].seconds)
        kept = cells[(key, fastest.key)].warmups[-1].seconds
        for tool in rivals:
            seconds = cells[(key, tool.key)].warmups[-1].seconds
            if tool is not fastest and seconds > PRUNE_MARGIN * kept:
                cells[(key, tool.key)].skipped = (
                    f"dropped after the warm-up: {seconds:.2f} s against {kept:.2f} s for "
                    f"`{fastest.key}`")


def wait_for_exit(process: subprocess.Popen, timeout: float) -> int | None:
    """The exit status, or None after `timeout` seconds. Popen.wait(timeout) polls in steps of
    up to 50 ms, which would round every short run up to that grid; a pidfd wakes at the exit."""
    pidfd = os.pidfd_open(process.pid)
    try:
        exited, _, _ = select.select([pidfd], [], [], timeout)
    finally:
        os.close(pidfd)
    return process.wait() if exited else None


# ---------------------------------------------------------------------------------------------
# Report


def fmt_rate(value: float) -> str:
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def fmt_ratio(value: float) -> str:
    return f"{value:.2f}" if value >= 0.1 else f"{value:.2g}"


def median_rate(cell: Cell | None, data: Dataset) -> float | None:
    if cell is None or not cell.ok():
        return None
    return statistics.median(cell.rates(data))


def best(cells: dict, data: Dataset, tools: list[Tool]) -> tuple[Tool | None, float | None]:
    found: tuple[Tool | None, float | None] = (None, None)
    for tool in tools:
        rate = median_rate(cells.get((data.key, tool.key)), data)
        if rate is not None and (found[1] is None or data.speedup(rate, found[1]) > 1):
            found = (tool, rate)
    return found


def cell_text(cell: Cell | None, data: Dataset, reference: float | None) -> str:
    if cell is None:
        return "–"
    rates = cell.rates(data)
    text = ""
    if rates:
        median = statistics.median(rates)
        text = f"{fmt_rate(median)} ({fmt_rate(min(rates))}–{fmt_rate(max(rates))})"
        if reference and cell.ok():
            text += f" **×{fmt_ratio(data.speedup(median, reference))}**"
    if cell.failures or cell.skipped:
        failed = f"FAILED {len(cell.failures)}/{len(cell.warmups) + len(cell.runs)}: " \
            f"{cell.failures[0]}" \
            if cell.failures else ""
        if cell.skipped:
            failed += f" ({cell.skipped})"
        text = f"{text} {failed}".strip()
    return text.replace("|", "\\|")


def ratio_line(what: str, ours: tuple[Tool | None, float | None],
               theirs: tuple[Tool | None, float | None], data: Dataset, measured: bool) -> str:
    if not measured:
        return f"- {what}: n/a (ftpupload not measured)"
    if ours[1] is None or theirs[1] is None:
        missing = "ftpupload" if ours[1] is None else "no peer"
        return f"- {what}: n/a ({missing} without a complete, verified figure)"
    unit = data.unit
    return (f"- {what}: {ours[0].label_for(data)} {fmt_rate(ours[1])} {unit} vs "
            f"{theirs[0].label} "
            f"{fmt_rate(theirs[1])} {unit} = **×{fmt_ratio(data.speedup(ours[1], theirs[1]))}**")


def tool_version(argv: list[str]) -> str:
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    found = re.search(r"\d+\.\d+(\.\d+)?", out.stdout + out.stderr)
    return found.group(0) if found else "?"


def program_version() -> str:
    """The measured executable's own --version, and the source tree it sits in (commit, and
    whether that tree has changes of its own)."""
    try:
        out = subprocess.run([str(EXE), "--version"], capture_output=True, text=True,
                             timeout=10)
        version = " / ".join(line.strip() for line in (out.stdout + out.stderr).splitlines()
                             if line.strip()) or f"(no output, exit {out.returncode})"
    except (OSError, subprocess.TimeoutExpired) as error:
        version = f"(--version failed: {error})"
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(EXE.stat().st_mtime))

    def git(*words: str) -> str:
        try:
            return subprocess.run(["git", "-C", str(EXE.parent), *words], capture_output=True,
                                  text=True, timeout=10).stdout.rstrip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    top = git("rev-parse", "--show-toplevel")
    if not top:
        # A copy measured so that the tree can be rebuilt meanwhile: say where the bench ran from.
        here = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short=12", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        tree = f"not inside a git tree (the benchmark ran from {REPO} at commit {here or 'unknown'})"
    else:
        changed = [line[3:] for line in git("status", "--porcelain",
                                            "--untracked-files=no").splitlines()]
        state = (f"dirty: {len(changed)} changed file(s), {', '.join(changed[:4])}"
                 f"{' …' if len(changed) > 4 else ''}" if changed else "clean")
        tree = (f"tree {top} at {git('describe', '--always', '--long', '--dirty')} "
                f"(commit {git('rev-parse', 'HEAD')[:12]}, branch "
                f"{git('rev-parse', '--abbrev-ref', 'HEAD')}, {state})")
    return f"`{version}` — {EXE}, file dated {built}, {tree if not top else 'in the ' + tree}"


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.machine()


def loadavg() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


# ---------------------------------------------------------------------------------------------
# Setup


def ensure_packages() -> None:
    missing = [package for package, program in PACKAGES.items()
               if not (os.path.exists(program) if program.startswith("/")
                       else shutil.which(program))]
    if not missing:
        return
    print(f"installing: {' '.join(missing)}", flush=True)
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    # A mirror in the middle of a sync fails one index now and then; a stale index still lets
    # the install go on, and the install says when it cannot.
    for _ in range(3):
        if subprocess.run(["apt-get", "update"], env=environment, timeout=600).returncode == 0:
            break
    subprocess.run(["apt-get", "install", "-y", *missing], check=True, env=environment,
                   timeout=1200)


def usage_text() -> str:
    try:
        out = subprocess.run([str(EXE), "--help"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return out.stdout + out.stderr


def seed_manifest(data: Redeploy, work: Path, lock_dir: Path) -> None:
    """The manifest that an earlier ftpupload deploy of the original tree left: one untimed
    deploy with --checksum=true to a pyftpdlib server on loopback. Every run then starts from a
    copy of it, as from the files. Should that deploy fail, the manifest written in sha256sum's
    format stays, and the note says so."""
    server = PyftpdlibServer(Variant("seed", "seed", []), work, None)
    try:
        target = server.start(lock_dir)
        remote = target.root / "seed"
        remote.mkdir()
        argv = [str(EXE), f"--local={data.before}", f"--host={target.host}",
                f"--port={target.port}", f"--username={target.user}",
                f"--password={target.password}", "--remote=seed", "--pacing=false",
                "--connections=4", "--skip-unchanged=true", "--checksum=true"]
        out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
        got = digests_of(remote, {MANIFEST})
        manifest = remote / MANIFEST
        if out.returncode != 0 or got != digests_of(data.before) or not manifest.is_file():
            data.manifest_source += (f" (the untimed ftpupload deploy failed: exit "
                                     f"{out.returncode}, {len(got)} files, manifest "
                                     f"{'present' if manifest.is_file() else 'missing'})")
            return
        made = manifest.read_bytes()
        listed = parse_manifest(made.decode(errors="replace"))
        same = "identical to" if made == data.manifest else \
            "the same digests as" if listed == digests_of(data.before) else "NOT matching"
        data.manifest, data.manifest_source = made, (
            f"left by one untimed `ftpupload --checksum=true --skip-unchanged=true` deploy of "
            f"the original tree, {same} sha256sum's listing of it")
    finally:
        server.stop()


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tls", action="store_true", help="also measure over TLS")
    args = parser.parse_args()
    with_tls = args.tls or os.environ.get("BENCH_TLS", "") not in ("", "0")
    wanted = [t.strip() for t in os.environ.get("BENCH_TOOLS", "").split(",") if t.strip()]
    tools = [tool for tool in TOOLS if not wanted or tool.key in wanted]
    redeploy_tools = [tool for tool in REDEPLOY_TOOLS if not wanted or tool.key in wanted]
    all_sets = datasets()
    wanted_sets = [k.strip() for k in os.environ.get("BENCH_DATASETS", "").split(",")
                   if k.strip()]
    if any(key not in all_sets for key in wanted_sets):
        print(f"bench: BENCH_DATASETS takes {', '.join(all_sets)}", file=sys.stderr)
        return 2
    # R′ takes the better part of an hour (its peers store every file again through the
    # relay), so it runs only when named.
    chosen = wanted_sets or [key for key in all_sets if key not in ON_REQUEST]
    variants = [dataclasses.replace(v, datasets=[k for k in v.datasets if k in chosen])
                for v in VARIANTS if with_tls or not v.tls]
    variants = [v for v in variants if v.datasets]
    sets = {key: data for key, data in all_sets.items()
            if any(key in v.datasets for v in variants)}
    default_out = BENCH / ("results-quick.md" if QUICK else
                           f"results-{'-'.join(wanted_sets)}.md" if wanted_sets else "results.md")
    out_path = Path(os.environ.get("BENCH_OUT", str(default_out)))

    if os.geteuid() != 0:
        print("bench: run as root (it installs packages and creates vsftpd's local user)",
              file=sys.stderr)
        return 2
    if not EXE.is_file():
        print(f"bench: {EXE} is missing; `make bench` builds it, or set FTPUPLOAD_EXE",
              file=sys.stderr)
        return 2
    ensure_packages()

    notes = []
    usage = usage_text()
    KNOWN_OPTIONS.update(option for option in ("--pacing", "--connections", "--tls-fingerprint",
                                               "--skip-unchanged", "--checksum", "--report")
                         if option in usage)
    needed = ["--pacing", "--connections"] + (["--tls-fingerprint"] if with_tls else []) + (
        ["--skip-unchanged"] if any(key in REDEPLOYS for key in sets) else [])
    unknown = [option for option in needed if option not in KNOWN_OPTIONS]
    if "--pacing" in unknown and not QUICK and os.environ.get("BENCH_FORCE", "") in ("", "0"):
        # Paced, 1000 files take well over an hour; each row would only run into its time-out.
        tools = [tool for tool in tools if not tool.ours]
        redeploy_tools = [tool for tool in redeploy_tools if not tool.ours]
        notes.append(f"this ftpupload's usage text lacks {', '.join(unknown)}, so its unpaced "
                     "rows were left out (BENCH_FORCE=1 runs them anyway)")
    elif unknown:
        notes.append(f"this ftpupload's usage text lacks {', '.join(unknown)}; it ignores "
                     "options it does not know, so its rows may include its fixed pauses, use "
                     "one connection, fail over TLS or store every file of R again")
    run_paced = not wanted or "paced" in wanted

    load_before = loadavg()
    started = time.monotonic()
    work = Path(tempfile.mkdtemp(prefix="ftpupload-bench-", dir="/dev/shm"))
    work.chmod(0o755)  # vsftpd's user must walk down to the login folders
    servers: list[Server] = []
    try:
        print(f"generating datasets in {work}", flush=True)
        for data in sets.values():
            data.generate(work / "data")
        cert = make_certificate(work) if with_tls else None
        bench = Bench(work, random.Random(ORDER_SEED))
        results: dict[str, tuple[Variant, dict]] = {}
        rtt_notes: list[str] = []
        tls_probes: dict[str, str] = {}
        hashing: dict[str, float] = {}
        paced = None
        for data in sets.values():
            if isinstance(data, Redeploy) and data.touched:
                if "--checksum" in KNOWN_OPTIONS:
                    seed_manifest(data, work, work / "locks")
                hashing[data.key] = hashing_estimate(data)
                print(f"{data.name}: manifest {data.manifest_source}; hashing the tree here "
                      f"takes {hashing[data.key] * 1000:.0f} ms", flush=True)
        if any(variant.one_way_ms for variant in variants):
            rtt_notes.append(relay_self_check())
            print(rtt_notes[-1], flush=True)
        for variant in variants:
            kind = PyftpdlibServer if variant.server == "pyftpdlib" else Server
            server = kind(variant, work, cert)
            servers.append(server)
            target = server.start(work / "locks")
            print(f"{variant.title}: {variant.server} on {SERVER_HOST}:{target.port}, "
                  f"clients use {target.host}", flush=True)
            if variant.one_way_ms:
                relayed = round_trip_ms(target.host, target.port)
                direct = round_trip_ms(SERVER_HOST, target.port)
                greet = greeting_time(target.host, target.port) or float("nan")
                greet_direct = greeting_time(SERVER_HOST, target.port) or float("nan")
                rtt_note = (f"relay check, {variant.server}: NOOP round trip {relayed:.1f} ms "
                            f"through the relay, {direct:.2f} ms direct; connect to greeting "
                            f"{greet * 1000:.1f} ms through the relay, "
                            f"{greet_direct * 1000:.1f} ms direct (over a real link: 2 RTT "
                            f"more, {4 * variant.one_way_ms:g} ms)")
                print(rtt_note, flush=True)
                # The relay is the same for every variant; one line per server says enough.
                if not any(note.startswith(f"relay check, {variant.server}:")
                           for note in rtt_notes):
                    rtt_notes.append(rtt_note)
            if variant.tls and cert is not None:
                tls_probes[variant.key] = tls_probe(target.host, target.port, cert[0])
                print(f"TLS probe: {tls_probes[variant.key]}", flush=True)
            if variant.redeploy:
                variant_tools = redeploy_tools
            else:
                variant_tools = [t for t in tools if t.tls or not variant.tls]
            results[variant.key] = (variant, bench.measure(variant, target, variant_tools, sets))
            if variant.key == "loopback" and run_paced:
                paced = bench.paced(target)
                print(f"  paced run: {paced[0].seconds:.2f} s, floor {paced[1]:.2f} s "
                      f"{paced[0].failure}", flush=True)
            server.stop()
        load_after = loadavg()
        report = render(results, sets, tools, redeploy_tools, paced,
                        Context(rtt_notes, notes, tls_probes, hashing),
                        load_before, load_after, time.monotonic() - started)
        print()
        print(report)
        out_path.write_text(report)
        print(f"written to {out_path}")
    finally:
        for server in servers:
            server.stop()
        if os.environ.get("BENCH_KEEP", "") in ("", "0"):
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"work folder kept: {work}")
    return 0


@dataclass
class Context:
    """What the report says besides the figures."""
    rtt_notes: list[str]
    notes: list[str]
    tls_probes: dict[str, str]  # variant key: what a Python client negotiated with its server
    hashing: dict[str, float]  # dataset key: seconds to hash its tree in this process


def goal_lines(variant: Variant, data: Dataset, cells: dict, tools: list[Tool],
               peer_word: str) -> list[str]:
    ours = [t for t in tools if t.ours]
    peers = [t for t in tools if not t.ours]

    def goal(what: str, ours_here: list[Tool], theirs: list[Tool]) -> str:
        measured = any((data.key, tool.key) in cells for tool in ours_here)
        return ratio_line(f"{data.title}, {variant.title}: {what}",
                          best(cells, data, ours_here), best(cells, data, theirs), data,
                          measured)

    if not variant.one_way_ms:
        return [goal(f"ftpupload's best setting vs best {peer_word}", ours, peers)]
    # Like for like first: as many connections on each side.
    lines = [goal(f"ftpupload, {n} connection{'s' if n > 1 else ''}, vs best {peer_word} with "
                  f"{n}", [t for t in ours if t.connections == n],
                  [t for t in peers if t.connections == n])
             for n in sorted({t.connections for t in ours})]
    lines.append(goal(f"ftpupload's best setting vs best of all {peer_word}s", ours, peers))
    return lines


def tls_text(cell: Cell | None) -> str:
    versions = sorted({version for run in (cell.runs if cell else []) if run.tls
                       for version in run.tls.split(", ")})
    return f" · {'/'.join(versions)}" if versions else ""


def render(results: dict[str, tuple[Variant, dict]], sets: dict[str, Dataset], tools: list[Tool],
           redeploy_tools: list[Tool], paced, context: Context,
           load_before: str, load_after: str, elapsed: float) -> str:
    columns = [(variant, sets[key]) for variant, _ in results.values() if not variant.redeploy
               for key in variant.datasets]
    lines = [f"# ftpupload benchmark{' (BENCH_QUICK: tiny datasets)' if QUICK else ''}", ""]
    lines.append(f"Measured: {program_version()}.")
    lines.append("")
    lines.append(f"{time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} × {cpu_model()}, "
                 f"Linux {platform.release()}; median of {RUNS} run(s), (min–max), after "
                 f"{WARMUPS} warm-up run per tool and dataset that counts for no figure; the "
                 f"tools take turns in a shuffled order each round (BENCH_SEED={ORDER_SEED}). "
                 f"**×ratio** to the best peer tool in the same column. "
                 f"Load average before {load_before}, after {load_after}; "
                 f"whole benchmark {elapsed / 60:.1f} min.")
    lines.append("")
    if columns:
        def heading(variant: Variant, data: Dataset) -> str:
            probe = context.tls_probes.get(variant.key)
            offered = f"; a Python client gets {probe}" if probe else ""
            return f"{data.title}, {variant.title} ({data.unit}{offered})"

        header = "| tool | " + " | ".join(heading(v, d) for v, d in columns) + " |"
        lines += [header, "|" + "---|" * (len(columns) + 1)]
        for tool in tools:
            row = [tool.label]
            for variant, data in columns:
                cells = results[variant.key][1]
                reference = best(cells, data, [t for t in tools if not t.ours])[1]
                cell = cells.get((data.key, tool.key))
                if variant.tls and not tool.tls:
                    row.append("no TLS")
                else:
                    row.append(cell_text(cell, data, reference) + tls_text(cell))
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")
        if any(variant.tls for variant, _ in columns):
            lines.append("Beside each TLS figure: the protocol version vsftpd logged for that "
                         "tool's connections (its debug_ssl lines).")
            lines.append("")
        lines.append("Goals:")
        for variant, data in columns:
            lines += goal_lines(variant, data, results[variant.key][1], tools, "peer")
        if paced is not None:
            run, floor, files = paced
            state = f" — FAILED: {run.failure}" if run.failure else ""
            lines.append(f"- Default pacing, {files} files of 1 KiB, `--timeout=1`: "
                         f"{run.seconds:.2f} s "
                         f"against a floor of {floor:.2f} s = **{run.seconds - floor:+.2f} s** "
                         f"over the floor{state}")
        lines.append("")
    redeploys = [(variant, cells) for variant, cells in results.values() if variant.redeploy]
    for key in REDEPLOYS:
        here = [(variant, cells) for variant, cells in redeploys if key in variant.datasets]
        if here:
            lines += render_redeploy(here, sets[key], redeploy_tools, context)
    unsteady = sorted({tool_key for _, cells in results.values()
                       for (key, tool_key), cell in cells.items()
                       if len(cell.rates(sets[key])) > 1
                       and max(cell.rates(sets[key])) > 2 * min(cell.rates(sets[key]))})
    if unsteady:
        curl_stall = (" curl 7.88.1 now and then waits one second before it opens a data "
                      "connection (with --trace-time the gap sits between the passive reply and "
                      "its connect); the median hides that only when few runs meet it.")
        lines.append(f"Unsteady (fastest run over twice the slowest): {', '.join(unsteady)}."
                     + (curl_stall if "curl" in unsteady else ""))
        lines.append("")
    for note in context.rtt_notes:
        lines += [f"{note[0].upper()}{note[1:]}.", ""]
    versions = ["lftp " + tool_version(["lftp", "--version"])]
    if columns:
        versions += ["ncftpput " + tool_version(["ncftpput", "-v"]),
                     "curl " + tool_version(["curl", "--version"])]
    versions.append("vsftpd " + package_version("vsftpd"))
    if any(variant.server == "pyftpdlib" for variant, _ in results.values()):
        versions.append("pyftpdlib " + package_version("python3-pyftpdlib"))
    lines.append("Peers and servers: " + "; ".join(versions) + ".")
    for note in context.notes:
        lines += ["", f"Note: {note}."]
    details = ["", "<details><summary>Every run (seconds, in the order run; w: the warm-up)"
                   "</summary>", ""]
    for variant, cells in results.values():
        for (key, tool_key), cell in cells.items():
            runs = ", ".join(
                f"{'w ' if index < len(cell.warmups) else ''}{run.seconds:.2f}"
                f"{f' re-sent {run.resent}' if run.resent is not None else ''}"
                f"{' FAILED ' + run.failure if run.failure else ''}"
                for index, run in enumerate(cell.warmups + cell.runs))
            skipped = f" {cell.skipped}" if cell.skipped else ""
            details.append(f"- {variant.key} {key} {tool_key}: {runs}{skipped}")
    details += ["", "</details>", ""]
    return "\n".join(lines + details)


def resent_text(cell: Cell | None) -> str:
    """Files stored again in the timed runs, and the uploads the server logged for them."""
    runs = [run for run in (cell.runs if cell else []) if run.resent is not None]
    if not runs:
        return "–"

    def span(values: list[int]) -> str:
        return f"{min(values)}" if min(values) == max(values) else f"{min(values)}–{max(values)}"

    logged = [run.logged for run in runs if run.logged is not None]
    return span([run.resent for run in runs]) + (f" (log {span(logged)})" if logged else "")


def hashing_text(cell: Cell | None, data: Redeploy, context: Context) -> str:
    if cell is None or not cell.rates(data):
        return ""
    total = statistics.median(cell.rates(data))
    reported = [run.hash_seconds for run in cell.runs
                if run.hash_seconds is not None and not run.failure]
    if reported:
        source = next(run.hash_source for run in cell.runs if run.hash_seconds is not None)
        return f" · hashing {statistics.median(reported) * 1000:.0f} ms of {total:.2f} s " \
               f"({source})"
    estimate = context.hashing.get(data.key)
    if estimate is None:
        return ""
    return (f" · hashing ≈ {estimate * 1000:.0f} ms of {total:.2f} s (estimate: Python hashlib "
            f"over the same {len(data.layout)} files here; no --report figure)")


def render_redeploy(redeploys: list[tuple[Variant, dict]], data: Redeploy,
                    tools: list[Tool], context: Context) -> list[str]:
    if data.touched:
        what = (f"Every local file has a newer time than its remote copy, as after a fresh "
                f"checkout, and {data.changes} have new content (half of them at the same "
                f"size). The remote folder holds the earlier deploy's manifest `{MANIFEST}` "
                f"({data.manifest_source}). A run counts when every changed file was stored "
                f"again, the server logged as many completed uploads of tree files as files "
                f"were stored again (the manifest is not counted), every remote file's SHA-256 "
                f"equals the local one's, and for ftpupload the manifest names the new tree. "
                f"Storing unchanged files again is no failure here: \"re-sent\" counts them")
    else:
        what = ("A run counts only when exactly the changed files were stored again (inode and "
                "change time of every remote file before and after), the server logged as many "
                "completed uploads, and every remote file's SHA-256 equals the local one's")
    lines = [f"{data.title}: seconds for the upload after the change, median (min–max), "
             f"**×** how many times as fast as the best peer setting on the same server (its "
             f"seconds over these); \"re-sent\": files whose remote copy was stored again "
             f"(inode or change time moved), with the uploads the server logged. "
             f"{what}.", ""]
    lines.append("| setting | " + " | ".join(f"{variant.title} (s) | re-sent"
                                              for variant, _ in redeploys) + " |")
    lines.append("|" + "---|" * (2 * len(redeploys) + 1))
    peers = [t for t in tools if not t.ours]
    for tool in tools:
        row = [tool.label_for(data)]
        for _, cells in redeploys:
            reference = best(cells, data, peers)[1]
            cell = cells.get((data.key, tool.key))
            text = cell_text(cell, data, reference)
            if tool.ours and data.touched:
                text += hashing_text(cell, data, context)
            row += [text, resent_text(cell)]
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    for variant, cells in redeploys:
        lines += goal_lines(variant, data, cells, tools, "peer setting")
        for tool in tools:
            cell = cells.get((data.key, tool.key))
            if tool.ours and cell and cell.runs and data.touched:
                counts = sorted({run.resent for run in cell.runs})
                verdict = "yes" if counts == [data.changes] else f"no, {resent_text(cell)}"
                lines.append(f"- {data.title}, {variant.title}: {tool.label_for(data)} re-sent "
                             f"exactly the {data.changes} changed files in every run: "
                             f"**{verdict}**")
    lines.append("")
    return lines


def package_version(package: str) -> str:
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                         text=True, timeout=10)
    return out.stdout.strip() or "?"


if __name__ == "__main__":
    sys.exit(main())
