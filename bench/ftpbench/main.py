"""Setting up (packages, the program's options, R′'s manifest), then every variant in turn."""
from __future__ import annotations

import argparse
import dataclasses
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .checks import hashing_estimate
from .datasets import ON_REQUEST, REDEPLOYS, Redeploy, datasets, digests_of, parse_manifest
from .render import Context, loadavg, render
from .runs import RCLONE_WHY, Bench, rclone_reasons
from .servers import (VARIANTS, Variant, BenchServer, greeting_time, make_certificate,
                      relay_self_check, round_trip_ms, tls_probe)
from .settings import BENCH, EXE, MANIFEST, ORDER_SEED, PACKAGES, QUICK, SERVER_HOST
from .tools import KNOWN_OPTIONS, REDEPLOY_TOOLS, TOOLS


def ensure_packages() -> None:
    missing = [package for package, program in PACKAGES.items()
               if not (os.path.exists(program) if program.startswith("/")
                       else shutil.which(program))]
    if not missing:
        return
    print(f"installing: {' '.join(missing)}", flush=True)
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    # A mirror in the middle of a sync fails one index now and then; a stale index still lets
    # the install go on, and the install says when it cannot.
    for _ in range(3):
        if subprocess.run(["apt-get", "update"], env=environment, timeout=600).returncode == 0:
            break
    subprocess.run(["apt-get", "install", "-y", *missing], check=True, env=environment,
                   timeout=1200)


