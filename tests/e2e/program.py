"""Running the two executables (native, and the Windows build under Wine) and reading their output."""
from __future__ import annotations

import fcntl
import os
import pty
import select
import subprocess
import tempfile
import time
import tty
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Callable

REPO = Path(__file__).resolve().parents[2]
# The builds of `make`; another build can be tried by naming its executables here.
NATIVE_EXE = Path(os.environ.get("FTPUPLOAD_NATIVE_EXE", REPO / "build" / "ftpupload"))
WIN32_EXE = Path(os.environ.get("FTPUPLOAD_WIN32_EXE", REPO / "build-win32" / "ftpupload.exe"))
WINEPREFIX = WIN32_EXE.parent / "wineprefix"  # beside the build under test, as `make` keeps it
# `make` names wine64's own loader when the Windows build under test is the 64-bit one.
WINE = os.environ.get("FTPUPLOAD_WINE", "wine")

# Generous ceiling for one run: a run that hangs must fail the test, not the whole suite.
RUN_LIMIT_SECONDS = 120


def crlf_lines(data: bytes) -> list[str]:
    """Splits console output into lines, insisting that every line ends with CR LF."""
    if not data:
        return []
    assert data.endswith(b"\r\n"), f"output does not end with CR LF: {data[-40:]!r}"
    pieces = data[:-2].split(b"\r\n")
    for piece in pieces:
        assert b"\n" not in piece and b"\r" not in piece, f"bare line break in {piece!r}"
    return [piece.decode("utf-8") for piece in pieces]


def run_on_terminal(command: list[str], on_output: Callable[[bytes], None],
                    env: dict[str, str] | None = None, merge_stderr: bool = False,
                    stdout: IO[bytes] | None = None) -> int:
    """Runs a command with its output on a pseudo-terminal, where the program flushes every
    line, and hands over each piece of output as it arrives; returns the exit status.
    With `stdout` given, standard output goes there and standard error is on the terminal."""
    master, slave = pty.openpty()
    tty.setraw(slave)  # no terminal translation: the program's own bytes
    errors = slave if merge_stderr or stdout is not None else subprocess.DEVNULL
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout or slave, env=env,
                               stderr=errors)
    os.close(slave)
    deadline = time.monotonic() + RUN_LIMIT_SECONDS
    try:
        # The terminal closes when the program ends, unless a Wine helper process started
        # during the run holds it too: then the program's own end is what stops the reading.
        while time.monotonic() < deadline:
            ended = process.poll() is not None
            if not select.select([master], [], [], 0 if ended else 0.2)[0]:
                if ended:
                    break
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            on_output(chunk)
    finally:
        os.close(master)
    return process.wait(timeout=max(0.0, deadline - time.monotonic()))


def info(message: str, code: str = "000", text: str = "") -> str:
    return f"{message}\tcode: {code}\tmessage: {text}"


def error(message: str, code: str = "000", text: str = "") -> str:
    return f"error:\t{message}\tcode: {code}\tmessage: {text}"


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    started: float  # time.monotonic() just before the process was started
    seconds: float  # wall time of the whole process

    @property
    def lines(self) -> list[str]:
        return crlf_lines(self.stdout)

    @property
    def error_lines(self) -> list[str]:
        """Standard error as lines; a box is one "TITLE: MESSAGE" line there."""
        text = self.stderr.decode("utf-8")
        return [line.rstrip("\r") for line in text.splitlines()]

    def describe(self) -> str:
        return (f"status {self.status} after {self.seconds:.3f} s\n"
                f"--- stdout ---\n{self.stdout.decode('utf-8', 'replace')}\n"
                f"--- stderr ---\n{self.stderr.decode('utf-8', 'replace')}")


class Program:
    """One flavour of the executable, with the local-path conventions of its platform."""

    def __init__(self, flavour: str):
        self.flavour = flavour
        self.exe = NATIVE_EXE if flavour == "native" else WIN32_EXE

    def __repr__(self) -> str:
        return f"Program({self.flavour})"

    @property
    def is_wine(self) -> bool:
        return self.flavour == "win32"

    def local(self, path: Path) -> str:
        """How a local folder is given on the command line."""
        if self.is_wine:
            return "Z:" + str(path).replace("/", "\\")
        return str(path)

    def shown(self, path: Path) -> str:
        """The local folder as the program prints it: "\\" separators and a final "\\"."""
        text = self.local(path).replace("/", "\\")
        return text if text.endswith("\\") else text + "\\"

    def command(self, args: list[str]) -> list[str]:
        if self.is_wine:
            return [WINE, str(self.exe), *args]
        return [str(self.exe), *args]

    def environment(self) -> dict[str, str]:
        env = dict(os.environ)
        # No display: boxes must come out on standard error, never as a window that waits.
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["WINEDEBUG"] = "-all"
        env["WINEPREFIX"] = str(WINEPREFIX)
        return env

    def run(self, *args: str, limit: float = RUN_LIMIT_SECONDS,
            on_start: Callable[[subprocess.Popen], None] | None = None) -> Run:
        """`on_start` is handed the running process (to signal it, say) before the run is awaited."""
        assert self.exe.is_file(), f"{self.exe} is missing: build it first (make build build-win32)"
        started = time.monotonic()
        # Files, not pipes: a Wine helper process started during the run keeps the run's
        # descriptors, and a pipe would then not end when the program does.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            with subprocess.Popen(self.command(list(args)), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=self.environment()) as process:
                try:
                    if on_start:
                        on_start(process)
                    status = process.wait(timeout=max(0.0, started + limit - time.monotonic()))
                except BaseException:
                    process.kill()
                    raise
            seconds = time.monotonic() - started
            out.seek(0)
            err.seek(0)
            return Run(status, out.read(), err.read(), started, seconds)

    def warm_up(self, lock_dir: Path) -> None:
        """The first Wine start may set up the prefix; let one test worker do that alone."""
        if not self.is_wine:
            return
        lock_dir.mkdir(parents=True, exist_ok=True)
        with open(lock_dir / "wine-warm-up.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            # A wine run that starts the wine server hands it its output pipes, and a run
            # reading those would wait as long as the server lives. So the server is started
            # here, persistent for a while after its last client, with no pipes of ours.
            subprocess.run(["wineserver", "-p", "600"], env=self.environment(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=RUN_LIMIT_SECONDS)
            subprocess.run(self.command([]), env=self.environment(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=RUN_LIMIT_SECONDS)
