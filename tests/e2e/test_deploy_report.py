"""The local side of a deploy: the JSON report on every path, report and trace files that are
files of the upload, and local names that cannot go to the server unchanged."""
import os
import re

from program import error, info
from scripted_ftp import Script, ScriptedFtpServer
from servers import free_port
from test_deploy import MANIFEST, deploy, now, problems, report
from test_scripted_server import HOST, run_against
from trees import arrived, make_tree


def test_the_report_is_json_on_every_path(program, tmp_path):
    """Nothing to upload, a refused start, no connection, a refused deletion, deletion skipped."""
    path = tmp_path / "report.json"
    local = make_tree(tmp_path / "data", {"a.txt": b"a", "b.txt": b"b"})
    empty = make_tree(tmp_path / "empty", {".hidden": b"h"})
    closed = free_port()

    def started(folder, port, *extra):
        before = now()
        run = program.run(f"--local={program.local(folder)}", f"--host={HOST}", f"--port={port}",
                          "--username=tester", "--password=secret", "--remote=/www", "--timeout=1",
                          "--pacing=false", f"--report={program.local(path)}", *extra)
        return run, report(path, run, HOST, "/www", before, now())

    run, entries = started(empty, closed)
    assert (run.status, entries, problems(path)) == (0, {}, []), run.describe()
    run, entries = started(local, closed, "--connections=0")
    assert (run.status, entries) == (1, {}) and len(run.error_lines) == 1, run.describe()
    assert problems(path) == [("run refused", "000", run.error_lines[0].split(": ", 1)[1])]
    run, entries = started(local, closed)
    assert run.status == 1 and {e["action"] for e in entries.values()} == {"failed"}, run.describe()
    [(what, _, reason)] = problems(path)
    assert what == f"connect to {HOST}" and reason, problems(path)

    for script, gone in [(Script(refuse_dele={"/www/old.txt"}), "delete-failed"), (Script(fail_store_of={"b.txt"}), None)]:
        with ScriptedFtpServer(script) as server:
            server.files.update({"/www/old.txt": b"old"})
            run, entries = started(local, server.port, "--delete=true")
            held = dict(server.files)
        assert run.status == 1, run.describe()
        assert held["/www/old.txt"] == b"old" and held["/www/a.txt"] == b"a", held
        if gone:
            assert (entries["old.txt"]["action"], entries["old.txt"]["code"]) == (gone, "550"), entries
            assert problems(path) == []
        else:
            assert "old.txt" not in entries and entries["b.txt"]["action"] == "failed", entries
            assert problems(path) == [("delete skipped", "000", "a file did not get to the server")]


def test_a_report_or_trace_that_is_a_file_of_the_upload_is_refused_untouched(program, tmp_path):
    files = {"a.txt": b"keep me", "sub/b.txt": b"and me"}
    local = make_tree(tmp_path / "site", files)
    os.symlink(local / "a.txt", tmp_path / "link.json")
    os.link(local / "sub" / "b.txt", tmp_path / "hard.json")
    with ScriptedFtpServer() as server:
        for option in ["report", "trace"]:
            for target in [tmp_path / "link.json", tmp_path / "hard.json", local / "a.txt"]:
                run = run_against(program, server, local, "--pacing=false", f"--{option}={program.local(target)}")
                assert run.status == 1 and len(run.error_lines) == 1, run.describe()
                assert re.fullmatch("initSender Error: The --report or --trace file .* is a file of the upload; "
                                    "name a file outside the local folder.", run.error_lines[0]), run.error_lines
        assert not server.connections and not server.files
        assert arrived(local) == files
        # One the run creates inside the tree is its own: left out, and written at the end.
        before = now()
        run = run_against(program, server, local, "--pacing=false", f"--report={program.local(local / 'r.json')}")
        assert run.status == 0 and server.files == {"/www/" + k: v for k, v in files.items()}, run.describe()
        assert set(report(local / "r.json", run, HOST, "/www", before, now())) == set(files)


def test_names_that_are_not_utf8_are_left_out_and_nothing_is_deleted(native, pyftpd, tmp_path):
    local = make_tree(tmp_path / "site", {"a.txt": b"a"})
    with open(os.path.join(os.fsencode(local), b"caf\xe9.txt"), "wb") as latin1:
        latin1.write(b"latin-1")
    (pyftpd.arrived / "gone.txt").write_bytes(b"gone")
    path = tmp_path / "report.json"
    before = now()
    run = deploy(native, pyftpd, local, "--delete=true", f"--report={path}")
    assert run.status == 1, run.describe()
    errors = [line for line in run.lines if line.startswith("error:")]
    assert len(errors) == 2 and "caf" in errors[0] and "not UTF-8" in errors[0], run.describe()
    assert errors[1] == error("delete skipped", "500")
    assert arrived(pyftpd.arrived) == {"a.txt": b"a", "gone.txt": b"gone"}
    entries = report(path, run, pyftpd.host, pyftpd.remote, before, now())
    assert entries["caf\ufffd.txt"]["action"] == "left-out" and "not UTF-8" in entries["caf\ufffd.txt"]["message"]
    assert [what for what, _, _ in problems(path)] == ["scan", "delete skipped"], problems(path)


def test_local_files_with_the_programs_own_names_are_left_out(program, tmp_path):
    own = [".a.txt.ftpupload-part", MANIFEST, ".ftpupload-lock/x.txt"]
    local = make_tree(tmp_path / "data", {"a.txt": b"new a", **{name: b"local " + name.encode() for name in own}})
    with ScriptedFtpServer() as server:
        server.files.update({"/www/a.txt": b"old a", f"/www/{MANIFEST}": b"remote manifest"})
        run = run_against(program, server, local, "--pacing=false", "--hidden=true", "--atomic=true",
                          "--delete=true")
    assert run.status == 0, run.describe()
    assert sorted(line for line in run.lines if line.startswith("left out ")) == [
        info(f"left out {name}", "000", "a name the program keeps on the server")
        for name in [".a.txt.ftpupload-part", ".ftpupload-lock", MANIFEST]], run.describe()
    # The remote manifest is deleted, as by any deploy without --checksum, never replaced by the local one.
    assert {k: v for k, v in server.files.items() if "ftpupload-lock" not in k} == {"/www/a.txt": b"new a"}, server.files
    assert "/www/.ftpupload-lock/x.txt" not in server.files
