"""Local trees to upload, what arrived on a server, and the progress lines of a run."""
from __future__ import annotations

import random
import re
from pathlib import Path

from program import info

MIB = 1024 * 1024


def random_bytes(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


def make_tree(root: Path, files: dict[str, bytes]) -> Path:
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    return root


def arrived(root: Path) -> dict[str, bytes]:
    """Every file below root, by its path relative to root."""
    return {path.relative_to(root).as_posix(): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


def arrived_folders(root: Path) -> set[str]:
    return {path.relative_to(root).as_posix() for path in root.rglob("*") if path.is_dir()}


PROGRESS = re.compile(r"uploading (?P<name>.*) (?P<sent>\d+)/(?P<size>\d+)")


def take_progress(lines: list[str], name: str, size: int, code: str = "500",
                  text: str = "") -> list[str]:
    """Checks the progress lines of one complete transfer at the head of `lines` and returns
    the lines after them: counts that never fall, and the full size shown twice at the end
    (the last data send and the end-of-stream pass), or once for an empty file."""
    counts = []
    suffix = info("", code, text)
    while lines:
        body = lines[0][:-len(suffix)] if lines[0].endswith(suffix) else None
        match = PROGRESS.fullmatch(body) if body is not None else None
        if not match or match["name"] != name:
            break
        assert int(match["size"]) == size, lines[0]
        counts.append(int(match["sent"]))
        lines = lines[1:]
    assert counts, f"no progress lines for {name}; next: {lines[:1]}"
    assert counts == sorted(counts) and counts[-1] == size, f"{name}: {counts[-5:]}"
    assert counts.count(size) == (1 if size == 0 else 2), f"{name}: {counts[-5:]}"
    return lines
