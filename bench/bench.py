"""`make bench`: how fast ftpupload uploads a folder, beside lftp, ncftpput and curl.

Everything runs on this machine: a vsftpd of its own on 127.0.0.1 (free ports, a local user,
its login folder on /dev/shm so that the clients are measured, not the disk), datasets of random
bytes on /dev/shm, and for the slow-network rows a relay (relay.py) that delays each direction
by 10 ms. Every upload goes into a fresh empty remote folder and is checked file by file with
SHA-256; a failed check shows in the table. Each figure is the median of several runs (min and
max beside it) and is also given as a ratio to the best peer tool of the same column.

Dataset R is a re-deploy: a tree that was deployed before (laid straight into the server's
folder, not timed) has since changed in a few files, and only the upload that brings the remote
copy up to date is timed: ftpupload with --skip-unchanged=true, lftp with mirror --only-newer,
through the relay, on vsftpd and on a pyftpdlib server (pyftpd_server.py). Besides the SHA-256
of every file, each run must have rewritten exactly the changed files on the server, and the
server's log must show as many completed uploads. Its figures are seconds.

Settings come from the environment:
  FTPUPLOAD_EXE  the program to measure (default build/ftpupload)
  BENCH_QUICK=1  tiny datasets and one run: checks the machinery in a minute or two
  BENCH_RUNS=N   runs per figure (default 3, quick 1)
  BENCH_TLS=1    also the TLS rows (same as the --tls argument)
  BENCH_TOOLS    comma-separated keys of what to run (default all): the keys in TOOLS and
                 REDEPLOY_TOOLS, and "paced" for the run with the program's default pacing
  BENCH_DATASETS comma-separated dataset keys to run (default all): A, B, C, B200 (B over the
                 slow link), R; "paced" runs with A, B or C
  BENCH_FORCE=1  run ftpupload's unpaced rows even when its usage text lacks --pacing
  BENCH_OUT      where the markdown goes (default bench/results.md, quick bench/results-quick.md;
                 a run of some datasets only: bench/results-KEYS.md, so the full table stays)
  BENCH_KEEP=1   keep the work folder on /dev/shm (logs, configurations) for a look afterwards
Must run as root: it installs missing packages and creates the local user vsftpd logs in.
"""
from __future__ import annotations

import argparse
import dataclasses
import hashlib
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
RUNS = int(os.environ.get("BENCH_RUNS", "1" if QUICK else "3"))
EXE = Path(os.environ.get("FTPUPLOAD_EXE", str(REPO / "build" / "ftpupload"))).resolve()
PACKAGES = {"vsftpd": "/usr/sbin/vsftpd", "lftp": "lftp", "ncftp": "ncftpput", "curl": "curl",
            "openssl": "openssl", "python3-pyftpdlib": "/usr/lib/python3/dist-packages/pyftpdlib"}
PYFTPD_USER, PYFTPD_PASSWORD = "bench", "bench-pass-4Rd"
DAY = 24 * 3600
REDEPLOY_SEED = 20261209


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
    before: Path = Path()
    changed: list[str] = field(default_factory=list)
    deployed: float = 0.0  # mtime of the remote copies that the earlier deploy left

    @property
    def title(self) -> str:
        return (f"R: {len(self.layout)} × 1–20 KiB in {self.folders} folders, "
                f"{self.changes} changed")

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
            stamp = now if relative in self.changed else now - 2 * DAY
            os.utime(self.root / relative, (stamp, stamp))
        self.digests = digests_of(self.root)
        for tree in (self.before, self.root):
            for path in [tree, *tree.rglob("*")]:
                path.chmod(0o755 if path.is_dir() else 0o644)


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
        }
    return {
        "A": Dataset("A", "MiB/s", [("big.bin", 256 * MIB)], 180),
        "B": Dataset("B", "files/s", spread(1000, 10, 4 * KIB), 240),
        "C": Dataset("C", "MiB/s", two_levels(10, 10 * MIB), 120),
        "B200": Dataset("B200", "files/s", spread(200, 10, 4 * KIB), 240),
        "R": Redeploy("R", "s", redeploy_layout(2000, 40), 300, folders=40, changes=10),
    }


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
        return "R" in self.datasets


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
        if self.variant.log_uploads:
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
            self.target = Target(host, port, VSFTPD_USER, VSFTPD_PASSWORD, self.root,
                                 self.variant.tls, cert, fingerprint(cert) if cert else "",
                                 upload_log=self.upload_log if self.variant.log_uploads else None)
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


