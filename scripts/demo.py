"""`make demo`: uploads sample/ to a throw-away FTP server on this machine and shows what arrived.

The server is pyftpdlib on 127.0.0.1, on a port the system picks, serving a temporary folder to
a demo user; it is stopped at the end. First the paced run of the sample; then a fast deploy of a
copy of it to another folder and, after one file of the copy changed, the re-deploy that sends
only that file. Exits non-zero unless every run succeeded and each remote tree is exactly its
local tree without the files the demo keeps back.
"""
from __future__ import annotations

import fnmatch
import hashlib
import shutil
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from program import run_on_terminal  # noqa: E402
from servers import PyFtpdServer  # noqa: E402

PROGRAM = REPO / "build" / "ftpupload"
SAMPLE = REPO / "sample"
EXCLUDE = "*.tmp"
USER, PASSWORD = "demo", "demo-pass"


def expected_files(local: Path = SAMPLE) -> dict[str, bytes]:
    """The tree as it should arrive: no hidden entries, nothing that matches the exclusion."""
    wanted = {}
    for path in sorted(local.rglob("*")):
        relative = path.relative_to(local)
        if not path.is_file() or any(part.startswith(".") for part in relative.parts):
            continue
        if fnmatch.fnmatch(path.name, EXCLUDE):
            continue
        wanted[relative.as_posix()] = path.read_bytes()
    return wanted


def tree(root: Path) -> dict[str, bytes]:
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


def show(chunk: bytes) -> None:
    sys.stdout.buffer.write(chunk.replace(b"\r\n", b"\n"))
    sys.stdout.buffer.flush()


def digest(content: bytes) -> str:
    return hashlib.sha256(content).hexdigest()[:16]


def report(wanted: dict[str, bytes], got: dict[str, bytes]) -> bool:
    print("\nWhat arrived on the server (size, SHA-256 prefix, compared with the local tree):")
    identical = True
    for name in sorted(set(wanted) | set(got)):
        if name not in got:
            state, identical = "MISSING", False
        elif name not in wanted:
            state, identical = "NOT EXPECTED", False
        elif got[name] != wanted[name]:
            state, identical = "DIFFERS", False
        else:
            state = "identical"
        content = got.get(name, wanted.get(name, b""))
        print(f"  {name:<28} {len(content):>6} bytes  {digest(content)}  {state}")
    kept_back = sorted(p.relative_to(SAMPLE).as_posix() for p in SAMPLE.rglob("*")
                       if p.is_file() and p.relative_to(SAMPLE).as_posix() not in wanted)
    print("Kept at home, as intended: " + ", ".join(kept_back))
    return identical


def run(command: list[str]) -> int:
    print("Running: " + " ".join(command) + "\n")
    started = time.monotonic()
    status = run_on_terminal(command, show, merge_stderr=True)
    print(f"\nftpupload ended with status {status} after {time.monotonic() - started:.1f} s")
    return status


def main() -> int:
    if not PROGRAM.is_file():
        print(f"{PROGRAM} is missing; `make demo` builds it first", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="ftpupload-demo-") as temp:
        root = Path(temp) / "server"
        (root / "site").mkdir(parents=True)
        with PyFtpdServer(root, Path(temp) / "server.log", USER, PASSWORD) as server:
            login = [f"--host={server.host}", f"--port={server.port}", f"--username={USER}",
                     f"--password={PASSWORD}", f"--exclude={EXCLUDE}"]
            print(f"Throw-away FTP server on {server.host}:{server.port}, user {USER}.")
            print("\n1. The paced run: two seconds after each step, one time-out (here 1 s) after each file.")
            status = run([str(PROGRAM), f"--local={SAMPLE}", *login, "--remote=/site", "--timeout=1"])
            good = status == 0 and report(expected_files(), tree(root / "site"))

            copy = Path(temp) / "site"
            shutil.copytree(SAMPLE, copy)
            deploy = [str(PROGRAM), f"--local={copy}", *login, "--remote=/www", "--pacing=false",
                      "--connections=4", "--skip-unchanged=true", "--delete=true", "--atomic=true"]
            print("\n2. A fast deploy of a copy to /www (the folder is created):")
            good = run(deploy) == 0 and good
            notes = copy / "notes.txt"
            notes.write_bytes(notes.read_bytes() + b"One more line.\n")
            print("\n3. notes.txt changed; the re-deploy sends only it, the rest is unchanged:")
            good = run(deploy) == 0 and good
            good = report(expected_files(copy), tree(root / "www")) and good
    if good:
        print("\nEvery upload arrived complete and identical.")
        return 0
    print("\nAn upload did NOT arrive as expected.", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
