"""Real FTP servers on 127.0.0.1 (or ::1) for the end-to-end tests and the demo: pyftpdlib, vsftpd,
and ProFTPD and Pure-FTPd run from the packages scripts/fetch-servers.sh unpacked.

Ports are chosen free at run time; readiness is a line the server prints (pyftpdlib) or a
greeting read over a polled connect (the others), never a fixed sleep.
"""
from __future__ import annotations

import fcntl
import functools
import os
import pwd
import random
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
HERE = Path(__file__).resolve().parent
UNPACKED = HERE.parents[1] / "build" / "servers"
PROFTPD = UNPACKED / "proftpd" / "usr" / "sbin" / "proftpd"
PROFTPD_MODULES = UNPACKED / "proftpd" / "usr" / "lib" / "proftpd"
PURE_FTPD = UNPACKED / "pure-ftpd" / "usr" / "sbin" / "pure-ftpd"
PURE_PW = UNPACKED / "pure-ftpd" / "usr" / "bin" / "pure-pw"
READY_LIMIT_SECONDS = 20

# Passive ports come from below the kernel's ephemeral range, so they never collide with
# ports the system hands out; each attempt picks a random block and checks it is free.
PASSIVE_LOW, PASSIVE_HIGH, PASSIVE_BLOCK = 20000, 32000, 16

VSFTPD_USER = "ftpupload-e2e"
VSFTPD_PASSWORD = "e2e-pass-7Kq"


def free_port(hosts: tuple[str, ...] = ("127.0.0.1",)) -> int:
    """A port the system picks on the first host and that is free on the others too (the
    benchmark's relay listens on the server's port numbers on an address of its own)."""
    for _ in range(100):
        with socket.socket() as probe:
            probe.bind((hosts[0], 0))
            port = probe.getsockname()[1]
        if _bindable([port], hosts[1:]):
            return port
    raise RuntimeError("no free control port")


def free_port_block(size: int = PASSIVE_BLOCK, hosts: tuple[str, ...] = ("127.0.0.1",)) -> tuple[int, int]:
    for _ in range(200):
        first = random.randrange(PASSIVE_LOW, PASSIVE_HIGH - size)
        if _bindable(range(first, first + size), hosts):
            return first, first + size - 1
    raise RuntimeError("no free block of passive ports")


def _bindable(ports, hosts: tuple[str, ...]) -> bool:
    probes = []
    try:
        for host in hosts:
            for port in ports:
                probe = socket.socket()
                probes.append(probe)
                probe.bind((host, port))
        return True
    except OSError:
        return False
    finally:
        for probe in probes:
            probe.close()


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
                 tls: list[str] = (), host: str = "127.0.0.1", refuse: list[str] = (), fold_case: bool = False,
                 zone: str | None = None, threaded: bool = False, wrong_sha256: bool = False,
                 reset_after: int | None = None, sha256: bool = False,
                 masquerade: str | None = None, quiet: bool = False):
        self.threaded = threaded
        self.wrong_sha256 = wrong_sha256  # XSHA256 offered, and never the file's digest
        self.sha256 = sha256  # XSHA256 offered, the file's own digest
        self.reset_after = reset_after  # the first STOR's data connection reset after that many bytes
        # The benchmark's server: passive replies name its relay's address, and the log keeps the
        # completed transfers only (a line per command would charge the server's writing to the
        # clients being timed).
        self.masquerade, self.quiet = masquerade, quiet
        self.passive: tuple[int, int] | None = None  # chosen at start unless set before
        self.asked_port = 0  # 0: one the system picks at each start
        self.root, self.log, self.user, self.password = root, log, user, password
        self.zone = zone  # a TZ value: times in that zone instead of UTC
        self.tls = list(tls)  # pyftpd_server.py's --tls-... arguments
        self.refuse = [argument for refusal in refuse for argument in ("--refuse", refusal)]
        self.fold_case = fold_case  # names matched whatever their case, kept as first spelled
        self.host = host
        self.port = 0
        self.process: subprocess.Popen | None = None

    def start(self) -> "PyFtpdServer":
        first, last = self.passive or free_port_block()
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [PYTHON, str(HERE / "pyftpd_server.py"), "--root", str(self.root), "--host", self.host,
                 "--port", str(self.asked_port),
                 *(["--masquerade", self.masquerade] if self.masquerade else []),
                 *(["--quiet"] if self.quiet else []),
                 "--user", self.user, "--password", self.password,
                 "--passive-ports", f"{first}-{last}", *self.tls, *self.refuse,
                 *(["--fold-case"] if self.fold_case else []), *(["--local-times"] if self.zone else []),
                 *(["--threaded"] if self.threaded else []),
                 *(["--wrong-sha256"] if self.wrong_sha256 else []), *(["--sha256"] if self.sha256 else []),
                 *([f"--reset-after={self.reset_after}"] if self.reset_after else [])],
                stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL,
                start_new_session=True, env=dict(os.environ, TZ=self.zone) if self.zone else None)
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


