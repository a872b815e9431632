"""Deploys judged by what the server holds afterwards when the server refuses a step: the live
file survives a refused rename, the checksum manifest never outlives the tree it describes, and
an interrupted deploy leaves nothing incomplete under a real name."""
import functools
import json
import os
import signal
import threading
import time
from contextlib import contextmanager

import pytest

from conftest import RealServer, unpacked
from program import error
from scripted_ftp import Script, ScriptedFtpServer
from servers import ProFtpdServer, PyFtpdServer, VsftpdServer
from test_deploy import MANIFEST, deploy, manifest, moves, now, report, sums, told, with_manifest
from test_scripted_server import HOST, run_against
from trees import MIB, arrived, make_tree, random_bytes

CHECKSUM = ["--skip-unchanged=true", "--checksum=true"]


@contextmanager
def pyftpd_refusing(root, log, *refuse):
    """pyftpdlib on `root` (its files in root/incoming), answering 553 to each VERB[:PREFIX]."""
    (root / "incoming").mkdir(parents=True, exist_ok=True)
    with PyFtpdServer(root, log, refuse=refuse) as server:
        yield RealServer("pyftpdlib", server.host, server.port, server.user, server.password,
                         "/incoming", root / "incoming", server.log)


@pytest.fixture(params=["pyftpdlib", "vsftpd", "proftpd"])
def rename_refused(request, tmp_path, shared_dir):
    """A real server whose policy refuses every RNTO, and the code it refuses with."""
    if request.param == "pyftpdlib":
        with pyftpd_refusing(tmp_path / "pyftpd-root", tmp_path / "pyftpd.log", "RNTO") as server:
            yield server, "553"
    elif request.param == "vsftpd":
        (tmp_path / "vsftpd").mkdir()
        with VsftpdServer(tmp_path / "vsftpd", shared_dir, config={"cmds_denied": "RNTO"}) as server:
            (server.root / "incoming").mkdir(mode=0o777)
            server.root.joinpath("incoming").chmod(0o777)
            yield RealServer("vsftpd", server.host, server.port, server.user, server.password,
                             str(server.root / "incoming"), server.root / "incoming", server.log), "550"
    else:
        denied = functools.partial(ProFtpdServer, config=["<Limit RNTO>", "DenyAll", "</Limit>"])
        for server in unpacked(denied, tmp_path / "proftpd"):
            yield server, "550"


def test_a_rename_the_server_refuses_keeps_the_live_file(program, rename_refused, tmp_path):
    server, code = rename_refused
    make_tree(server.arrived, {"index.html": b"<p>old</p>"})
    local = make_tree(tmp_path / "site", {"index.html": b"<p>new one</p>"})
    before = now()
    run = deploy(program, server, local, "--atomic=true", f"--report={program.local(tmp_path / 'report.json')}")
    after = now()
    assert run.status == 1 and run.lines[-1] == "uploaded: 0 files, 1 failed", run.describe()
    # The refusal's own code and words, whichever they are on this server.
    errors = [line for line in run.lines if line.startswith("error:")]
    assert len(errors) == 1 and errors[0].startswith(error("upload index.html", code)), errors
    assert len(errors[0]) > len(error("upload index.html", code)), errors
    # The old version in place, and neither temporary left behind.
    assert arrived(server.arrived) == {"index.html": b"<p>old</p>"}
    entry = report(tmp_path / "report.json", run, server.host, server.remote, before, after)["index.html"]
    assert (entry["action"], entry["code"]) == ("failed", code), entry


def test_a_rename_that_fails_after_the_old_version_moved_aside_puts_it_back(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"new a!"})
    part, aside = ".a.txt.ftpupload-part", "..a.txt.ftpupload-part.ftpupload-part"
    # The temporary's rename onto a.txt once a.txt is out of the way fails (451), and in the
    # second case so does the move back.
    for fails, holds in [({part: "451 Local error."}, {"a.txt": b"old a"}),
                         ({part: "451 Local error.", aside: "451 Local error."}, {part: b"new a!", aside: b"old a"})]:
        with ScriptedFtpServer(Script(refuse_rnto_onto_existing=True, fail_rnto_from=fails)) as server:
            server.files["/www/a.txt"] = b"old a"
            run = run_against(program, server, local, "--pacing=false", "--atomic=true")
        assert run.status == 1 and run.lines[-1] == "uploaded: 0 files, 1 failed", run.describe()
        assert [line for line in run.lines if line.startswith("error:")] == [error("upload a.txt", "553", "File exists.")]
        assert server.files == {f"/www/{name}": content for name, content in holds.items()}, (fails, server.lines)
        assert moves(server, "RNFR", "RNTO")[:6] == [("RNFR", part), ("RNTO", "a.txt"), ("RNFR", "a.txt"),
                                                     ("RNTO", aside), ("RNFR", part), ("RNTO", "a.txt")]


def fresh_checkout(folder, files, age):
    """The files as a new checkout writes them: every one with the same new time."""
    local = make_tree(folder, files)
    when = time.time() - age
    for path in files:
        os.utime(local / path, (when, when))
    return local


