"""Incremental and resilient runs: skipping what has not changed on real servers (pyftpdlib,
ProFTPD and Pure-FTPd answer MLST and take MFMT; vsftpd answers SIZE and MDTM and takes
"MDTM time path"),
the dry run, retries on the tests' own server, and the trace of the dialogue."""
import os

from program import error, info
from scripted_ftp import Script, ScriptedFtpServer
from test_scripted_server import HOST, run_against
from trees import arrived, make_tree


def upload(program, server, local, *extra):
    return program.run(f"--local={program.local(local)}", f"--host={server.host}", f"--port={server.port}",
                       f"--username={server.user}", f"--password={server.password}",
                       f"--remote={server.remote}", "--pacing=false", "--skip-unchanged=true", *extra)


def test_only_what_changed_goes_up_again(program, real_server, tmp_path):
    files = {"a.txt": b"first", "d/b.txt": b"second", "d/e/c.txt": b"third", "d/e/f.txt": b"fourth"}
    local = make_tree(tmp_path / "site", files)
    first = upload(program, real_server, local)
    assert first.status == 0 and first.lines[-1] == "uploaded: 4 files", first.describe()

    trace = tmp_path / "again.trace"
    again = upload(program, real_server, local, f"--trace={program.local(trace)}")
    assert again.status == 0, again.describe()
    # Where MLST is announced every file is asked with it; vsftpd knows neither MLST nor MLSD,
    # so SIZE and MDTM are asked.
    dialogue = trace.read_text()
    mlst = real_server.kind != "vsftpd"
    assert ("> MLST" in dialogue, "> SIZE" in dialogue) == (mlst, not mlst), dialogue
    assert [line for line in again.lines if line.startswith("unchanged ")] == [
        info(f"unchanged {name}", "500") for name in sorted(files)]
    assert again.lines[-1] == "uploaded: 0 files, 4 unchanged"

    (local / "d" / "b.txt").write_bytes(b"second, longer")
    later = os.stat(local / "d/e/c.txt").st_mtime + 100
    os.utime(local / "d/e/c.txt", (later, later))
    preview = upload(program, real_server, local, "--dry-run=true")
    assert preview.status == 0, preview.describe()
    assert [line for line in preview.lines if line.startswith("would upload ")] == [
        info("would upload d/b.txt", "500"), info("would upload d/e/c.txt", "500")]
    assert preview.lines[-1] == "would upload: 2 files, 2 unchanged"
    assert arrived(real_server.arrived)["d/b.txt"] == b"second", "the dry run stored something"

    changed = upload(program, real_server, local)
    assert changed.status == 0 and changed.lines[-1] == "uploaded: 2 files, 2 unchanged", changed.describe()
    assert arrived(real_server.arrived) == {**files, "d/b.txt": b"second, longer"}


