"""`make bench`: how fast ftpupload uploads a folder, beside lftp, ncftpput, curl and rclone.

Everything runs on this machine: a vsftpd of its own on 127.0.0.1 (free ports, a local user,
its login folder on /dev/shm so that the clients are measured, not the disk), datasets of random
bytes on /dev/shm, and for the slow-network rows a relay (relay.py) that delays each direction
by 10 ms. Every upload goes into a fresh empty remote folder and is checked file by file with
SHA-256; a failed check shows in the table. Each figure is the median of several runs (min and
max beside it), taken after one warm-up run per tool and dataset that counts for no figure, with
the tools in a shuffled order in every round; it is also given as a ratio to the best peer tool
of the same column. On the 20 ms rows the goal lines compare like with like first (ftpupload
with 1 connection against the best peer with 1, 4 against 4), then best against best.

Peers run at their best settings: lftp with --norc, mirror -R --no-perms --overwrite (no SITE
CHMOD, no DELE before a store), each with lftp's default ftp:sync-mode and with it off; curl with
-q and --ftp-method nocwd (folders made by quote MKD commands). Of lftp's two sync modes, the
one whose warm-up took over PRUNE_MARGIN times the other's is dropped and its row shows both
warm-up times (BENCH_PRUNE=0 keeps both). rclone runs `copy` with an empty configuration file and
an on-the-fly :ftp: remote, with 1 transfer and 1 checker and with 4 and 8, --ftp-concurrency one
more than both together (its documentation's rule against deadlocks), --ftp-writing-mdtm on
vsftpd; on the re-deploys also --size-only and --update with 4 transfers. A peer's setting whose
warm-up fails its checks is not run further: its cell shows that figure and the reason. The
report's header names the measured binary by its own --version, its file date and the git tree it
sits in (commit, clean or dirty). Beside each
TLS figure stands the protocol version vsftpd logged for that tool's connections (debug_ssl),
and each TLS column names what a Python client negotiates with the same server.

Dataset R is a re-deploy: a tree that was deployed before (laid straight into the server's
folder, not timed) has since changed in a few files, and only the upload that brings the remote
copy up to date is timed: ftpupload with --skip-unchanged=true, lftp with mirror --only-newer,
through the relay, on vsftpd and on a pyftpdlib server (tests/e2e/pyftpd_server.py). Besides
the SHA-256 of every file, each run must have rewritten exactly the changed files on the server,
and the server's log must show as many completed uploads. Its figures are seconds, and beside
each the files stored again.

Dataset R2 (shown as R′) is R after a fresh checkout: every local file touched (newer than its
remote copy), the same 10 with new content. ftpupload adds --checksum=true; the remote folder
also holds the earlier deploy's manifest (.ftpupload-manifest), taken from one untimed
ftpupload deploy of the original tree to a pyftpdlib server on loopback, or written in
sha256sum's format when the build lacks --checksum (its rows then say so instead of running).
lftp stores every file again, which is slow, not wrong; the table counts the files each tool
stored again, and ftpupload's runs must also leave a manifest that names the new tree. Beside
ftpupload's seconds stands its hashing time: from its --report JSON where that has a numeric
key containing "hash", else an estimate, Python's hashlib over the same files here. R2 runs only
when BENCH_DATASETS names it: with every file stored again by each lftp row, it takes about an
hour.

Settings come from the environment:
  FTPUPLOAD_EXE  the program to measure (default build/ftpupload)
  BENCH_QUICK=1  tiny datasets and one run: checks the machinery in a minute or two
  BENCH_RUNS=N   timed runs per figure (default 5, quick 1), after the warm-up
  BENCH_SEED=N   the seed of the shuffled order (default: new each time; the report names it)
  BENCH_PRUNE=0  keep both of lftp's sync modes after the warm-up
  BENCH_TLS=1    also the TLS rows (same as the --tls argument)
  BENCH_TOOLS    comma-separated keys of what to run (default all): the keys in TOOLS and
                 REDEPLOY_TOOLS, and "paced" for the run with the program's default pacing
  BENCH_DATASETS comma-separated dataset keys to run (default all but R2): A, B, C, B200 (B over
                 the slow link), R, R2; "paced" runs with A, B or C
  BENCH_FORCE=1  run ftpupload's unpaced rows even when its usage text lacks --pacing
  BENCH_OUT      where the markdown goes (default bench/results.md, quick bench/results-quick.md;
                 a run of some datasets only: bench/results-KEYS.md, so the full table stays)
  BENCH_KEEP=1   keep the work folder on /dev/shm (logs, configurations) for a look afterwards
  BENCH_TRACE=1  ftpupload also writes --trace=logs/REMOTE.trace (keep them with BENCH_KEEP=1)
Must run as root: it installs missing packages and creates the local user vsftpd logs in.
"""
import sys
from pathlib import Path

# The package beside this file: settings, datasets, servers, tools, runs, checks, render, main.
sys.path.insert(0, str(Path(__file__).resolve().parent))

from ftpbench.main import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(__doc__.splitlines()[0]))