def await_greeting(process: subprocess.Popen | None, port: int, host: str = "127.0.0.1",
                   implicit_tls: bool = False) -> bool:
    """Whether the server answers 220 on `port` (over TLS from the first byte, when implicit)
    before it ends or the limit passes."""
    deadline = time.monotonic() + READY_LIMIT_SECONDS
    unchecked = ssl.create_default_context()
    unchecked.check_hostname, unchecked.verify_mode = False, ssl.CERT_NONE
    while time.monotonic() < deadline:
        if process is None or process.poll() is not None:
            return False
        try:
            with socket.create_connection((host, port), timeout=2) as plain, \
                    (unchecked.wrap_socket(plain) if implicit_tls else plain) as probe:
                greeting = probe.recv(200)
                probe.sendall(b"QUIT\r\n")
                return greeting.startswith(b"220")
        except OSError:
            # Polled connect: the server has not bound its port yet.
            select.select([], [], [], 0.02)
    return False


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
                 host: str = "127.0.0.1", config: dict[str, object] | None = None, zone: str | None = None,
                 parent: Path | None = None, also_free: tuple[str, ...] = (), passive_size: int = PASSIVE_BLOCK):
        self.work, self.lock_dir = work, lock_dir
        # Ports also free on these addresses (the benchmark's relay takes the same numbers there).
        self.probe_hosts, self.passive_size = ("127.0.0.1", *also_free), passive_size
        self.passive = (0, 0)
        self.tls = tls or {}  # further settings (ssl_enable=YES, ...)
        self.config = config or {}  # further settings of any other kind (cmds_denied=RNTO, ...)
        self.zone = zone  # a TZ value for the server process (with use_localtime=YES)
        self.top = Path(tempfile.mkdtemp(prefix="ftpupload-e2e-vsftpd-", dir=parent))
        self.top.chmod(0o755)
        self.root = self.top / "root"
        self.root.mkdir()
        self.host = host  # "::1" makes it listen on IPv6 only
        self.port = 0
        self.user, self.password = VSFTPD_USER, VSFTPD_PASSWORD
        self.log = work / "vsftpd.log"
        self.process: subprocess.Popen | None = None

    def _config(self, port: int) -> str:
        first, last = self.passive = free_port_block(self.passive_size, self.probe_hosts)
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
        } | self.tls | self.config
        return "".join(f"{key}={value}\n" for key, value in settings.items())

    def start(self) -> "VsftpdServer":
        account = ensure_vsftpd_user(self.lock_dir)
        os.chown(self.root, account.pw_uid, account.pw_gid)
        for _ in range(5):  # a port taken between the probe and vsftpd's bind: try another
            port = free_port(self.probe_hosts)
            config = self.work / "vsftpd.conf"
            config.write_text(self._config(port))
            with open(self.work / "vsftpd.out", "wb") as out:
                self.process = subprocess.Popen([VSFTPD, str(config)], stdin=subprocess.DEVNULL,
                                                stdout=out, stderr=out, start_new_session=True,
                                                env=dict(os.environ, TZ=self.zone) if self.zone else None)
            if await_greeting(self.process, port, self.host):
                self.port = port
                return self
            self.stop()
        raise RuntimeError(f"vsftpd did not start: {(self.work / 'vsftpd.out').read_text()}")

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


