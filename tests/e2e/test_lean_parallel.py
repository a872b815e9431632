"""Unpaced runs and parallel sessions: whole trees arriving intact on real servers, sessions
refused or lost on the tests' own server, and the bad values of the newer options."""
import os
import time

import pytest

from program import error, info
from scripted_ftp import Script, ScriptedFtpServer
from servers import ProFtpdServer, PureFtpdServer, VsftpdServer
from test_scripted_server import HOST, run_against
from trees import arrived, make_tree, random_bytes


def many_files(count: int) -> dict[str, bytes]:
    files = {f"d{i % 7}/s{i % 3}/f{i}.bin": random_bytes(i * 37 % 5000, i) for i in range(count)}
    files["big.bin"] = random_bytes(3 * 1024 * 1024 + 5, 99)
    files["empty.txt"] = b""
    return files


@pytest.mark.parametrize("connections", [1, 4])
def test_unpaced_tree_arrives_identical(program, real_server, tmp_path, connections):
    files = many_files(300)
    local = make_tree(tmp_path / "site", files)
    run = program.run(f"--local={program.local(local)}", f"--host={real_server.host}",
                      f"--port={real_server.port}", f"--username={real_server.user}",
                      f"--password={real_server.password}", f"--remote={real_server.remote}",
                      "--pacing=false", f"--connections={connections}", "--timeout=5")
    assert run.status == 0, run.describe()
    assert arrived(real_server.arrived) == files
    lines = run.lines
    assert lines[1:5] == [info(f"{len(files)} files to backup"), info(f"connecting...{HOST}"),
                          info(f"connected to {HOST}", "500"), info(f"cd {real_server.remote}", "500")]
    assert lines[-1] == f"uploaded: {len(files)} files"
    # A server may leave some of the sessions without a file to store.
    assert lines[-2].startswith(f"sent {len(files)} files, ") and " over " in lines[-2], run.describe()
    # Each file's final progress line once, nothing else between the opening and the summary.
    finals = [line for line in lines[5:-2]]
    assert len(finals) >= len(files) and all(line.startswith("uploading ") for line in finals), run.describe()
    assert len(set(finals)) == len(finals)


def test_a_refused_and_a_lost_session_cost_only_their_own(program, tmp_path):
    files = {f"f{i}.txt": f"file {i}".encode() for i in range(12)}
    local = make_tree(tmp_path / "data", files)
    # The third connection is refused; the store that arrives fourth loses its session.
    script = Script(refuse_connections={3}, drop_after_store={4}, one_level_mkd=False)
    with ScriptedFtpServer(script) as server:
        run = run_against(program, server, local, "--pacing=false", "--connections=4")
    lines = run.lines
    refused = [line for line in lines if line.startswith("error:\tconnect to")]
    assert len(refused) == 1 and "Too many connections." in refused[0], run.describe()
    lost = server.dropped[0].rsplit("/", 1)[1]
    assert [line for line in lines if line.startswith("error:\tupload")] == [
        error(f"upload {lost}", "421", "connection closed by the server")]
    assert lines[-1] == f"uploaded: {len(files) - 1} files, 1 failed" and run.status == 1
    assert {path.rsplit("/", 1)[1] for path in server.files} == set(files) - {lost}
    for name, content in files.items():
        assert server.files.get(f"/www/{name}", content) == content

    # The further sessions connect at once but log in only after the first did: a wrong
    # password is tried once and gets one line.
    with ScriptedFtpServer(Script(password="other")) as server:
        run = run_against(program, server, local, "--pacing=false", "--connections=4")
    assert run.status == 1 and len([line for line in run.lines if line.startswith("error:")]) == 1, run.describe()
    assert server.lines.count("PASS secret") == 1, server.lines


# Each server's own refusal of a session beyond its per-address limit: vsftpd and Pure-FTPd
# answer 421 in place of the greeting, ProFTPD greets and answers 530 to the login.
LIMIT_REFUSALS = {
    "vsftpd": "There are too many connections from your internet address.",
    "proftpd": "Sorry, the maximum number of clients (1) from your host are already connected.",
    "pure-ftpd": "Too many connections (1) from this IP",
}


