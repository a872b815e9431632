"""The report: the tables in markdown, the goal lines, and what the figures were measured with."""
from __future__ import annotations

import os
import platform
import re
import statistics
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from .datasets import REDEPLOYS, Dataset, Redeploy
from .runs import Cell
from .servers import Variant
from .settings import EXE, MANIFEST, ORDER_SEED, QUICK, REPO, RUNS, WARMUPS
from .tools import Tool


def fmt_rate(value: float) -> str:
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def fmt_ratio(value: float) -> str:
    return f"{value:.2f}" if value >= 0.1 else f"{value:.2g}"


def median_rate(cell: Cell | None, data: Dataset) -> float | None:
    if cell is None or not cell.ok():
        return None
    return statistics.median(cell.rates(data))


def best(cells: dict, data: Dataset, tools: list[Tool]) -> tuple[Tool | None, float | None]:
    found: tuple[Tool | None, float | None] = (None, None)
    for tool in tools:
        rate = median_rate(cells.get((data.key, tool.key)), data)
        if rate is not None and (found[1] is None or data.speedup(rate, found[1]) > 1):
            found = (tool, rate)
    return found


def cell_text(cell: Cell | None, data: Dataset, reference: float | None) -> str:
    if cell is None:
        return "–"
    rates = cell.rates(data)
    text = ""
    if rates:
        median = statistics.median(rates)
        text = f"{fmt_rate(median)} ({fmt_rate(min(rates))}–{fmt_rate(max(rates))})"
        if reference and cell.ok():
            text += f" **×{fmt_ratio(data.speedup(median, reference))}**"
    if cell.failures or cell.skipped:
        # A failed run's figure stands beside its reason: a fast run that failed its checks
        # says as much as a slow one.
        failed_figures = [data.rate(run.seconds) for run in cell.warmups + cell.runs
                          if run.failure and "timed out" not in run.failure]
        at = f" at {figure_span(failed_figures)}" if failed_figures else ""
        failed = f"FAILED {len(cell.failures)}/{len(cell.warmups) + len(cell.runs)}{at}: " \
            f"{cell.failures[0]}" \
            if cell.failures else ""
        if cell.skipped:
            failed += f" ({cell.skipped})"
        text = f"{text} {failed}".strip()
    return text.replace("|", "\\|")


def figure_span(figures: list[float]) -> str:
    median = statistics.median(figures)
    if len(figures) == 1:
        return fmt_rate(median)
    return f"{fmt_rate(median)} ({fmt_rate(min(figures))}–{fmt_rate(max(figures))})"


def ratio_line(what: str, ours: tuple[Tool | None, float | None],
               theirs: tuple[Tool | None, float | None], data: Dataset, measured: bool) -> str:
    if not measured:
        return f"- {what}: n/a (ftpupload not measured)"
    if ours[1] is None or theirs[1] is None:
        missing = "ftpupload" if ours[1] is None else "no peer"
        return f"- {what}: n/a ({missing} without a complete, verified figure)"
    unit = data.unit
    return (f"- {what}: {ours[0].label_for(data)} {fmt_rate(ours[1])} {unit} vs "
            f"{theirs[0].label} "
            f"{fmt_rate(theirs[1])} {unit} = **×{fmt_ratio(data.speedup(ours[1], theirs[1]))}**")


def tool_version(argv: list[str]) -> str:
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    found = re.search(r"\d+\.\d+(\.\d+)?", out.stdout + out.stderr)
    return found.group(0) if found else "?"