def test_a_dry_run_without_skipping_connects_to_nothing(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a", "s/b.txt": b"b"})
    with ScriptedFtpServer() as server:
        run = run_against(program, server, local, "--dry-run=true")
    assert run.status == 0 and server.connections == [], run.describe()
    assert run.lines[1:] == [info("would upload a.txt"), info("would upload s/b.txt"), "would upload: 2 files"]


def test_a_dropped_connection_is_replaced_and_the_file_tried_again(program, tmp_path):
    files = {"f1.txt": b"one", "f2.txt": b"two", "f3.txt": b"three"}
    local = make_tree(tmp_path / "data", files)
    trace = tmp_path / "dialogue.log"
    with ScriptedFtpServer(Script(drop_after_store={2})) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=2", f"--trace={trace}")
    assert run.status == 0 and run.lines[-1] == "uploaded: 3 files", run.describe()
    assert info("retry upload f2.txt (1 of 2)", "500") in run.lines
    assert not any(line.startswith("error:") for line in run.lines)
    assert {path: server.files[path] for path in server.files} == {f"/www/{k}": v for k, v in files.items()}
    assert len(server.connections) == 2
    dialogue = trace.read_text()
    assert "> USER tester" in dialogue and "> PASS ****" in dialogue and "secret" not in dialogue
    assert "#1 < 230 Login successful." in dialogue and "connection closed by the server" in dialogue
    assert "data 127.0.0.1:" in dialogue and "STOR f3.txt: 5 bytes, complete" in dialogue

    # Without retries the lost connection costs that file, and the run stops there: one line
    # for the rest, not one each.
    with ScriptedFtpServer(Script(drop_after_store={2})) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1 and run.lines[-1] == "uploaded: 1 files, 2 failed", run.describe()
    assert [line for line in run.lines if line.startswith("error:")] == [
        error("upload f2.txt", "421", "connection closed by the server"),
        error("run stopped: connection closed by the server; 1 files not sent", "500")], run.describe()


def test_a_store_whose_completion_reply_was_lost_is_looked_at_before_it_goes_again(program, tmp_path):
    files = {"f1.txt": b"one", "f2.txt": b"two", "f3.txt": b"three"}
    local = make_tree(tmp_path / "data", files)
    stored = {f"/www/{k}": v for k, v in files.items()}
    # The control connection dies after every byte of a file went out: the new session finds
    # it whole, by its size, or by the server's hash of the temporary, which is then renamed.
    # Same size, other bytes: only the hash tells, and the file goes again.
    for keeps, atomic, check in ((True, False, "SIZE"), (True, True, "XSHA256"), ("damaged", False, "XSHA256")):
        script = Script(drop_after_store={2}, drop_keeps_file=keeps, offer_sha256=check == "XSHA256")
        with ScriptedFtpServer(script) as server:
            run = run_against(program, server, local, "--pacing=false", "--retries=2", f"--atomic={atomic}")
        assert run.status == 0 and run.lines[-1] == "uploaded: 3 files" and server.files == stored, run.describe()
        sent = server.dropped[0].rsplit("/", 1)[1]
        name = sent[1:-len(".ftpupload-part")] if atomic else sent
        assert f"{check} {sent}" in server.lines, server.lines
        retried = run.lines.index(info(f"retry upload {name} (1 of 2)", "500"))
        found = info(f"{name} found complete on the server", "500")
        whole = keeps is True
        assert (found in run.lines[retried + 1:], server.lines.count(f"STOR {sent}")) == (whole, 2 - whole), run.describe()


def test_a_session_the_server_timed_out_while_it_waited_is_replaced_without_a_failed_file(program, tmp_path):
    files = {"f1.txt": b"one", "f2.txt": b"two"}
    local = make_tree(tmp_path / "data", files)
    stored = {f"/www/{k}": v for k, v in files.items()}
    # "421 Timeout." and closed after the session's last word before the stores: replaced
    # before the first store, which spends none of its tries.
    with ScriptedFtpServer(Script(idle_timeout_after={1: "FEAT"})) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files" and server.files == stored, run.describe()
    assert [line for line in run.lines if line.startswith(("retry", "error:"))] == [
        info(f"retry connect to {HOST} (1 of 1)", "421", "Timeout.")], run.describe()
    assert len(server.connections) == 2

    # A 421 that answers the store itself closes the session too: the try goes on a new one.
    with ScriptedFtpServer(Script(refuse_first_stor="421 No transfer timeout (2 seconds)")) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and server.files == stored and len(server.connections) == 2, run.describe()

    # Without retries the run stays as it was: the session is not replaced.
    with ScriptedFtpServer(Script(idle_timeout_after={1: "FEAT"})) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1 and len(server.connections) == 1 and server.files == {}, run.describe()


def test_a_server_out_of_space_stops_the_run_and_a_missing_remote_is_made(program, tmp_path):
    local = make_tree(tmp_path / "data", {f"f{i}.txt": b"x" for i in range(1, 6)})
    # Two refusals for space in a row: the last two files are not tried.
    with ScriptedFtpServer(Script(no_space_from=2)) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1 and run.lines[-1] == "uploaded: 1 files, 4 failed", run.describe()
    assert [line for line in run.lines if line.startswith("error:")] == [
        error("upload f2.txt", "452", "Insufficient storage space."),
        error("upload f3.txt", "452", "Insufficient storage space."),
        error("run stopped: 452 Insufficient storage space.; 2 files not sent", "500")], run.describe()
    assert [line for line in server.lines if line.startswith("STOR")] == ["STOR f1.txt", "STOR f2.txt", "STOR f3.txt"]

    # A --remote that is not there is made, parents first, and entered (the described run
    # still fails on it: see the real servers' tests).
    with ScriptedFtpServer(Script(one_level_mkd=True)) as server:
        run = program.run(f"--local={program.local(local)}", f"--host={HOST}", f"--port={server.port}",
                          "--username=tester", "--password=secret", "--remote=/www/new/site", "--timeout=1",
                          "--pacing=false")
    assert run.status == 0 and info("created remote folder /www/new/site", "500") in run.lines, run.describe()
    assert ["MKD /www", "MKD /www/new", "MKD /www/new/site", "CWD /www/new/site"] == [
        line for line in server.lines if line.startswith(("MKD", "CWD"))][1:5]
    assert server.files["/www/new/site/f5.txt"] == b"x"


def test_what_may_pass_is_tried_again_and_what_will_not_is_not(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa", "b.txt": b"bb"})
    # "421" to the first session's first connection and to the second session's, "451" to
    # the first store: each passes on a second try.
    script = Script(refuse_connections={1, 3}, fail_first_complete="451 Local error.")
    with ScriptedFtpServer(script) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=3", "--connections=2")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files", run.describe()
    assert run.lines[1:4] == [info("2 files to backup"), info(f"connecting...{HOST}"),
                              info(f"retry connect to {HOST} (1 of 3)")]
    assert run.lines.count(info(f"retry connect to {HOST} (1 of 3)")) == 2, run.describe()
    assert len([line for line in run.lines if line.startswith("retry upload ")]) == 1, run.describe()
    assert not any(line.startswith("error:") for line in run.lines)
    assert server.files == {"/www/a.txt": b"aa", "/www/b.txt": b"bb"}

    # A further session the server keeps refusing (its per-address limit) gets one more try,
    # then the run goes on with the sessions it has.
    with ScriptedFtpServer(Script(refuse_connections={2, 3, 4})) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=3", "--connections=2")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files", run.describe()
    assert run.lines.count(info(f"retry connect to {HOST} (1 of 3)")) == 1 and len(server.connections) == 3
    assert [line.split("\t")[1] for line in run.lines if line.startswith("error:")] == [
        f"connect to {HOST} Too many connections. tester ****"], run.describe()

    # A permanent refusal is not tried again.
    with ScriptedFtpServer(Script(refuse_first_stor="550 Permission denied.")) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=3")
    assert run.status == 1 and not any(line.startswith("retry") for line in run.lines), run.describe()
    assert error("upload a.txt", "550", "Permission denied.") in run.lines and server.stores_started == 2
