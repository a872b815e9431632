"""Hostile and awkward servers against the default run: where data goes, files that change
while they are sent, reply text that tries to forge lines, and a link slower than the time-out."""
import os
import subprocess

from program import error
from scripted_ftp import Script, ScriptedFtpServer
from test_scripted_server import run_against
from trees import arrived, make_tree, random_bytes

KIB = 1024


def test_data_goes_to_the_control_peer_whatever_the_passive_reply_names(program, tmp_path):
    # Nothing listens on 127.0.0.2: a client that followed the reply would fail the file.
    local = make_tree(tmp_path / "data", {"a.txt": b"abc"})
    with ScriptedFtpServer(Script(pasv_host="127,0,0,2")) as server:
        run = run_against(program, server, local)
    assert run.status == 0, run.describe()
    assert server.files == {"/www/a.txt": b"abc"}


def test_a_file_that_changes_while_it_is_sent_is_not_reported_stored(program, tmp_path):
    size = 256 * KIB
    local = make_tree(tmp_path / "data", {"grows.bin": random_bytes(size, 1), "ok.txt": b"fine",
                                          "shrinks.bin": random_bytes(size, 2)})

    def change(remote_path):
        path = local / os.path.basename(remote_path)
        if path.name == "shrinks.bin":
            os.truncate(path, 100 * KIB)
        elif path.name == "grows.bin":
            with open(path, "ab") as more:
                more.write(random_bytes(100 * KIB, 3))

    with ScriptedFtpServer(Script(on_first_64k=change)) as server:
        run = run_against(program, server, local)
    assert run.status == 1, run.describe()
    failed = [line for line in run.lines if line.startswith("error:")]
    assert failed == [error("upload grows.bin", "500"), error("upload shrinks.bin", "500")], run.describe()
    assert run.lines[-1] == "uploaded: 1 files"
    # The session stayed in step: the file after the changed ones was stored.
    assert server.files["/www/ok.txt"] == b"fine"


def test_reply_text_cannot_forge_lines_or_flood_them(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa", "b.txt": b"bbb"})
    notice = ["226-\x1b[2Jcleared", "uploaded: 99 files", "226-" + "x" * 20000, "226 end"]
    with ScriptedFtpServer(Script(after_first_complete=notice)) as server:
        run = run_against(program, server, local)
    assert b"\x1b" not in run.stdout
    lines = run.lines  # insists on CR LF after every line and no bare line break anywhere
    assert "uploaded: 99 files" not in lines and lines[-1] == "uploaded: 1 files", run.describe()
    failed = [line for line in lines if line.startswith("error:\tupload a.txt")]
    assert len(failed) == 1
    assert failed[0].startswith(error("upload a.txt", "226", "\\x1B[2Jcleared\\nuploaded: 99 files\\nxxx"))
    assert failed[0].endswith("x [cut]") and len(failed[0]) < 4096 + 100
    # Every later line carries the same cut message, never the whole reply.
    assert max(len(line) for line in lines) < 4096 + 100


def test_a_link_slower_than_the_time_out_still_completes(program, tmp_path):
    # 16 KB/s through a small receive window: the bytes the client has queued when its
    # last send returns need several one-second time-outs to reach the server.
    content = random_bytes(200 * KIB, 4)
    local = make_tree(tmp_path / "data", {"slow.bin": content})
    with ScriptedFtpServer(Script(read_rate=16 * KIB)) as server:
        run = run_against(program, server, local)
    assert run.status == 0, run.describe()
    assert server.files == {"/www/slow.bin": content}
    assert run.seconds < 60


def test_a_line_that_cannot_be_written_fails_the_run_not_the_process(native, pyftpd, tmp_path):
    # Enough lines that the output buffer fills, and is written, in both sessions' threads.
    files = {f"f{i:03}.txt": random_bytes(100 + i, i) for i in range(600)}
    local = make_tree(tmp_path / "data", files)
    with open("/dev/full", "wb") as full:
        status = subprocess.run(native.command([
            f"--local={local}", f"--host={pyftpd.host}", f"--port={pyftpd.port}", f"--username={pyftpd.user}",
            f"--password={pyftpd.password}", f"--remote={pyftpd.remote}", "--timeout=2", "--pacing=false",
            "--connections=2"]), stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.DEVNULL,
            env=native.environment(), timeout=120).returncode
    # A negative status is a signal (std::terminate aborts).
    assert status == 1
    assert arrived(pyftpd.arrived) == files