def program_version() -> str:
    """The measured executable's own --version, and the source tree it sits in (commit, and
    whether that tree has changes of its own)."""
    try:
        out = subprocess.run([str(EXE), "--version"], capture_output=True, text=True,
                             timeout=10)
        version = " / ".join(line.strip() for line in (out.stdout + out.stderr).splitlines()
                             if line.strip()) or f"(no output, exit {out.returncode})"
    except (OSError, subprocess.TimeoutExpired) as error:
        version = f"(--version failed: {error})"
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(EXE.stat().st_mtime))

    def git(*words: str) -> str:
        try:
            return subprocess.run(["git", "-C", str(EXE.parent), *words], capture_output=True,
                                  text=True, timeout=10).stdout.rstrip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    top = git("rev-parse", "--show-toplevel")
    if not top:
        # A copy measured so that the tree can be rebuilt meanwhile: say where the bench ran from.
        here = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short=12", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        tree = f"not inside a git tree (the benchmark ran from {REPO} at commit {here or 'unknown'})"
    else:
        changed = [line[3:] for line in git("status", "--porcelain",
                                            "--untracked-files=no").splitlines()]
        state = (f"dirty: {len(changed)} changed file(s), {', '.join(changed[:4])}"
                 f"{' …' if len(changed) > 4 else ''}" if changed else "clean")
        tree = (f"tree {top} at {git('describe', '--always', '--long', '--dirty')} "
                f"(commit {git('rev-parse', 'HEAD')[:12]}, branch "
                f"{git('rev-parse', '--abbrev-ref', 'HEAD')}, {state})")
    return f"`{version}` — {EXE}, file dated {built}, {tree if not top else 'in the ' + tree}"


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.machine()


def loadavg() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])



@dataclass
class Context:
    """What the report says besides the figures."""
    rtt_notes: list[str]
    notes: list[str]
    tls_probes: dict[str, str]  # variant key: what a Python client negotiated with its server
    hashing: dict[str, float]  # dataset key: seconds to hash its tree in this process


def goal_lines(variant: Variant, data: Dataset, cells: dict, tools: list[Tool],
               peer_word: str) -> list[str]:
    ours = [t for t in tools if t.ours]
    peers = [t for t in tools if not t.ours]

    def goal(what: str, ours_here: list[Tool], theirs: list[Tool]) -> str:
        measured = any((data.key, tool.key) in cells for tool in ours_here)
        return ratio_line(f"{data.title}, {variant.title}: {what}",
                          best(cells, data, ours_here), best(cells, data, theirs), data,
                          measured)

    if not variant.one_way_ms:
        return [goal(f"ftpupload's best setting vs best {peer_word}", ours, peers)]
    # Like for like first: as many connections on each side.
    lines = [goal(f"ftpupload, {n} connection{'s' if n > 1 else ''}, vs best {peer_word} with "
                  f"{n}", [t for t in ours if t.connections == n],
                  [t for t in peers if t.connections == n])
             for n in sorted({t.connections for t in ours})]
    lines.append(goal(f"ftpupload's best setting vs best of all {peer_word}s", ours, peers))
    return lines


def tls_text(cell: Cell | None) -> str:
    versions = sorted({version for run in (cell.runs if cell else []) if run.tls
                       for version in run.tls.split(", ")})
    return f" · {'/'.join(versions)}" if versions else ""