def usage_text() -> str:
    try:
        out = subprocess.run([str(EXE), "--help"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return out.stdout + out.stderr


def seed_manifest(data: Redeploy, work: Path, lock_dir: Path) -> None:
    """The manifest that an earlier ftpupload deploy of the original tree left: one untimed
    deploy with --checksum=true to a pyftpdlib server on loopback. Every run then starts from a
    copy of it, as from the files. Should that deploy fail, the manifest written in sha256sum's
    format stays, and the note says so."""
    server = BenchServer(Variant("seed", "seed", [], server="pyftpdlib"), work, None)
    try:
        target = server.start(lock_dir)
        remote = target.root / "seed"
        remote.mkdir()
        argv = [str(EXE), f"--local={data.before}", f"--host={target.host}",
                f"--port={target.port}", f"--username={target.user}",
                f"--password={target.password}", "--remote=seed", "--pacing=false",
                "--connections=4", "--skip-unchanged=true", "--checksum=true"]
        out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
        got = digests_of(remote, {MANIFEST})
        manifest = remote / MANIFEST
        if out.returncode != 0 or got != digests_of(data.before) or not manifest.is_file():
            data.manifest_source += (f" (the untimed ftpupload deploy failed: exit "
                                     f"{out.returncode}, {len(got)} files, manifest "
                                     f"{'present' if manifest.is_file() else 'missing'})")
            return
        made = manifest.read_bytes()
        listed = parse_manifest(made.decode(errors="replace"))
        same = "identical to" if made == data.manifest else \
            "the same digests as" if listed == digests_of(data.before) else "NOT matching"
        data.manifest, data.manifest_source = made, (
            f"left by one untimed `ftpupload --checksum=true --skip-unchanged=true` deploy of "
            f"the original tree, {same} sha256sum's listing of it")
    finally:
        server.stop()



def main(description: str) -> int:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--tls", action="store_true", help="also measure over TLS")
    args = parser.parse_args()
    with_tls = args.tls or os.environ.get("BENCH_TLS", "") not in ("", "0")
    wanted = [t.strip() for t in os.environ.get("BENCH_TOOLS", "").split(",") if t.strip()]
    tools = [tool for tool in TOOLS if not wanted or tool.key in wanted]
    redeploy_tools = [tool for tool in REDEPLOY_TOOLS if not wanted or tool.key in wanted]
    all_sets = datasets()
    wanted_sets = [k.strip() for k in os.environ.get("BENCH_DATASETS", "").split(",")
                   if k.strip()]
    if any(key not in all_sets for key in wanted_sets):
        print(f"bench: BENCH_DATASETS takes {', '.join(all_sets)}", file=sys.stderr)
        return 2
    # R′ takes the better part of an hour (its peers store every file again through the
    # relay), so it runs only when named.
    chosen = wanted_sets or [key for key in all_sets if key not in ON_REQUEST]
    variants = [dataclasses.replace(v, datasets=[k for k in v.datasets if k in chosen])
                for v in VARIANTS if with_tls or not v.tls]
    variants = [v for v in variants if v.datasets]
    sets = {key: data for key, data in all_sets.items()
            if any(key in v.datasets for v in variants)}
    default_out = BENCH / ("results-quick.md" if QUICK else
                           f"results-{'-'.join(wanted_sets)}.md" if wanted_sets else "results.md")
    out_path = Path(os.environ.get("BENCH_OUT", str(default_out)))

    if os.geteuid() != 0:
        print("bench: run as root (it installs packages and creates vsftpd's local user)",
              file=sys.stderr)
        return 2
    if not EXE.is_file():
        print(f"bench: {EXE} is missing; `make bench` builds it, or set FTPUPLOAD_EXE",
              file=sys.stderr)
        return 2
    ensure_packages()

    notes = []
    usage = usage_text()
    KNOWN_OPTIONS.update(option for option in ("--pacing", "--connections", "--tls-fingerprint",
                                               "--skip-unchanged", "--checksum", "--report")
                         if option in usage)
    needed = ["--pacing", "--connections"] + (["--tls-fingerprint"] if with_tls else []) + (
        ["--skip-unchanged"] if any(key in REDEPLOYS for key in sets) else [])
    unknown = [option for option in needed if option not in KNOWN_OPTIONS]
    if "--pacing" in unknown and not QUICK and os.environ.get("BENCH_FORCE", "") in ("", "0"):
        # Paced, 1000 files take well over an hour; each row would only run into its time-out.
        tools = [tool for tool in tools if not tool.ours]
        redeploy_tools = [tool for tool in redeploy_tools if not tool.ours]
        notes.append(f"this ftpupload's usage text lacks {', '.join(unknown)}, so its unpaced "
                     "rows were left out (BENCH_FORCE=1 runs them anyway)")
    elif unknown:
        notes.append(f"this ftpupload's usage text lacks {', '.join(unknown)}; it ignores "
                     "options it does not know, so its rows may include its fixed pauses, use "
                     "one connection, fail over TLS or store every file of R again")
    run_paced = not wanted or "paced" in wanted

    load_before = loadavg()
    started = time.monotonic()
    work = Path(tempfile.mkdtemp(prefix="ftpupload-bench-", dir="/dev/shm"))
    work.chmod(0o755)  # vsftpd's user must walk down to the login folders
    servers: list[BenchServer] = []
    try:
        print(f"generating datasets in {work}", flush=True)
        for data in sets.values():
            data.generate(work / "data")
        cert = make_certificate(work) if with_tls else None
        bench = Bench(work, random.Random(ORDER_SEED))
        results: dict[str, tuple[Variant, dict]] = {}
        rtt_notes: list[str] = []
        tls_probes: dict[str, str] = {}
        hashing: dict[str, float] = {}
        paced = None
        rclone_notes: list[str] = []
        for data in sets.values():
            if isinstance(data, Redeploy) and data.touched:
                if "--checksum" in KNOWN_OPTIONS:
                    seed_manifest(data, work, work / "locks")
                hashing[data.key] = hashing_estimate(data)
                print(f"{data.name}: manifest {data.manifest_source}; hashing the tree here "
                      f"takes {hashing[data.key] * 1000:.0f} ms", flush=True)
        if any(variant.one_way_ms for variant in variants):
            rtt_notes.append(relay_self_check())
            print(rtt_notes[-1], flush=True)
        for variant in variants:
            server = BenchServer(variant, work, cert)
            servers.append(server)
            target = server.start(work / "locks")
            print(f"{variant.title}: {variant.server} on {SERVER_HOST}:{target.port}, "
                  f"clients use {target.host}", flush=True)
            if variant.one_way_ms:
                relayed = round_trip_ms(target.host, target.port)
                direct = round_trip_ms(SERVER_HOST, target.port)
                greet = greeting_time(target.host, target.port) or float("nan")
                greet_direct = greeting_time(SERVER_HOST, target.port) or float("nan")
                rtt_note = (f"relay check, {variant.server}: NOOP round trip {relayed:.1f} ms "
                            f"through the relay, {direct:.2f} ms direct; connect to greeting "
                            f"{greet * 1000:.1f} ms through the relay, "
                            f"{greet_direct * 1000:.1f} ms direct (over a real link: 2 RTT "
                            f"more, {4 * variant.one_way_ms:g} ms)")
                print(rtt_note, flush=True)
                # The relay is the same for every variant; one line per server says enough.
                if not any(note.startswith(f"relay check, {variant.server}:")
                           for note in rtt_notes):
                    rtt_notes.append(rtt_note)
            if variant.tls and cert is not None:
                tls_probes[variant.key] = tls_probe(target.host, target.port, cert[0])
                print(f"TLS probe: {tls_probes[variant.key]}", flush=True)
            if variant.redeploy:
                variant_tools = redeploy_tools
            else:
                variant_tools = [t for t in tools if t.tls or not variant.tls]
            results[variant.key] = (variant, bench.measure(variant, target, variant_tools, sets))
            if variant.redeploy and any(t.key.startswith("rclone") for t in variant_tools):
                # Why rclone stores files again, in its own words, once per server and dataset.
                for key in variant.datasets:
                    rclone_notes.append(f"{sets[key].name}, " + rclone_reasons(
                        target, sets[key], bench.logs))
                    print(f"rclone, {rclone_notes[-1]}", flush=True)
            if variant.key == "loopback" and run_paced:
                paced = bench.paced(target)
                print(f"  paced run: {paced[0].seconds:.2f} s, floor {paced[1]:.2f} s "
                      f"{paced[0].failure}", flush=True)
            server.stop()
        if rclone_notes:
            notes.append("Why rclone stores files again, from one untimed `copy --dry-run -vv` "
                         "with the 4-transfer settings onto the remote folder as the earlier "
                         "deploy left it, per dataset and server: " + "; ".join(rclone_notes)
                         + ". " + RCLONE_WHY)
        load_after = loadavg()
        report = render(results, sets, tools, redeploy_tools, paced,
                        Context(rtt_notes, notes, tls_probes, hashing),
                        load_before, load_after, time.monotonic() - started)
        print()
        print(report)
        out_path.write_text(report)
        print(f"written to {out_path}")
    finally:
        for server in servers:
            server.stop()
        if os.environ.get("BENCH_KEEP", "") in ("", "0"):
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"work folder kept: {work}")
    return 0

