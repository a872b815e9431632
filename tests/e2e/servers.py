"""Real FTP servers on 127.0.0.1 (or ::1) for the end-to-end tests and the demo: pyftpdlib and vsftpd.

Ports are chosen free at run time; readiness is a line the server prints (pyftpdlib) or a
greeting read over a polled connect (vsftpd), never a fixed sleep.
"""
from __future__ import annotations

import fcntl
import os
import pwd
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
HERE = Path(__file__).resolve().parent
READY_LIMIT_SECONDS = 20

# Passive ports come from below the kernel's ephemeral range, so they never collide with
# ports the system hands out; each attempt picks a random block and checks it is free.
PASSIVE_LOW, PASSIVE_HIGH, PASSIVE_BLOCK = 20000, 32000, 16

VSFTPD_USER = "ftpupload-e2e"
VSFTPD_PASSWORD = "e2e-pass-7Kq"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def free_port_block(size: int = PASSIVE_BLOCK) -> tuple[int, int]:
    for _ in range(200):
        first = random.randrange(PASSIVE_LOW, PASSIVE_HIGH - size)
        probes = []
        try:
            for port in range(first, first + size):
                probe = socket.socket()
                probes.append(probe)
                probe.bind(("127.0.0.1", port))
            return first, first + size - 1
        except OSError:
            continue
        finally:
            for probe in probes:
                probe.close()
    raise RuntimeError("no free block of passive ports")