def render(results: dict[str, tuple[Variant, dict]], sets: dict[str, Dataset], tools: list[Tool],
           redeploy_tools: list[Tool], paced, context: Context,
           load_before: str, load_after: str, elapsed: float) -> str:
    columns = [(variant, sets[key]) for variant, _ in results.values() if not variant.redeploy
               for key in variant.datasets]
    lines = [f"# ftpupload benchmark{' (BENCH_QUICK: tiny datasets)' if QUICK else ''}", ""]
    lines.append(f"Measured: {program_version()}.")
    lines.append("")
    lines.append(f"{time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} × {cpu_model()}, "
                 f"Linux {platform.release()}; median of {RUNS} run(s), (min–max), after "
                 f"{WARMUPS} warm-up run per tool and dataset that counts for no figure; the "
                 f"tools take turns in a shuffled order each round (BENCH_SEED={ORDER_SEED}). "
                 f"**×ratio** to the best peer tool in the same column. "
                 f"Load average before {load_before}, after {load_after}; "
                 f"whole benchmark {elapsed / 60:.1f} min.")
    lines.append("")
    if columns:
        def heading(variant: Variant, data: Dataset) -> str:
            probe = context.tls_probes.get(variant.key)
            offered = f"; a Python client gets {probe}" if probe else ""
            return f"{data.title}, {variant.title} ({data.unit}{offered})"

        header = "| tool | " + " | ".join(heading(v, d) for v, d in columns) + " |"
        lines += [header, "|" + "---|" * (len(columns) + 1)]
        for tool in tools:
            row = [tool.label]
            for variant, data in columns:
                cells = results[variant.key][1]
                reference = best(cells, data, [t for t in tools if not t.ours])[1]
                cell = cells.get((data.key, tool.key))
                if variant.tls and not tool.tls:
                    row.append("no TLS")
                else:
                    row.append(cell_text(cell, data, reference) + tls_text(cell))
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")
        if any(variant.tls for variant, _ in columns):
            lines.append("Beside each TLS figure: the protocol version vsftpd logged for that "
                         "tool's connections (its debug_ssl lines).")
            lines.append("")
        lines.append("Goals:")
        for variant, data in columns:
            lines += goal_lines(variant, data, results[variant.key][1], tools, "peer")
        if paced is not None:
            run, floor, files = paced
            state = f" — FAILED: {run.failure}" if run.failure else ""
            lines.append(f"- Default pacing, {files} files of 1 KiB, `--timeout=1`: "
                         f"{run.seconds:.2f} s "
                         f"against a floor of {floor:.2f} s = **{run.seconds - floor:+.2f} s** "
                         f"over the floor{state}")
        lines.append("")
    redeploys = [(variant, cells) for variant, cells in results.values() if variant.redeploy]
    for key in REDEPLOYS:
        here = [(variant, cells) for variant, cells in redeploys if key in variant.datasets]
        if here:
            lines += render_redeploy(here, sets[key], redeploy_tools, context)
    unsteady = sorted({tool_key for _, cells in results.values()
                       for (key, tool_key), cell in cells.items()
                       if len(cell.rates(sets[key])) > 1
                       and max(cell.rates(sets[key])) > 2 * min(cell.rates(sets[key]))})
    if unsteady:
        curl_stall = (" curl 7.88.1 now and then waits one second before it opens a data "
                      "connection (with --trace-time the gap sits between the passive reply and "
                      "its connect); the median hides that only when few runs meet it.")
        lines.append(f"Unsteady (fastest run over twice the slowest): {', '.join(unsteady)}."
                     + (curl_stall if "curl" in unsteady else ""))
        lines.append("")
    for note in context.rtt_notes:
        lines += [f"{note[0].upper()}{note[1:]}.", ""]
    versions = ["lftp " + tool_version(["lftp", "--version"]),
                f"rclone {tool_version(['rclone', 'version'])} "
                f"(Debian {package_version('rclone')}; every rclone row on vsftpd also with "
                f"--ftp-writing-mdtm)"]
    if columns:
        versions += ["ncftpput " + tool_version(["ncftpput", "-v"]),
                     "curl " + tool_version(["curl", "--version"])]
    versions.append("vsftpd " + package_version("vsftpd"))
    if any(variant.server == "pyftpdlib" for variant, _ in results.values()):
        versions.append("pyftpdlib " + package_version("python3-pyftpdlib"))
    lines.append("Peers and servers: " + "; ".join(versions) + ".")
    for note in context.notes:
        lines += ["", f"Note: {note}."]
    details = ["", "<details><summary>Every run (seconds, in the order run; w: the warm-up)"
                   "</summary>", ""]
    for variant, cells in results.values():
        for (key, tool_key), cell in cells.items():
            runs = ", ".join(
                f"{'w ' if index < len(cell.warmups) else ''}{run.seconds:.2f}"
                f"{f' re-sent {run.resent}' if run.resent is not None else ''}"
                f"{' FAILED ' + run.failure if run.failure else ''}"
                for index, run in enumerate(cell.warmups + cell.runs))
            skipped = f" {cell.skipped}" if cell.skipped else ""
            details.append(f"- {variant.key} {key} {tool_key}: {runs}{skipped}")
    details += ["", "</details>", ""]
    return "\n".join(lines + details)


