"""The benchmark's settings, from the environment (bench/bench.py lists them), and its constants."""
from __future__ import annotations

import os
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BENCH = REPO / "bench"
# The server launchers are those of the end-to-end tests (tests/e2e/servers.py).
E2E = REPO / "tests" / "e2e"
if str(E2E) not in sys.path:
    sys.path.insert(0, str(E2E))

PYTHON = "/usr/bin/python3"
MIB = 1024 * 1024
KIB = 1024
READY_LIMIT = 20
PASSIVE_COUNT = 64  # passive ports per server: four sessions of several tools at once
SERVER_HOST = "127.0.0.1"
RELAY_HOST = "127.0.0.2"  # the relay listens here on the same port numbers as the server
ONE_WAY_MS = 10

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
RUNS = int(os.environ.get("BENCH_RUNS", "1" if QUICK else "5"))
WARMUPS = 1  # per tool and dataset, run before the timed ones and left out of the figures
PRUNE = os.environ.get("BENCH_PRUNE", "1") not in ("", "0")
# Each ftpupload run also writes its timed dialogue, to see where a run's round trips go; it
# costs a line per command, so the figures of such a run are not the ones to quote.
TRACE = os.environ.get("BENCH_TRACE", "") not in ("", "0")
# A competing setting is dropped only when its warm-up took this much longer than the fastest
# one's: closer than that, one run cannot tell them apart, and both go on.
PRUNE_MARGIN = 1.25
# The order of the tools in each round; the report names the seed, so an order can be redone.
ORDER_SEED = int(os.environ.get("BENCH_SEED", str(time.time_ns() % 1_000_000)))
EXE = Path(os.environ.get("FTPUPLOAD_EXE", str(REPO / "build" / "ftpupload"))).resolve()
PACKAGES = {"vsftpd": "/usr/sbin/vsftpd", "lftp": "lftp", "ncftp": "ncftpput", "curl": "curl",
            "openssl": "openssl", "python3-pyftpdlib": "/usr/lib/python3/dist-packages/pyftpdlib",
            "rclone": "rclone"}
PYFTPD_USER, PYFTPD_PASSWORD = "bench", "bench-pass-4Rd"
DAY = 24 * 3600
REDEPLOY_SEED = 20261209
MANIFEST = ".ftpupload-manifest"  # what --checksum=true keeps in the remote folder