def test_a_checksum_deploy_cut_short_leaves_no_manifest_of_the_old_tree(program, tmp_path):
    v1, v2 = {"a.txt": b"version 1", "b.txt": b"bravo"}, {"a.txt": b"version 2", "b.txt": b"bravo"}
    # v2's a.txt is stored, then the new manifest is refused; or v2 goes up without --checksum.
    for way, refuse, options, errors, summary in [
            ("refused", [f"STOR:{MANIFEST}"], CHECKSUM, [error(f"upload {MANIFEST}", "500")],
             "uploaded: 1 files, 1 unchanged"),
            ("plain", [], ["--skip-unchanged=true"], [], "uploaded: 2 files")]:
        root, log = tmp_path / way / "root", tmp_path / way / "pyftpd.log"
        with pyftpd_refusing(root, log) as server:
            first = deploy(program, server, fresh_checkout(tmp_path / way / "v1", v1, 3000), *CHECKSUM)
        assert first.status == 0 and with_manifest(server.arrived, v1), first.describe()

        with pyftpd_refusing(root, log, *refuse) as server:
            cut = deploy(program, server, fresh_checkout(tmp_path / way / "v2", v2, 2000), *options)
        assert cut.status == len(errors) and cut.lines[-1] == summary, cut.describe()
        assert [line for line in cut.lines if line.startswith("error:")] == errors
        assert arrived(server.arrived) == v2

        # Without a manifest the times decide, and the new checkout's are newer.
        with pyftpd_refusing(root, log) as server:
            back = deploy(program, server, fresh_checkout(tmp_path / way / "v1-again", v1, 1000), *CHECKSUM)
        assert back.status == 0 and told(back, "unchanged") == [], (way, back.describe())
        assert with_manifest(server.arrived, v1)


def test_a_checksum_manifest_records_only_what_the_run_confirmed(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"same a", "b.txt": b"first b"})

    def change_b_once_sent(path):
        if path == "/www/b.txt" and (local / "b.txt").read_bytes() == b"first b":
            (local / "b.txt").write_bytes(b"later b")

    with ScriptedFtpServer(Script(on_stored=change_b_once_sent, offer_mlst=True)) as server:
        # An existing site: a.txt at its size, with a time in the future, so the size and time let it be.
        server.files["/www/a.txt"] = b"same a"
        first = run_against(program, server, local, "--pacing=false", *CHECKSUM)
        assert first.status == 0 and first.lines[-1] == "uploaded: 1 files, 1 unchanged", first.describe()
        # b.txt as the server got it; a.txt was never checked.
        assert manifest(server.files[f"/www/{MANIFEST}"]) == sums({"b.txt": b"first b"})
        again = run_against(program, server, local, "--pacing=false", *CHECKSUM)
        assert again.status == 0 and told(again, "unchanged") == ["a.txt"], again.describe()
        assert server.files["/www/b.txt"] == b"later b"
        assert manifest(server.files[f"/www/{MANIFEST}"]) == sums({"b.txt": b"later b"})

        # A manifest that cannot be deleted first: nothing is changed.
        server.script.refuse_dele = {f"/www/{MANIFEST}"}
        stores = moves(server, "STOR").count(("STOR", "b.txt"))
        (local / "b.txt").write_bytes(b"third b")
        kept = run_against(program, server, local, "--pacing=false", *CHECKSUM)
        assert kept.status == 1 and kept.lines[-1].startswith("upload failed: "), kept.describe()
        assert [line for line in kept.lines if line.startswith("error:")] == [
            error(f"nothing changed: {MANIFEST} could not be deleted", "500")]
        assert server.files["/www/b.txt"] == b"later b" and moves(server, "STOR").count(("STOR", "b.txt")) == stores, server.lines


@pytest.mark.parametrize("signal_name", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_an_interrupted_deploy_abandons_its_transfer_and_still_reports(program, signal_name, tmp_path):
    if program.is_wine and signal_name != "SIGINT":
        pytest.skip(f"Wine ends the process on {signal_name} before the program sees it; "
                    "only SIGINT reaches the console's Ctrl-C handler")
    local = make_tree(tmp_path / "site", {"a.txt": b"new a", "big.bin": random_bytes(8 * MIB, seed=7),
                                          "z.txt": b"new z"})
    report_file = tmp_path / "report.json"
    stalled = threading.Event()

    def interrupt(process):
        # Mid-transfer: the server holds the temporary's data connection and reads nothing.
        assert stalled.wait(30), "the store of big.bin never started"
        process.send_signal(getattr(signal, signal_name))

    script = Script(stall_names={".big.bin.ftpupload-part"}, on_stall=lambda _path: stalled.set())
    with ScriptedFtpServer(script) as server:
        server.files["/www/big.bin"] = b"old big"
        run = program.run(f"--local={program.local(local)}", f"--host={HOST}", f"--port={server.port}",
                          "--username=tester", "--password=secret", "--remote=/www", "--timeout=30",
                          "--pacing=false", "--atomic=true", f"--report={program.local(report_file)}",
                          on_start=interrupt)
    shown = "Ctrl-C" if program.is_wine else signal_name
    assert run.status == 1, run.describe()
    stopped, moved, summary = run.lines[-3:]
    assert stopped == error(f"run stopped: interrupted by {shown}; 2 files not sent"), run.describe()
    assert moved.startswith("sent 1 file, 5 B in ") and moved.endswith(" over 1 session"), run.describe()
    assert summary == f"upload failed: {program.shown(local)}; uploaded: 1 files, 2 failed", run.describe()
    document = json.loads(report_file.read_text(encoding="utf-8"))
    assert document["status"] == 1 and document["interrupted"] is True, document
    assert {entry["path"]: entry["action"] for entry in document["files"]} == {
        "a.txt": "stored", "big.bin": "failed", "z.txt": "failed"}, document
    # The old big.bin stands; the temporary was removed, the lock left, the session logged out.
    assert server.files == {"/www/a.txt": b"new a", "/www/big.bin": b"old big"}, server.lines
    assert server.lines[-4:] == ["DELE .big.bin.ftpupload-part", "DELE .ftpupload-lock/owner", "RMD .ftpupload-lock",
                                 "QUIT"], server.lines
