"""What a run must have left on the server, and what the server and the program said about it."""
from __future__ import annotations

import json
import re
import statistics
import time
from pathlib import Path

from .datasets import Dataset, Redeploy, digests_of, parse_manifest
from .servers import Target
from .settings import MANIFEST

BOOKKEEPING = ".ftpupload-"  # the program's own entries at the top of the remote folder


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
    its log; the program's bookkeeping (the manifest, under its own name or a temporary one, and
    the lock of a deploy in progress, all named .ftpupload-…) is not counted."""
    if target.upload_log is None:
        return None
    text = log_since(target.upload_log, offset)
    if target.server == "pyftpdlib":
        paths = re.findall(r"\b(?:STOR|STOU|APPE) (.*?) completed=1 bytes=", text)
    else:
        paths = re.findall(r'OK UPLOAD: Client "[^"]*", "([^"]*)"', text)
    inside = [path.partition(f"/{remote}/")[2] for path in paths if f"/{remote}/" in path]
    return sum(1 for name in inside if not name.startswith(BOOKKEEPING)
               and not name.rpartition("/")[2].startswith(MANIFEST))


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

