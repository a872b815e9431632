"""Runs: each tool's timed uploads in shuffled rounds after a warm-up, each checked."""
from __future__ import annotations

import json
import os
import random
import re
import select
import shutil
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

from servers import stop_process_group

from .checks import (completed_uploads, file_states, manifest_check, redeploy_check,
                     report_hash_seconds, tail, tls_versions, verify)
from .datasets import Dataset, Redeploy
from .servers import Target, Variant
from .settings import EXE, KIB, MANIFEST, PRUNE, PRUNE_MARGIN, RUNS, WARMUPS
from .tools import KNOWN_OPTIONS, Invocation, Tool, rclone


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
        remote_path = lay_down(target, data, remote)
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
                    elif warmup and run.failure and not tool.ours:
                        # A peer's setting that fails the checks fails them every time (the
                        # same tree, the same remote state): its warm-up's figure and reason
                        # say it, and five more runs of a re-deploy that stores every file
                        # again would cost many minutes.
                        cell.skipped = "not run further after its warm-up failed"
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


def lay_down(target: Target, data: Redeploy, remote: str) -> Path:
    """The remote folder as the earlier deploy left it, laid straight into the server's folder:
    uploading it through the relay would cost each tool minutes per run, and so every tool starts
    from the same remote state. Its files carry the time of that upload, as a server stamps a
    store."""
    remote_path = target.root / remote
    shutil.copytree(data.before, remote_path)
    if data.touched:
        (remote_path / MANIFEST).write_bytes(data.manifest)
    owner = target.root.stat()
    for path in [remote_path, *remote_path.rglob("*")]:
        os.chown(path, owner.st_uid, owner.st_gid)
        if path.is_file():
            os.utime(path, (data.deployed, data.deployed))
    return remote_path


def rclone_reasons(target: Target, data: Redeploy, scratch: Path) -> str:
    """Why rclone would store each file of the re-deploy again, in its own words: one untimed
    `copy --dry-run -vv` onto the remote folder as the earlier deploy left it, and the time
    precision and hashes `rclone backend features` reports for the server."""
    remote = f"rclone-why-{data.key}"
    remote_path = lay_down(target, data, remote)
    try:
        words = rclone(4, 8)(target, data, remote, scratch).argv
        at = words.index("copy")
        options = words[at + 3:]
        features = subprocess.run([*words[:at], "backend", "features", f":ftp:{remote}",
                                   *options], capture_output=True, text=True, timeout=120)
        found = json_or_empty(features.stdout)
        dry = subprocess.run([*words, "--dry-run", "-vv"], capture_output=True, text=True,
                             timeout=data.timeout)
    finally:
        shutil.rmtree(remote_path, ignore_errors=True)
    log = dry.stdout + dry.stderr
    would = len(re.findall(r"Skipped copy as --dry-run is set", log))
    reasons = [f"{count} “{phrase}”" for phrase in ("Sizes differ", "Modification times differ")
               if (count := len(re.findall(rf": {phrase}", log)))]
    precision = found.get("Precision")
    seconds = f"{precision / 1e9:g} s" if isinstance(precision, int) else "?"
    return (f"{target.server}: it would store {would} of {len(data.layout)} files, for "
            f"{', '.join(reasons) or 'no reason it names'}; `rclone backend features`: time "
            f"precision {seconds}, hashes {found.get('Hashes') or 'none'}")


RCLONE_WHY = (
    "rclone takes a file as unchanged only when its size and its modification time both match "
    "the remote copy's. The remote copies carry the time of the earlier deploy's upload, as a "
    "server stamps a store, not the local file's time that rclone sets (MFMT, or MDTM with "
    "--ftp-writing-mdtm on vsftpd) on the files it stores itself; FTP gives it no hash to "
    "settle the difference, so it stores every file again. "
    "`--size-only` cannot see a change that keeps the size; `--update` stores only what is "
    "newer than the remote copy: on R that is the changed files, on R′ (every file touched) "
    "every file")

def json_or_empty(text: str) -> dict:
    try:
        found = json.loads(text)
    except ValueError:
        return {}
    return found if isinstance(found, dict) else {}


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

