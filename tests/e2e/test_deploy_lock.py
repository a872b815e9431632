"""What keeps a deploy from doing harm: one run at a time per remote folder, remote times only where
the server keeps them, and no deletion of most of the site."""
import os
import socket
import subprocess
from contextlib import contextmanager
from datetime import datetime, timedelta, timezone

from conftest import RealServer
from program import error
from scripted_ftp import Script, ScriptedFtpServer
from servers import PyFtpdServer, VsftpdServer
from test_deploy import LOCK, deploy, told
from test_scripted_server import run_against
from trees import arrived, arrived_folders, make_tree

# Ten hours ahead of UTC: a server that gives local times makes every remote copy look newer.
ZONE = "LOC-10"


def owner_line(host, pid, ids, started):
    return f"host={host} pid={pid} ids={ids} started={started:%Y-%m-%dT%H:%M:%SZ}"


def own_owner_line(program, tmp_path):
    """The owner line the program writes into its lock, read while the lock is held."""
    owners = []
    local = make_tree(tmp_path / "probe", {"p.txt": b"p"})
    with ScriptedFtpServer(Script(on_stored=lambda path: owners.append(server.files[path])
                                  if path.endswith(f"{LOCK}/owner") else None)) as server:
        run = run_against(program, server, local, "--pacing=false", "--delete=true")
    assert run.status == 0 and len(owners) == 1, run.describe()
    return dict(field.split("=", 1) for field in owners[0].decode().split())


def test_a_held_lock_stops_the_deploy_and_a_stale_one_is_taken_over(program, pyftpd, tmp_path):
    ended = subprocess.Popen(["true"])
    ended.wait()
    mine = own_owner_line(program, tmp_path)
    assert set(mine) == {"host", "pid", "ids", "started"} and mine["ids"] == ("windows" if program.is_wine else "posix")
    # The same machine whichever build names it (the exe under Wine may give it in its own form).
    assert mine["host"].lower() == socket.gethostname().lower() or program.is_wine, mine
    here, ids, now = mine["host"], mine["ids"], datetime.now(timezone.utc)
    cases = [
        (owner_line("elsewhere.example", 4242, "posix", now), "held"),
        # The test's own process runs (for the Windows build an id of the other kind: only its age tells).
        (owner_line(here, os.getpid(), "posix", now), "held"),
        (owner_line(here, ended.pid, ids, now), "taken over"),
        (owner_line("elsewhere.example", 4242, "posix", now - timedelta(days=2)), "taken over"),
        # No owner (a run killed right after making the folder): the folder's own time tells.
        (None, "held"),
        (None, "taken over"),
    ]
    local = make_tree(tmp_path / "site", {"index.html": b"new"})
    for owner, outcome in cases:
        make_tree(pyftpd.arrived, {"gone.txt": b"old"})
        (pyftpd.arrived / LOCK).mkdir()
        if owner:
            (pyftpd.arrived / LOCK / "owner").write_text(owner + "\n")
        elif outcome == "taken over":
            old = (now - timedelta(days=2)).timestamp()
            os.utime(pyftpd.arrived / LOCK, (old, old))
        before = arrived(pyftpd.arrived), arrived_folders(pyftpd.arrived)
        trace = tmp_path / "dialogue.trace"
        trace.unlink(missing_ok=True)
        run = deploy(program, pyftpd, local, "--delete=true", "--skip-unchanged=true", "--connections=2",
                     f"--trace={program.local(trace)}")
        if outcome == "held":
            # Nothing changed, and the second session only logged in (TYPE I is part of it).
            sent = [line.split(" ")[2:5] for line in trace.read_text().splitlines() if line.split(" ")[3] == ">"]
            assert not {verb for _, _, verb in sent} & {"STOR", "DELE", "RMD", "RNFR"}, sent
            assert {verb for who, _, verb in sent if who == "#2"} <= {"USER", "PASS", "CWD", "FEAT", "TYPE", "OPTS", "QUIT"}
            who = owner or "a run whose owner cannot be read (MKD: 550 File exists.)"
            assert run.status == 1 and run.lines[-1] == "uploaded: 0 files", (owner, run.describe())
            assert [line for line in run.lines if line.startswith("error:")] == [error(
                f"remote folder locked by {who}; if no other run is deploying there, delete the folder {LOCK}",
                "500")], run.describe()
            assert (arrived(pyftpd.arrived), arrived_folders(pyftpd.arrived)) == before, owner
            (pyftpd.arrived / LOCK / "owner").unlink(missing_ok=True)
            (pyftpd.arrived / LOCK).rmdir()
        else:
            why = ("its process no longer runs" if owner and "elsewhere" not in owner else
                   "older than 24 hours" if owner else "older than 24 hours by the server's times")
            assert run.status == 0 and run.lines[-1] == "uploaded: 1 files, 1 deleted", (owner, run.describe())
            assert [line.split("\t")[0] for line in run.lines if line.startswith("lock ")] == [
                f"lock {LOCK} taken over from {owner or 'an unknown run'}: {why}"], run.describe()
            assert arrived(pyftpd.arrived) == {"index.html": b"new"} and arrived_folders(pyftpd.arrived) == set()
        (pyftpd.arrived / "index.html").unlink(missing_ok=True)