# ProFTPD and Pure-FTPd log in a virtual user of their own password files, who works as
# "nobody": no account of the system is made or changed for them.
VIRTUAL_USER, VIRTUAL_PASSWORD = "tester", "e2e-pass-7Kq"
NOBODY_UID = NOBODY_GID = 65534


@functools.cache
def crypted(password: str) -> str:
    """A SHA-256 crypt(3) hash: checked in microseconds, where Pure-FTPd's own default
    (argon2id) spends seconds of CPU on every login."""
    return subprocess.run(["openssl", "passwd", "-5", password], check=True, capture_output=True,
                          text=True).stdout.strip()


class UnpackedServer:
    """A server from build/servers/ in the foreground, serving its root as "/" (chrooted),
    with optional explicit TLS from one PEM of certificate and key.

    No passive port range: each session is a process of its own, and ProFTPD's sessions race
    for the ports of a small range (two bind one port, the second listen() fails: "425 PASV:
    Address already in use"); ports the kernel picks cannot collide."""
    kind = ""
    executable = Path()
    outside_work = False  # the root in a world-traversable folder of its own, not in `work`

    def __init__(self, work: Path, certificate: Path | None = None, reuse: bool = True,
                 per_address: int | None = None, implicit: bool = False, config: list[str] = (),
                 digest: bool = False):
        self.digest = digest  # HASH and XSHA256 of mod_digest (ProFTPD only)
        self.work, self.certificate, self.reuse, self.per_address = work, certificate, reuse, per_address
        self.config = list(config)  # further lines of the configuration (ProFTPD only)
        self.implicit = implicit  # TLS from the first byte (ProFTPD only)
        work.mkdir(parents=True, exist_ok=True)
        self.top = Path(tempfile.mkdtemp(prefix=f"ftpupload-e2e-{self.kind}-")) if self.outside_work else None
        if self.top is not None:
            self.top.chmod(0o755)
        self.root = (self.top or work) / "root"
        self.root.mkdir()
        os.chown(self.root, NOBODY_UID, NOBODY_GID)
        self.host, self.port = "127.0.0.1", 0
        self.user, self.password = VIRTUAL_USER, VIRTUAL_PASSWORD
        self.log = work / f"{self.kind}.log"
        self.out = work / f"{self.kind}.out"
        self.process: subprocess.Popen | None = None

    def command(self, port: int) -> list[str]:
        raise NotImplementedError

    def start(self) -> "UnpackedServer":
        if not self.executable.is_file():
            raise RuntimeError(f"{self.executable} is missing: run scripts/fetch-servers.sh")
        for _ in range(5):  # a port taken between the probe and the server's bind: try another
            port = free_port()
            command = self.command(port)
            with open(self.out, "wb") as out:
                self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                                start_new_session=True)
            if await_greeting(self.process, port, implicit_tls=self.implicit):
                self.port = port
                return self
            self.stop()
        raise RuntimeError(f"{self.kind} did not start: {self.out.read_text(errors='replace')}")

    def stop(self) -> None:
        if self.process is not None:
            stop_process_group(self.process)
            self.process = None

    def protocol_log(self) -> str:
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def __enter__(self) -> "UnpackedServer":
        return self.start()

    def __exit__(self, *_exc) -> None:
        self.stop()
        if self.top is not None:
            shutil.rmtree(self.top, ignore_errors=True)