def stop_process_group(process: subprocess.Popen) -> None:
    """Ends a server started in its own session, with every child it forked."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


class PyFtpdServer:
    """pyftpdlib in a subprocess, serving `root` to one user with every write permission."""

    def __init__(self, root: Path, log: Path, user: str = "tester", password: str = "secret",
                 tls: list[str] = (), host: str = "127.0.0.1"):
        self.root, self.log, self.user, self.password = root, log, user, password
        self.tls = list(tls)  # pyftpd_server.py's --tls-... arguments
        self.host = host
        self.port = 0
        self.process: subprocess.Popen | None = None

    def start(self) -> "PyFtpdServer":
        first, last = free_port_block()
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [PYTHON, str(HERE / "pyftpd_server.py"), "--root", str(self.root), "--host", self.host,
                 "--user", self.user, "--password", self.password,
                 "--passive-ports", f"{first}-{last}", *self.tls],
                stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL,
                start_new_session=True)
        ready = self._read_ready_line()
        if not ready.startswith("READY "):
            self.stop()
            raise RuntimeError(f"pyftpdlib did not start: {ready!r}; log: {self.log.read_text()}")
        self.port = int(ready.split()[1])
        return self

    def _read_ready_line(self) -> str:
        assert self.process is not None and self.process.stdout is not None
        readable, _, _ = select.select([self.process.stdout], [], [], READY_LIMIT_SECONDS)
        return self.process.stdout.readline().decode().strip() if readable else ""

    def stop(self) -> None:
        if self.process is not None:
            stop_process_group(self.process)
            if self.process.stdout is not None:
                self.process.stdout.close()
            self.process = None

    def __enter__(self) -> "PyFtpdServer":
        return self.start()

    def __exit__(self, *_exc) -> None:
        self.stop()


def ensure_vsftpd_user(lock_dir: Path) -> pwd.struct_passwd:
    """Creates the local account that vsftpd logs in (once; parallel workers take turns)."""
    if os.geteuid() != 0:
        raise RuntimeError("vsftpd tests need root to create their local user")
    lock_dir.mkdir(parents=True, exist_ok=True)
    with open(lock_dir / "vsftpd-user.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            pwd.getpwnam(VSFTPD_USER)
        except KeyError:
            # PAM admits the account only with a shell listed in /etc/shells and a name that
            # /etc/ftpusers does not deny. vsftpd enters the home before local_root, so the
            # home must exist; "/" always does and is never written to.
            subprocess.run(["useradd", "--no-create-home", "--home-dir", "/",
                            "--shell", "/bin/sh", VSFTPD_USER], check=True)
        subprocess.run(["chpasswd"], input=f"{VSFTPD_USER}:{VSFTPD_PASSWORD}\n".encode(),
                       check=True)
    return pwd.getpwnam(VSFTPD_USER)


class VsftpdServer:
    """vsftpd in the foreground with a generated configuration, its files arriving in `root`.

    No chroot: the login lands in `root` (local_root), and clients name it by its real path.
    The test user must be able to walk down to it, so it lives in a world-traversable folder
    of its own rather than in pytest's private temporary tree.
    """

    def __init__(self, work: Path, lock_dir: Path, tls: dict[str, object] | None = None,
                 host: str = "127.0.0.1"):
        self.work, self.lock_dir = work, lock_dir
        self.tls = tls or {}  # further settings (ssl_enable=YES, ...)
        self.top = Path(tempfile.mkdtemp(prefix="ftpupload-e2e-vsftpd-"))
        self.top.chmod(0o755)
        self.root = self.top / "root"
        self.root.mkdir()
        self.host = host  # "::1" makes it listen on IPv6 only
        self.port = 0
        self.user, self.password = VSFTPD_USER, VSFTPD_PASSWORD
        self.log = work / "vsftpd.log"
        self.process: subprocess.Popen | None = None

    def _config(self, port: int) -> str:
        first, last = free_port_block()
        empty = self.work / "empty"
        empty.mkdir(exist_ok=True)
        if ":" in self.host:
            listen = {"listen": "NO", "listen_ipv6": "YES", "listen_address6": self.host}
        else:
            listen = {"listen": "YES", "listen_ipv6": "NO", "listen_address": self.host}
        settings = listen | {
            "listen_port": port, "background": "NO",
            "anonymous_enable": "NO", "local_enable": "YES", "write_enable": "YES",
            "local_umask": "022", "local_root": self.root, "chroot_local_user": "NO",
            "pasv_enable": "YES", "pasv_min_port": first, "pasv_max_port": last,
            "connect_from_port_20": "NO", "seccomp_sandbox": "NO",
            "secure_chroot_dir": empty, "pam_service_name": "vsftpd",
            "userlist_enable": "NO", "tcp_wrappers": "NO", "delay_failed_login": 0,
            "xferlog_enable": "YES", "xferlog_std_format": "NO", "log_ftp_protocol": "YES",
            "vsftpd_log_file": self.log,
        } | self.tls
        return "".join(f"{key}={value}\n" for key, value in settings.items())

    def start(self) -> "VsftpdServer":
        account = ensure_vsftpd_user(self.lock_dir)
        os.chown(self.root, account.pw_uid, account.pw_gid)
        for _ in range(5):  # a port taken between the probe and vsftpd's bind: try another
            port = free_port()
            config = self.work / "vsftpd.conf"
            config.write_text(self._config(port))
            with open(self.work / "vsftpd.out", "wb") as out:
                self.process = subprocess.Popen([VSFTPD, str(config)], stdin=subprocess.DEVNULL,
                                                stdout=out, stderr=out, start_new_session=True)
            if self._await_greeting(port):
                self.port = port
                return self
            self.stop()
        raise RuntimeError(f"vsftpd did not start: {(self.work / 'vsftpd.out').read_text()}")

    def _await_greeting(self, port: int) -> bool:
        deadline = time.monotonic() + READY_LIMIT_SECONDS
        while time.monotonic() < deadline:
            if self.process is None or self.process.poll() is not None:
                return False
            try:
                with socket.create_connection((self.host, port), timeout=2) as probe:
                    greeting = probe.recv(200)
                    probe.sendall(b"QUIT\r\n")
                    return greeting.startswith(b"220")
            except OSError:
                # Polled connect: vsftpd has not bound its port yet.
                select.select([], [], [], 0.02)
        return False

    def stop(self) -> None:
        if self.process is not None:
            stop_process_group(self.process)
            self.process = None

    def remove(self) -> None:
        shutil.rmtree(self.top, ignore_errors=True)

    def protocol_log(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def __enter__(self) -> "VsftpdServer":
        return self.start()

    def __exit__(self, *_exc) -> None:
        self.stop()
        self.remove()


if __name__ == "__main__":
    sys.exit("a helper module of the end-to-end tests; run pytest")
