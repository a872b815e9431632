"""The clients: each turns (server, local folder, remote folder) into one command."""
from __future__ import annotations

import functools
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from .datasets import Dataset, Redeploy
from .servers import Target
from .settings import EXE, QUICK, TRACE


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


@functools.cache
def obscured(password: str) -> str:
    """The password as rclone's --ftp-pass takes it."""
    return subprocess.run(["rclone", "obscure", password], capture_output=True, text=True,
                          check=True, timeout=30).stdout.strip()


def rclone_flags(transfers: int, checkers: int, target: Target) -> list[str]:
    """rclone's settings on `target`: its connection pool one more than its transfers and
    checkers together, as its FTP documentation asks (fewer can deadlock), and on vsftpd the
    setting that documentation names for that server's way of setting a file's time."""
    return [f"--transfers={transfers}", f"--checkers={checkers}",
            f"--ftp-concurrency={transfers + checkers + 1}",
            *(["--ftp-writing-mdtm"] if target.server == "vsftpd" else [])]


def rclone(transfers: int, checkers: int,
           *extra: str) -> Callable[[Target, Dataset, str, Path], Invocation]:
    def build(target: Target, data: Dataset, remote: str, scratch: Path) -> Invocation:
        # An empty configuration file: no remote or setting from a home folder, every setting
        # on the command line (an on-the-fly :ftp: remote).
        config = scratch / "rclone-empty.conf"
        config.touch()
        return Invocation(["rclone", "--config", str(config), "copy", str(data.root),
                           f":ftp:{remote}", f"--ftp-host={target.host}",
                           f"--ftp-port={target.port}", f"--ftp-user={target.user}",
                           f"--ftp-pass={obscured(target.password)}",
                           *rclone_flags(transfers, checkers, target), *extra])
    return build


RCLONE = "rclone --config EMPTY copy"
# On vsftpd each rclone row also has --ftp-writing-mdtm (rclone_flags).
RCLONE_1 = "--transfers=1 --checkers=1 --ftp-concurrency=3"
RCLONE_4 = "--transfers=4 --checkers=8 --ftp-concurrency=13"


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
    Tool("rclone-1", f"{RCLONE} {RCLONE_1}", False, 1, rclone(1, 1), tls=False),
    Tool("rclone-4", f"{RCLONE} {RCLONE_4}", False, 4, rclone(4, 8), tls=False),
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
    # rclone's default: a file whose size or time differs from the remote copy's is sent again.
    Tool("rclone-1", f"{RCLONE} {RCLONE_1}", False, 1, rclone(1, 1), tls=False),
    Tool("rclone-4", f"{RCLONE} {RCLONE_4}", False, 4, rclone(4, 8), tls=False),
    # What its documentation offers where the times do not tell: sizes alone, which cannot see
    # a change that keeps the size; or sending only what is newer than the remote copy.
    Tool("rclone-4-size-only", f"{RCLONE} {RCLONE_4} --size-only", False, 4,
         rclone(4, 8, "--size-only"), tls=False),
    Tool("rclone-4-update", f"{RCLONE} {RCLONE_4} --update", False, 4,
         rclone(4, 8, "--update"), tls=False),
]