def resent_text(cell: Cell | None) -> str:
    """Files stored again in the timed runs, and the uploads the server logged for them."""
    # A cell that did not go on after its warm-up: what that run stored.
    runs = [run for run in ((cell.runs or cell.warmups) if cell else []) if run.resent is not None]
    if not runs:
        return "–"

    def span(values: list[int]) -> str:
        return f"{min(values)}" if min(values) == max(values) else f"{min(values)}–{max(values)}"

    logged = [run.logged for run in runs if run.logged is not None]
    return span([run.resent for run in runs]) + (f" (log {span(logged)})" if logged else "")


def hashing_text(cell: Cell | None, data: Redeploy, context: Context) -> str:
    if cell is None or not cell.rates(data):
        return ""
    total = statistics.median(cell.rates(data))
    reported = [run.hash_seconds for run in cell.runs
                if run.hash_seconds is not None and not run.failure]
    if reported:
        source = next(run.hash_source for run in cell.runs if run.hash_seconds is not None)
        return f" · hashing {statistics.median(reported) * 1000:.0f} ms of {total:.2f} s " \
               f"({source})"
    estimate = context.hashing.get(data.key)
    if estimate is None:
        return ""
    return (f" · hashing ≈ {estimate * 1000:.0f} ms of {total:.2f} s (estimate: Python hashlib "
            f"over the same {len(data.layout)} files here; no --report figure)")


def render_redeploy(redeploys: list[tuple[Variant, dict]], data: Redeploy,
                    tools: list[Tool], context: Context) -> list[str]:
    if data.touched:
        what = (f"Every local file has a newer time than its remote copy, as after a fresh "
                f"checkout, and {data.changes} have new content (half of them at the same "
                f"size). The remote folder holds the earlier deploy's manifest `{MANIFEST}` "
                f"({data.manifest_source}). A run counts when every changed file was stored "
                f"again, the server logged as many completed uploads of tree files as files "
                f"were stored again (the manifest is not counted), every remote file's SHA-256 "
                f"equals the local one's, and for ftpupload the manifest names the new tree. "
                f"Storing unchanged files again is no failure here: \"re-sent\" counts them")
    else:
        what = ("A run counts only when exactly the changed files were stored again (inode and "
                "change time of every remote file before and after), the server logged as many "
                "completed uploads, and every remote file's SHA-256 equals the local one's")
    lines = [f"{data.title}: seconds for the upload after the change, median (min–max), "
             f"**×** how many times as fast as the best peer setting on the same server (its "
             f"seconds over these); \"re-sent\": files whose remote copy was stored again "
             f"(inode or change time moved), with the uploads the server logged. "
             f"{what}.", ""]
    lines.append("| setting | " + " | ".join(f"{variant.title} (s) | re-sent"
                                              for variant, _ in redeploys) + " |")
    lines.append("|" + "---|" * (2 * len(redeploys) + 1))
    peers = [t for t in tools if not t.ours]
    for tool in tools:
        row = [tool.label_for(data)]
        for _, cells in redeploys:
            reference = best(cells, data, peers)[1]
            cell = cells.get((data.key, tool.key))
            text = cell_text(cell, data, reference)
            if tool.ours and data.touched:
                text += hashing_text(cell, data, context)
            row += [text, resent_text(cell)]
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    for variant, cells in redeploys:
        lines += goal_lines(variant, data, cells, tools, "peer setting")
        for tool in tools:
            cell = cells.get((data.key, tool.key))
            if tool.ours and cell and cell.runs and data.touched:
                counts = sorted({run.resent for run in cell.runs})
                verdict = "yes" if counts == [data.changes] else f"no, {resent_text(cell)}"
                lines.append(f"- {data.title}, {variant.title}: {tool.label_for(data)} re-sent "
                             f"exactly the {data.changes} changed files in every run: "
                             f"**{verdict}**")
    lines.append("")
    return lines


def package_version(package: str) -> str:
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                         text=True, timeout=10)
    return out.stdout.strip() or "?"