@dataclass
class Tool:
    key: str
    label: str
    ours: bool
    connections: int
    build: Callable[[Target, Dataset, str, Path], Invocation]
    tls: bool = True  # can it take part in the TLS rows


def ftpupload(connections: int,
              *extra: str) -> Callable[[Target, Dataset, str, Path], Invocation]:
    def build(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
        argv = [str(EXE), f"--local={data.root}", f"--host={target.host}",
                f"--port={target.port}", f"--username={target.user}",
                f"--password={target.password}", f"--remote={remote}",
                "--pacing=false", f"--connections={connections}", *extra]
        if target.tls:
            argv += ["--tls=true", f"--tls-fingerprint={target.fingerprint}"]
        if QUICK:
            # A build that does not know --pacing yet still pauses; a short time-out keeps
            # the quick run short.
            argv.append("--timeout=1")
        return Invocation(argv)
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
        # per file either.
        mirror = (f"mirror -R --no-perms{' --only-newer' if only_newer else ''}"
                  f"{f' --parallel={parallel}' if parallel > 1 else ''}")
        script = "; ".join([*settings,
                            f"open -u {target.user},{target.password} -p {target.port} "
                            f"{target.host}",
                            f"{mirror} {data.root} {remote}", "quit"])
        return Invocation(["lftp", "-e", script])
    return build


def ncftpput(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
    # Run from inside the dataset and name its top entries, so that they land in `remote`
    # itself rather than in a folder named after the dataset.
    entries = sorted(p.name for p in data.root.iterdir())
    return Invocation(["ncftpput", "-R", "-t", "30", "-u", target.user, "-p", target.password,
                       "-P", str(target.port), target.host, remote, *entries], cwd=data.root)


def curl(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
    # One invocation for every file: a config file pairs each file with its URL (no command
    # line length limit), --ftp-create-dirs makes the nested folders, and curl keeps the
    # control connection from one transfer to the next. Files of a folder follow each other,
    # so curl need not change folders between them.
    lines = [f'user = "{target.user}:{target.password}"', "ftp-create-dirs", "silent",
             "show-error", "fail"]
    if target.tls:
        lines += ["ssl-reqd", f'cacert = "{target.cert}"']
    for relative, _ in sorted(data.layout):
        lines.append(f'upload-file = "{data.root / relative}"')
        lines.append(f'url = "ftp://{target.host}:{target.port}/{remote}/{relative}"')
    config = scratch / f"curl-{remote}.conf"
    config.write_text("\n".join(lines) + "\n")
    return Invocation(["curl", "--config", str(config)])


TOOLS = [
    Tool("ftpupload-1", "ftpupload --connections=1", True, 1, ftpupload(1)),
    Tool("ftpupload-4", "ftpupload --connections=4", True, 4, ftpupload(4)),
    Tool("lftp", "lftp mirror -R", False, 1, lftp(1)),
    Tool("lftp-4", "lftp mirror -R --parallel=4", False, 4, lftp(4)),
    Tool("ncftpput", "ncftpput -R", False, 1, ncftpput, tls=False),
    Tool("curl", "curl -T (one invocation)", False, 1, curl),
]

# The rows of the re-deploy, R. Their keys select them in BENCH_TOOLS as well; ftpupload's and
# lftp's keys are those of the same tools in TOOLS.
REDEPLOY_TOOLS = [
    Tool("ftpupload-1", "ftpupload --connections=1 --skip-unchanged=true", True, 1,
         ftpupload(1, "--skip-unchanged=true"), tls=False),
    Tool("ftpupload-4", "ftpupload --connections=4 --skip-unchanged=true", True, 4,
         ftpupload(4, "--skip-unchanged=true"), tls=False),
    Tool("lftp", "lftp mirror -R --only-newer", False, 1, lftp(1, only_newer=True), tls=False),
    Tool("lftp-nosync", "lftp mirror -R --only-newer, ftp:sync-mode off", False, 1,
         lftp(1, only_newer=True, sync_mode=False), tls=False),
    Tool("lftp-4", "lftp mirror -R --only-newer --parallel=4", False, 4,
         lftp(4, only_newer=True), tls=False),
    Tool("lftp-4-nosync", "lftp mirror -R --only-newer --parallel=4, ftp:sync-mode off", False,
         4, lftp(4, only_newer=True, sync_mode=False), tls=False),
]

VARIANTS = [
    Variant("loopback", "loopback", ["A", "B", "C"]),
    Variant("rtt20", f"{2 * ONE_WAY_MS} ms RTT", ["B200"], one_way_ms=ONE_WAY_MS),
    Variant("redeploy", f"vsftpd, {2 * ONE_WAY_MS} ms RTT", ["R"], one_way_ms=ONE_WAY_MS,
            log_uploads=True),
    Variant("redeploy-py", f"pyftpdlib, {2 * ONE_WAY_MS} ms RTT", ["R"],
            one_way_ms=ONE_WAY_MS, server="pyftpdlib", log_uploads=True),
    Variant("tls", "TLS, loopback", ["A", "B"], tls=True),
]


# ---------------------------------------------------------------------------------------------
# Runs


@dataclass
class Run:
    seconds: float
    failure: str = ""  # empty when the upload succeeded and every file checked out


@dataclass
class Cell:
    """All runs of one tool on one dataset over one variant."""
    runs: list[Run] = field(default_factory=list)
    skipped: str = ""

    def rates(self, data: Dataset) -> list[float]:
        return [data.rate(run.seconds) for run in self.runs if not run.failure]

    @property
    def failures(self) -> list[str]:
        return [run.failure for run in self.runs if run.failure]

    def ok(self) -> bool:
        return bool(self.runs) and not self.failures and not self.skipped


def digests_of(root: Path) -> dict[str, str]:
    found = {}
    for path in root.rglob("*"):
        if path.is_file():
            with open(path, "rb") as source:
                found[path.relative_to(root).as_posix()] = hashlib.file_digest(
                    source, "sha256").hexdigest()
    return found


def verify(data: Dataset, remote: Path) -> str:
    got = digests_of(remote)
    missing = [name for name in data.digests if name not in got]
    differ = [name for name in data.digests if name in got and got[name] != data.digests[name]]
    extra = [name for name in got if name not in data.digests]
    problems = [f"{len(items)} {what}" for items, what in
                ((missing, "missing"), (differ, "differ"), (extra, "unexpected")) if items]
    return "verify: " + ", ".join(problems) if problems else ""


def file_states(root: Path) -> dict[str, tuple[int, int]]:
    """Inode and change time of every file: a server that stores a file again, in place or
    through a new file renamed over it, changes one of them."""
    states = {}
    for path in root.rglob("*"):
        if path.is_file():
            info = path.stat()
            states[path.relative_to(root).as_posix()] = (info.st_ino, info.st_ctime_ns)
    return states


def completed_uploads(target: Target, remote: str, offset: int) -> int | None:
    """Uploads into `remote` that the server logged as complete since `offset` of its log."""
    if target.upload_log is None:
        return None
    with open(target.upload_log, "rb") as log:
        log.seek(offset)
        text = log.read().decode(errors="replace")
    if target.server == "pyftpdlib":
        paths = re.findall(r"\b(?:STOR|STOU|APPE) (.*?) completed=1 bytes=", text)
    else:
        paths = re.findall(r'OK UPLOAD: Client "[^"]*", "([^"]*)"', text)
    return sum(1 for path in paths if f"/{remote}/" in path)


def redeploy_check(data: Redeploy, rewritten: set[str], uploads: int | None) -> str:
    changed = set(data.changed)
    problems = []
    if changed - rewritten:
        problems.append(f"{len(changed - rewritten)} of {len(changed)} changed files not stored")
    if rewritten - changed:
        problems.append(f"{len(rewritten - changed)} unchanged files stored")
    if uploads is not None and uploads != len(changed):
        problems.append(f"server logged {uploads} uploads for {len(changed)} changed files")
    return "re-deploy: " + ", ".join(problems) if problems else ""


def tail(path: Path, lines: int = 3) -> str:
    text = path.read_text(errors="replace").replace("\r", "").strip().splitlines()
    return " / ".join(line.strip() for line in text[-lines:])[:200]


class Bench:
    def __init__(self, work: Path):
        self.work = work
        self.logs = work / "logs"
        self.logs.mkdir()
        self.counter = 0

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
        seconds, failure = self.timed(tool, target, data, remote)
        checked = verify(data, remote_path)
        shutil.rmtree(remote_path, ignore_errors=True)
        return Run(seconds, "; ".join(part for part in (failure, checked) if part))

    def redeploy(self, tool: Tool, target: Target, data: Redeploy, tag: str) -> Run:
        """One timed re-deploy onto a remote folder as the earlier deploy left it, then the
        checks: exactly the changed files stored, and every file equal to the local one."""
        self.counter += 1
        remote = f"{tag}-{data.key}-{tool.key}-{self.counter}"
        remote_path = target.root / remote
        # The earlier deploy is laid straight into the server's folder: uploading it through
        # the relay would cost each tool minutes per run, and so every tool starts from the
        # same remote state.
        shutil.copytree(data.before, remote_path)
        owner = target.root.stat()
        for path in [remote_path, *remote_path.rglob("*")]:
            os.chown(path, owner.st_uid, owner.st_gid)
            if path.is_file():
                os.utime(path, (data.deployed, data.deployed))
        before = file_states(remote_path)
        offset = target.upload_log.stat().st_size if target.upload_log else 0
        seconds, failure = self.timed(tool, target, data, remote)
        after = file_states(remote_path)
        rewritten = {name for name in before.keys() | after.keys()
                     if before.get(name) != after.get(name)}
        checks = (failure, redeploy_check(data, rewritten,
                                          completed_uploads(target, remote, offset)),
                  verify(data, remote_path))
        shutil.rmtree(remote_path, ignore_errors=True)
        return Run(seconds, "; ".join(part for part in checks if part))

    def timed(self, tool: Tool, target: Target, data: Dataset, remote: str) -> tuple[float, str]:
        """Seconds of one run of `tool`, and what went wrong in it if anything did."""
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
        return seconds, failure

    def measure(self, variant: Variant, target: Target, tools: list[Tool],
                sets: dict[str, Dataset]) -> dict[tuple[str, str], Cell]:
        cells: dict[tuple[str, str], Cell] = {}
        for key in variant.datasets:
            data = sets[key]
            # Rounds over all tools rather than all runs of one tool after another, so a
            # passing disturbance of the machine spreads over the tools.
            for round_number in range(RUNS):
                for tool in tools:
                    cell = cells.setdefault((key, tool.key), Cell())
                    if cell.skipped:
                        continue
                    run = self.upload(tool, target, data, variant.key)
                    cell.runs.append(run)
                    state = f"FAILED {run.failure}" if run.failure else "ok"
                    print(f"  {variant.key:8} {key:4} {tool.label:30} run {round_number + 1}: "
                          f"{run.seconds:7.2f} s  {state}", flush=True)
                    if "timed out" in run.failure:
                        cell.skipped = "not run again after a time-out"
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
        failed = f"FAILED {len(cell.failures)}/{len(cell.runs)}: {cell.failures[0]}" \
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
    return (f"- {what}: {ours[0].label} {fmt_rate(ours[1])} {unit} vs {theirs[0].label} "
            f"{fmt_rate(theirs[1])} {unit} = **×{fmt_ratio(data.speedup(ours[1], theirs[1]))}**")


def tool_version(argv: list[str]) -> str:
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    found = re.search(r"\d+\.\d+(\.\d+)?", out.stdout + out.stderr)
    return found.group(0) if found else "?"


def program_version() -> str:
    """The measured executable, and the commit of this tree with a mark for local changes."""
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        commit = ""
    return f"ftpupload {EXE}" + (f" (tree at {commit})" if commit else "")


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
    subprocess.run(["apt-get", "update"], check=True, env=environment, timeout=600)
    subprocess.run(["apt-get", "install", "-y", *missing], check=True, env=environment,
                   timeout=1200)


def usage_mentions(option: str) -> bool:
    try:
        out = subprocess.run([str(EXE), "--help"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return option in out.stdout + out.stderr


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
    variants = [dataclasses.replace(v, datasets=[k for k in v.datasets
                                                 if not wanted_sets or k in wanted_sets])
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
    needed = ["--pacing", "--connections"] + (["--tls-fingerprint"] if with_tls else []) + (
        ["--skip-unchanged"] if "R" in sets else [])
    unknown = [option for option in needed if not usage_mentions(option)]
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
        bench = Bench(work)
        results: dict[str, tuple[Variant, dict]] = {}
        rtt_notes: list[str] = []
        paced = None
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
        report = render(results, sets, tools, redeploy_tools, paced, rtt_notes, notes,
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
    one = [t for t in ours if t.connections == 1]
    many = [t for t in ours if t.connections > 1]
    single_peers = [t for t in peers if t.connections == 1]
    return [goal(f"ftpupload, 1 connection, vs best single-connection {peer_word}", one,
                 single_peers),
            goal(f"ftpupload, 4 connections, vs best single-connection {peer_word}", many,
                 single_peers),
            goal(f"ftpupload, 4 connections, vs best of all {peer_word}s", many, peers)]


def render(results: dict[str, tuple[Variant, dict]], sets: dict[str, Dataset], tools: list[Tool],
           redeploy_tools: list[Tool], paced, rtt_notes: list[str], notes: list[str],
           load_before: str, load_after: str, elapsed: float) -> str:
    columns = [(variant, sets[key]) for variant, _ in results.values() if not variant.redeploy
               for key in variant.datasets]
    lines = [f"# ftpupload benchmark{' (BENCH_QUICK: tiny datasets)' if QUICK else ''}", ""]
    lines.append(f"{time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} × {cpu_model()}, "
                 f"Linux {platform.release()}; median of {RUNS} run(s), (min–max), "
                 f"**×ratio** to the best peer tool in the same column. "
                 f"Load average before {load_before}, after {load_after}; "
                 f"whole benchmark {elapsed / 60:.1f} min.")
    lines.append("")
    if columns:
        header = "| tool | " + " | ".join(
            f"{data.title}, {variant.title} ({data.unit})" for variant, data in columns) + " |"
        lines += [header, "|" + "---|" * (len(columns) + 1)]
        for tool in tools:
            row = [tool.label]
            for variant, data in columns:
                cells = results[variant.key][1]
                reference = best(cells, data, [t for t in tools if not t.ours])[1]
                if variant.tls and not tool.tls:
                    row.append("no TLS")
                else:
                    row.append(cell_text(cells.get((data.key, tool.key)), data, reference))
            lines.append("| " + " | ".join(row) + " |")
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
    if redeploys:
        lines += render_redeploy(redeploys, sets["R"], redeploy_tools)
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
    for note in rtt_notes:
        lines += [f"{note[0].upper()}{note[1:]}.", ""]
    versions = [program_version(), "lftp " + tool_version(["lftp", "--version"])]
    if columns:
        versions += ["ncftpput " + tool_version(["ncftpput", "-v"]),
                     "curl " + tool_version(["curl", "--version"])]
    versions.append("vsftpd " + package_version("vsftpd"))
    if any(variant.server == "pyftpdlib" for variant, _ in results.values()):
        versions.append("pyftpdlib " + package_version("python3-pyftpdlib"))
    lines.append("Versions: " + "; ".join(versions) + ".")
    for note in notes:
        lines += ["", f"Note: {note}."]
    details = ["", "<details><summary>Every run (seconds)</summary>", ""]
    for variant, cells in results.values():
        for (key, tool_key), cell in cells.items():
            runs = ", ".join(f"{run.seconds:.2f}{' FAILED ' + run.failure if run.failure else ''}"
                             for run in cell.runs)
            skipped = f" {cell.skipped}" if cell.skipped else ""
            details.append(f"- {variant.key} {key} {tool_key}: {runs}{skipped}")
    details += ["", "</details>", ""]
    return "\n".join(lines + details)


def render_redeploy(redeploys: list[tuple[Variant, dict]], data: Redeploy,
                    tools: list[Tool]) -> list[str]:
    lines = [f"{data.title}: seconds for the upload after the change, median (min–max), "
             f"**×** how many times as fast as the best peer setting on the same server (its "
             f"seconds over these). A run counts only when exactly the changed files were "
             f"stored again (inode and change time of every remote file before and after), the "
             f"server logged as many completed uploads, and every remote file's SHA-256 equals "
             f"the local one's.", ""]
    lines.append("| setting | " + " | ".join(f"{variant.title} (s)"
                                              for variant, _ in redeploys) + " |")
    lines.append("|" + "---|" * (len(redeploys) + 1))
    peers = [t for t in tools if not t.ours]
    for tool in tools:
        row = [tool.label]
        for _, cells in redeploys:
            reference = best(cells, data, peers)[1]
            row.append(cell_text(cells.get((data.key, tool.key)), data, reference))
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    for variant, cells in redeploys:
        lines += goal_lines(variant, data, cells, tools, "peer setting")
    lines.append("")
    return lines


def package_version(package: str) -> str:
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                         text=True, timeout=10)
    return out.stdout.strip() or "?"


if __name__ == "__main__":
    sys.exit(main())
