"""What the benchmark uploads: the first uploads (A, B, C, B200) and the re-deploys (R, R′)."""
from __future__ import annotations

import hashlib
import os
import random
import re
import time
from dataclasses import dataclass, field
from pathlib import Path

from .settings import DAY, KIB, MANIFEST, MIB, QUICK, REDEPLOY_SEED

REDEPLOYS = ("R", "R2")
ON_REQUEST = ("R2",)  # datasets that run only when BENCH_DATASETS names them


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
            "R": Redeploy("R", "s", redeploy_layout(40, 4), 120, folders=4, changes=3),
            "R2": touched_redeploy(redeploy_layout(40, 4), 120, folders=4, changes=3),
        }
    return {
        "A": Dataset("A", "MiB/s", [("big.bin", 256 * MIB)], 180),
        "B": Dataset("B", "files/s", spread(1000, 10, 4 * KIB), 240),
        "C": Dataset("C", "MiB/s", two_levels(10, 10 * MIB), 120),
        "B200": Dataset("B200", "files/s", spread(200, 10, 4 * KIB), 240),
        # A setting that stores all 2000 files again, one at a time, takes minutes.
        "R": Redeploy("R", "s", redeploy_layout(2000, 40), 900, folders=40, changes=10),
        # Its peers store all 2000 files again through the relay: minutes per run.
        "R2": touched_redeploy(redeploy_layout(2000, 40), 900, folders=40, changes=10),
    }


def touched_redeploy(layout: list[tuple[str, int]], timeout: float, folders: int,
                     changes: int) -> Redeploy:
    """R′: R's tree and changes, but every local file touched since the deploy."""
    return Redeploy("R2", "s", layout, timeout, ours_extra=("--checksum=true",),
                    needs=("--checksum",), folders=folders, changes=changes, name="R′",
                    touched=True)



def digests_of(root: Path, leave_out: set[str] = frozenset()) -> dict[str, str]:
    found = {}
    for path in root.rglob("*"):
        name = path.relative_to(root).as_posix()
        if path.is_file() and name not in leave_out:
            with open(path, "rb") as source:
                found[name] = hashlib.file_digest(source, "sha256").hexdigest()
    return found