class ProFtpdServer(UnpackedServer):
    """ProFTPD as root (it needs root to chroot and to take the user's id for each session),
    its scoreboard, pid file and logs in `work`; every command goes to `log`."""
    kind = "proftpd"
    executable = PROFTPD
    # It resolves the home with the user's ids before the chroot, and pytest's folders are private.
    outside_work = True

    def command(self, port: int) -> list[str]:
        users = self.work / "passwd"
        users.write_text(f"{self.user}:{crypted(self.password)}:{NOBODY_UID}:{NOBODY_GID}::{self.root}:/bin/false\n")
        users.chmod(0o600)
        groups = self.work / "group"
        groups.write_text(f"nogroup:x:{NOBODY_GID}:\n")
        lines = [
            "ServerType standalone", 'ServerName "ftpupload e2e"', "DefaultServer on", "UseIPv6 off",
            f"Port {port}", "DefaultAddress 127.0.0.1", "SocketBindTight on",
            "User nobody", "Group nogroup", "Umask 022", "AllowOverwrite on", "DefaultRoot ~",
            # Only the password file above: no PAM and no system accounts, and its user has no shell.
            "AuthOrder mod_auth_file.c", f"AuthUserFile {users}", f"AuthGroupFile {groups}",
            "RequireValidShell off",
            f"PidFile {self.work / 'proftpd.pid'}", f"ScoreboardFile {self.work / 'proftpd.scoreboard'}",
            "DelayEngine off", "WtmpLog off", "UseReverseDNS off",
            f"SystemLog {self.work / 'proftpd-system.log'}", f"ExtendedLog {self.log} ALL",
        ]
        if self.per_address is not None:
            lines.append(f"MaxClientsPerHost {self.per_address}")
        if self.certificate is not None:
            lines += [
                f"ModulePath {PROFTPD_MODULES}", "LoadModule mod_tls.c", "TLSEngine on", "TLSRequired on",
                "TLSProtocol TLSv1.2 TLSv1.3", f"TLSRSACertificateFile {self.certificate}",
                f"TLSRSACertificateKeyFile {self.certificate}", "TLSVerifyClient off",
                f"TLSLog {self.work / 'proftpd-tls.log'}",
            ]
            options = ([] if self.reuse else ["NoSessionReuseRequired"]) + (["UseImplicitSSL"] if self.implicit else [])
            if options:
                lines.append("TLSOptions " + " ".join(options))
        if self.digest:
            # Uncached: the tests change files behind the server's back.
            lines += ([] if self.certificate is not None else [f"ModulePath {PROFTPD_MODULES}"]) + [
                "LoadModule mod_digest.c", "DigestEngine on", "DigestCache off"]
        lines += self.config
        config = self.work / "proftpd.conf"
        config.write_text("\n".join(lines) + "\n")
        return [str(PROFTPD), "--nodaemon", "--quiet", "--config", str(config)]


class PureFtpdServer(UnpackedServer):
    """Pure-FTPd as root, its one virtual user in a PureDB. It logs to syslog only, so `log` is
    its transfer log: the names it stored, not the commands."""
    kind = "pure-ftpd"
    executable = PURE_FTPD

    def command(self, port: int) -> list[str]:
        users, database = self.work / "pureftpd.passwd", self.work / "pureftpd.pdb"
        # Written here rather than by `pure-pw useradd`, which would hash with argon2id; a home
        # ending in "/./" is the chroot.
        users.write_text(f"{self.user}:{crypted(self.password)}:{NOBODY_UID}:{NOBODY_GID}::{self.root}/./"
                         + ":" * 12 + "\n")
        subprocess.run([str(PURE_PW), "mkdb", str(database), "-f", str(users)], check=True,
                       capture_output=True)
        command = [str(PURE_FTPD), "--bind", f"127.0.0.1,{port}", "--login", f"puredb:{database}",
                   "--noanonymous", "--dontresolve",
                   "--pidfile", str(self.work / "pure-ftpd.pid"), "--syslogfacility", "none",
                   "--altlog", f"w3c:{self.log}"]
        if self.per_address is not None:
            command += ["--maxclientsperip", str(self.per_address)]
        if self.certificate is not None:
            # 3: TLS on the control connection and on every data connection, or nothing.
            command += ["--tls", "3", "--certfile", str(self.certificate)]
        return command


if __name__ == "__main__":
    sys.exit("a helper module of the end-to-end tests; run pytest")