@pytest.mark.parametrize("kind", list(LIMIT_REFUSALS))
def test_sessions_beyond_a_per_address_limit_are_refused_and_the_rest_store_everything(
        program, kind, tmp_path, shared_dir):
    files = many_files(100)
    local = make_tree(tmp_path / "site", files)
    if kind == "vsftpd":
        (tmp_path / "vsftpd").mkdir()
        server = VsftpdServer(tmp_path / "vsftpd", shared_dir, tls={"max_per_ip": 1})
    else:
        server = (ProFtpdServer if kind == "proftpd" else PureFtpdServer)(tmp_path / kind, per_address=1)
    with server:
        target = server.root / "incoming"
        target.mkdir()
        os.chown(target, server.root.stat().st_uid, server.root.stat().st_gid)
        remote = str(target) if kind == "vsftpd" else "/incoming"
        run = program.run(f"--local={program.local(local)}", f"--host={HOST}", f"--port={server.port}",
                          f"--username={server.user}", f"--password={server.password}", f"--remote={remote}",
                          "--pacing=false", "--connections=4", "--timeout=5")
        assert run.status == 0 and run.lines[-1] == f"uploaded: {len(files)} files", run.describe()
        refused = [line for line in run.lines if line.startswith("error:")]
        assert refused and set(refused) == {
            error(f"connect to {HOST} {LIMIT_REFUSALS[kind]} {server.user} ****")}, run.describe()
        assert arrived(target) == files


@pytest.mark.parametrize("options, box", [
    (["--pacing=soon"], "initSender Error: Could not convert `soon` of type char[] to type bool."),
    (["--connections=many"], "initSender Error: Could not convert `many` of type char[] to type uint."),
    (["--connections=0"], "initSender Error: --connections must be from 1 to 16, not 0."),
    (["--connections=17"], "initSender Error: --connections must be from 1 to 16, not 17."),
    (["--skip-unchanged=1"], "initSender Error: Could not convert `1` of type char[] to type bool."),
    (["--retries=101"], "initSender Error: --retries must be from 0 to 100, not 101."),
    (["--dry-run=no"], "initSender Error: Could not convert `no` of type char[] to type bool."),
    (["--max-delete=150%"], "initSender Error: --max-delete must be a count or a percentage up to 100%, not 150%."),
    (["--max-delete=half"], "initSender Error: Could not convert `half` of type char[] to type uint."),
], ids=["pacing-word", "connections-word", "connections-0", "connections-17", "skip-number", "retries-101",
        "dry-run-no", "max-delete-150", "max-delete-word"])
def test_bad_values_of_the_new_options(program, tmp_path, options, box):
    (tmp_path / "a.txt").write_text("a")
    run = program.run(f"--local={program.local(tmp_path)}", f"--host={HOST}", "--port=1", *options)
    assert (run.status, run.lines, run.error_lines) == (1, [program.shown(tmp_path)], [box]), run.describe()


def test_a_trace_file_that_cannot_be_opened_stops_the_run_before_it_starts(program, tmp_path):
    (tmp_path / "a.txt").write_text("a")
    folder = tmp_path / "no-such-folder"
    run = program.run(f"--local={program.local(tmp_path)}", f"--host={HOST}", "--port=1",
                      f"--trace={program.local(folder / 'trace.log')}")
    assert run.status == 1 and run.lines == [program.shown(tmp_path)], run.describe()
    assert len(run.error_lines) == 1 and run.error_lines[0].startswith("initSender Error: "), run.describe()
    assert "trace.log" in run.error_lines[0]


def test_a_rate_limit_holds_every_session_together(program, pyftpd, tmp_path):
    # 4 MiB over two sessions at 1 MiB/s: no less than about 4 s, whichever session is faster.
    files = {"a.bin": random_bytes(2 * 1024 * 1024, 1), "b.bin": random_bytes(2 * 1024 * 1024, 2)}
    local = make_tree(tmp_path / "site", files)
    started = time.monotonic()
    run = program.run(f"--local={program.local(local)}", f"--host={pyftpd.host}", f"--port={pyftpd.port}",
                      f"--username={pyftpd.user}", f"--password={pyftpd.password}", f"--remote={pyftpd.remote}",
                      "--pacing=false", "--connections=2", "--limit-rate=1M")
    assert run.status == 0, run.describe()
    assert time.monotonic() - started >= 3.0
    assert arrived(pyftpd.arrived) == files
