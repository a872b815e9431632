"""Fixtures of the end-to-end suite: the two executables and the servers they upload to."""
from __future__ import annotations

import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from program import WINEPREFIX, Program  # noqa: E402
from servers import ProFtpdServer, PureFtpdServer, PyFtpdServer, VsftpdServer  # noqa: E402

FLAVOURS = ["native", "win32"]


@pytest.fixture(scope="session")
def shared_dir(tmp_path_factory) -> Path:
    """A folder that every test worker of this run sees (for locks)."""
    base = tmp_path_factory.getbasetemp()
    return base.parent if base.name.startswith("popen-gw") else base


@pytest.fixture(scope="session", params=FLAVOURS)
def program(request, shared_dir) -> Program:
    """Each executable in turn; both must exist, a missing one fails its tests."""
    flavour = Program(request.param)
    assert flavour.exe.is_file(), f"{flavour.exe} is missing: build it first"
    flavour.warm_up(shared_dir)
    return flavour


@pytest.fixture(scope="session")
def native() -> Program:
    return Program("native")


@dataclass
class RealServer:
    """What a test needs of a real server: where to log in, which folder to name, where files land."""
    kind: str
    host: str
    port: int
    user: str
    password: str
    remote: str  # the folder given as --remote
    arrived: Path  # where that folder is on this machine
    log: Path


def pyftpd_server(tmp_path: Path, threaded: bool = False):
    root = tmp_path / "pyftpd-root"
    (root / "incoming").mkdir(parents=True)
    with PyFtpdServer(root, tmp_path / "pyftpd.log", threaded=threaded) as server:
        yield RealServer("pyftpdlib", server.host, server.port, server.user, server.password,
                         "/incoming", root / "incoming", server.log)


@pytest.fixture
def pyftpd(tmp_path) -> RealServer:
    yield from pyftpd_server(tmp_path)


@pytest.fixture
def pyftpd_threaded(tmp_path) -> RealServer:
    yield from pyftpd_server(tmp_path, threaded=True)


@pytest.fixture
def vsftpd(tmp_path, shared_dir) -> RealServer:
    work = tmp_path / "vsftpd"
    work.mkdir()
    with VsftpdServer(work, shared_dir) as server:
        (server.root / "incoming").mkdir()
        server.root.joinpath("incoming").chmod(0o777)
        yield RealServer("vsftpd", server.host, server.port, server.user, server.password,
                         str(server.root / "incoming"), server.root / "incoming", server.log)


def unpacked(server_class, work: Path, **options):
    with server_class(work, **options) as server:
        (server.root / "incoming").mkdir()
        os.chown(server.root / "incoming", server.root.stat().st_uid, server.root.stat().st_gid)
        yield RealServer(server.kind, server.host, server.port, server.user, server.password,
                         "/incoming", server.root / "incoming", server.log)


@pytest.fixture
def proftpd(tmp_path) -> RealServer:
    yield from unpacked(ProFtpdServer, tmp_path / "proftpd")


@pytest.fixture
def proftpd_digest(tmp_path) -> RealServer:
    """ProFTPD with mod_digest: HASH and XSHA256 of remote files."""
    yield from unpacked(ProFtpdServer, tmp_path / "proftpd", digest=True)


@pytest.fixture
def pure_ftpd(tmp_path) -> RealServer:
    yield from unpacked(PureFtpdServer, tmp_path / "pure-ftpd")


REAL_SERVERS = {"vsftpd": "vsftpd", "pyftpdlib": "pyftpd", "proftpd": "proftpd", "pure-ftpd": "pure_ftpd"}


@pytest.fixture(params=list(REAL_SERVERS))
def real_server(request) -> RealServer:
    return request.getfixturevalue(REAL_SERVERS[request.param])


def pytest_terminal_summary(terminalreporter):
    """Prints the pacing figures that the timing tests measured."""
    figures = []
    for outcome in ("passed", "failed"):
        for report in terminalreporter.stats.get(outcome, []):
            for key, value in getattr(report, "user_properties", []):
                if key == "pacing":
                    figures.append(f"{report.nodeid}: {value}")
    if figures:
        terminalreporter.write_sep("-", "measured pacing")
        for line in sorted(figures):
            terminalreporter.write_line(line)


def pytest_sessionfinish(session):
    """Ends the wine server the warm-up left running (it stays a while for the next run),
    once the whole run is over: in the controller, not in each parallel worker."""
    if hasattr(session.config, "workerinput"):
        return
    env = dict(os.environ, WINEPREFIX=str(WINEPREFIX))
    subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=False)