@contextmanager
def pyftpd_in_local_time(work, _shared_dir):
    root = work / "root"
    (root / "incoming").mkdir(parents=True)
    with PyFtpdServer(root, work / "pyftpd.log", zone=ZONE) as server:
        yield RealServer("pyftpdlib", server.host, server.port, server.user, server.password,
                         "/incoming", root / "incoming", server.log)


@contextmanager
def vsftpd_in_local_time(work, shared_dir):
    with VsftpdServer(work, shared_dir, {"use_localtime": "YES", "mdtm_write": "NO"}, zone=ZONE) as server:
        (server.root / "incoming").mkdir()
        server.root.joinpath("incoming").chmod(0o777)
        yield RealServer("vsftpd", server.host, server.port, server.user, server.password,
                         str(server.root / "incoming"), server.root / "incoming", server.log)


def test_a_server_in_local_time_still_gets_same_size_changes(program, tmp_path, shared_dir):
    for name, start in [("pyftpdlib", pyftpd_in_local_time), ("vsftpd", vsftpd_in_local_time)]:
        (tmp_path / name).mkdir()
        with start(tmp_path / name, shared_dir) as server:
            local = make_tree(tmp_path / name / "site", {"a.txt": b"one", "b.txt": b"two"})
            first = deploy(program, server, local, "--skip-unchanged=true")
            assert first.status == 0 and first.lines[-1] == "uploaded: 2 files", first.describe()
            (local / "a.txt").write_bytes(b"ONE")
            later = os.stat(local / "a.txt").st_mtime + 60
            os.utime(local / "a.txt", (later, later))
            again = deploy(program, server, local, "--skip-unchanged=true")
            assert again.status == 0 and again.lines[-1] == "uploaded: 2 files", (name, again.describe())
            distrust = [line.split("\t")[0] for line in again.lines if line.startswith("times not trusted")]
            assert len(distrust) == 1 and distrust[0].endswith("): 2 files judged unchanged by size and time are sent")
            assert arrived(server.arrived) == {"a.txt": b"ONE", "b.txt": b"two"}, name


def test_max_delete_holds_back_a_deletion_of_most_of_the_site(program, tmp_path):
    local = make_tree(tmp_path / "data", {"keep.txt": b"k"})
    for extra, deleted in [([], False), (["--dry-run=true"], False), (["--max-delete=100%"], True)]:
        with ScriptedFtpServer() as server:
            remote = {f"/www/old{i}.txt": b"o" for i in range(12)}
            server.files.update(remote)
            run = run_against(program, server, local, "--pacing=false", "--delete=true", *extra)
        if deleted:
            assert run.status == 0 and run.lines[-1] == "uploaded: 1 files, 12 deleted", run.describe()
            assert server.files == {"/www/keep.txt": b"k"}
            continue
        assert run.status == 1, (extra, run.describe())
        listed = 12 if extra else 13  # a dry run stores nothing
        assert [line for line in run.lines if line.startswith("error:")] == [
            error(f"delete skipped: 12 of {listed} remote files would go, above --max-delete=50%", "500")], run.describe()
        assert not told(run, "deleted") and not told(run, "would delete"), run.describe()
        assert set(remote) <= set(server.files), extra
