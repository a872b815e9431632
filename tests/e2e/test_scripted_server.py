"""Runs against the tests' own server: exact lines, the commands it saw, odd replies, pacing."""
import subprocess
import time

from program import crlf_lines, error, info, run_on_terminal
from scripted_ftp import Script, ScriptedFtpServer
from trees import MIB, make_tree, random_bytes, take_progress

HOST = "127.0.0.1"


def run_against(program, server, local, *extra):
    return program.run(f"--local={program.local(local)}", f"--host={HOST}",
                       f"--port={server.port}", "--username=tester", "--password=secret",
                       "--remote=/www", "--timeout=1", *extra)


def opening(program, local, files):
    return [program.shown(local),
            info(f"{files} files to backup"),
            info(f"connecting...{HOST}"),
            info(f"connected to {HOST}", "500"),
            info("cd /www", "500")]


def store_commands(name, size):
    return [f"ALLO {size}", "TYPE I", "PASV", f"STOR {name}"]


def close_to(measured, expected, slack=0.3):
    return expected - 0.02 <= measured <= expected + slack


def test_one_file_run_lines_commands_and_pacing(program, tmp_path, record_property):
    content = random_bytes(1000, seed=3)
    local = make_tree(tmp_path / "data", {"report.txt": content})
    with ScriptedFtpServer() as server:
        run = run_against(program, server, local)
    assert run.status == 0, run.describe()
    assert run.lines == opening(program, local, 1) + [
        info("uploading report.txt 1000/1000", "500"),
        info("uploading report.txt 1000/1000", "500"),
        "uploaded: 1 files",
    ], run.describe()
    assert server.lines == ["USER tester", "PASS secret", "CWD /www",
                            *store_commands("report.txt", 1000), "QUIT"]
    assert server.files == {"/www/report.txt": content}
    assert server.faults == []

    # Where the pauses fall, seen from the server: two 2000 ms pauses before it is reached,
    # one quiet check (1 s) and 2000 ms after the login and after CWD, one quiet check and
    # 100 ms after the store.
    gaps = {
        "start to connect": (server.connections[0] - run.started, 4.0),
        "PASS to CWD": (server.time_of("CWD") - server.time_of("PASS"), 3.0),
        "CWD to ALLO": (server.time_of("ALLO") - server.time_of("CWD"), 3.0),
        "226 to QUIT": (server.time_of("QUIT") - server.reply_time("226"), 1.1),
    }
    startup_slack = 2.5 if program.is_wine else 0.3  # Wine takes a while to start a process
    for what, (measured, expected) in gaps.items():
        slack = startup_slack if what == "start to connect" else 0.3
        assert close_to(measured, expected, slack), f"{what}: {measured:.3f} s, not {expected} s"

    floor = 4 * 2.0 + 2 * 0.010 + 0.100 + 3 * 1.0
    figure = (f"{program.flavour}: {run.seconds:.3f} s against a floor of {floor:.3f} s "
              f"(+{run.seconds - floor:.3f} s)")
    record_property("pacing", figure)
    if not program.is_wine:
        assert floor <= run.seconds < floor + 0.5, figure


def test_a_line_after_login_stops_the_run(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a"})
    with ScriptedFtpServer(Script(after_login=["220 late notice"])) as server:
        run = run_against(program, server, local)
    assert run.status == 1, run.describe()
    assert run.lines == [program.shown(local), info("1 files to backup"),
                         info(f"connecting...{HOST}"),
                         error(f"connect to {HOST}", "220", "late notice"),
                         f"upload failed: {program.shown(local)}"], run.describe()
    assert server.lines == ["USER tester", "PASS secret", "QUIT"]


def test_a_reply_after_226_costs_that_file_only(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa", "b.txt": b"bbb"})
    with ScriptedFtpServer(Script(after_first_complete=["200 extra"])) as server:
        run = run_against(program, server, local)
    assert run.status == 1, "a file with an error line is not stored: " + run.describe()
    assert run.lines == opening(program, local, 2) + [
        info("uploading a.txt 2/2", "500"), info("uploading a.txt 2/2", "500"),
        error("upload a.txt", "200", "extra"),
        info("uploading b.txt 3/3", "200", "extra"), info("uploading b.txt 3/3", "200", "extra"),
        "uploaded: 1 files",
    ], run.describe()
    assert server.files == {"/www/a.txt": b"aa", "/www/b.txt": b"bbb"}


def test_250_completes_a_store_and_passive_false_still_stores_passively(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a"})
    with ScriptedFtpServer(Script(complete_reply="250 Transfer complete.")) as server:
        run = run_against(program, server, local, "--passive=false")
    assert run.status == 0, run.describe()
    assert run.lines[-3:] == [info("uploading a.txt 1/1", "500")] * 2 + ["uploaded: 1 files"]
    assert server.files == {"/www/a.txt": b"a"}
    assert "PASV" in server.lines


def test_a_refused_store_goes_on_with_the_next_file(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa", "b.txt": b"bbb"})
    with ScriptedFtpServer(Script(refuse_first_stor="553 Permission denied.")) as server:
        run = run_against(program, server, local)
    assert run.status == 1, run.describe()
    assert run.lines == opening(program, local, 2) + [
        error("upload a.txt", "500"),
        info("uploading b.txt 3/3", "500"), info("uploading b.txt 3/3", "500"),
        "uploaded: 1 files",
    ], run.describe()
    assert server.lines[3:] == [*store_commands("a.txt", 2), *store_commands("b.txt", 3), "QUIT"]
    assert server.files == {"/www/b.txt": b"bbb"}


def test_a_server_that_stops_reading_costs_one_file_and_the_connection_stays_usable(
        program, tmp_path):
    big = random_bytes(8 * MIB, seed=4)
    local = make_tree(tmp_path / "data", {"big.bin": big, "small.txt": b"small"})
    with ScriptedFtpServer(Script(stall_names={"big.bin"})) as server:
        run = run_against(program, server, local)
    assert run.status == 1, run.describe()
    lines = run.lines
    head = opening(program, local, 2)
    assert lines[:len(head)] == head, run.describe()
    rest = lines[len(head):]
    stalled = 0
    while rest[0].startswith("uploading big.bin "):
        sent = int(rest[0].split()[2].split("/")[0])
        assert rest[0] == info(f"uploading big.bin {sent}/{len(big)}", "500") and sent >= stalled
        stalled, rest = sent, rest[1:]
    assert 0 < stalled < len(big), "the transfer must stall part-way"
    assert rest == [error("upload big.bin", "500"),
                    info("uploading small.txt 5/5", "500"), info("uploading small.txt 5/5", "500"),
                    "uploaded: 1 files"], run.describe()
    assert server.files == {"/www/small.txt": b"small"}
    assert server.lines[-5:] == [*store_commands("small.txt", 5), "QUIT"]


def test_folders_are_made_parent_first_on_a_one_level_server(program, tmp_path):
    files = {"a/b/f.txt": b"f", "a/g.txt": b"gg", "c/h.txt": b"hhh", "top.txt": b"t"}
    local = make_tree(tmp_path / "data", files)
    # "c" exists already: its MKD fails without a line and its file is stored all the same.
    with ScriptedFtpServer(Script(folders={"/", "/www", "/www/c"})) as server:
        run = run_against(program, server, local)
    assert run.status == 0, run.describe()
    rest = run.lines[5:]
    for relative, content in files.items():
        rest = take_progress(rest, relative.rsplit("/", 1)[-1], len(content))
    assert rest == ["uploaded: 4 files"], run.describe()
    made = [line[4:] for line in server.lines if line.startswith("MKD ")]
    assert sorted(made) == ["a", "a/b", "c"]
    assert made.index("a") < made.index("a/b")
    assert server.files == {f"/www/{name}": content for name, content in files.items()}


def test_a_file_removed_after_the_scan_costs_only_that_file(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a", "b.txt": b"bb", "c.txt": b"ccc"})

    def remove_b(_path):
        (local / "b.txt").unlink(missing_ok=True)

    with ScriptedFtpServer(Script(on_stored=remove_b)) as server:
        run = run_against(program, server, local)
    assert run.status == 1, run.describe()
    assert run.lines == opening(program, local, 3) + [
        info("uploading a.txt 1/1", "500"), info("uploading a.txt 1/1", "500"),
        error("upload b.txt", "500"),
        info("uploading c.txt 3/3", "500"), info("uploading c.txt 3/3", "500"),
        "uploaded: 2 files",
    ], run.describe()
    assert "STOR b.txt" not in server.lines
    assert server.files == {"/www/a.txt": b"a", "/www/c.txt": b"ccc"}


def test_lines_reach_a_terminal_as_they_are_written(native, tmp_path):
    """On a terminal each line is flushed before the pause that follows it."""
    local = make_tree(tmp_path / "data", {"a.txt": b"a"})
    with ScriptedFtpServer(Script(password="other")) as server:
        arrivals = lines_on_terminal(native, [
            f"--local={local}", f"--host={HOST}", f"--port={server.port}", "--username=tester",
            "--password=secret", "--remote=/www", "--timeout=1"])
    assert [line for line, _ in arrivals] == [
        native.shown(local), info("1 files to backup"), info(f"connecting...{HOST}"),
        error(f"connect to {HOST} Login incorrect. tester ****"),
        f"upload failed: {native.shown(local)}"]
    # Seconds after the first line: 2000 ms pauses follow the second, third and fourth lines.
    offsets = [at - arrivals[0][1] for _, at in arrivals]
    for offset, expected in zip(offsets, [0.0, 0.0, 2.0, 4.0, 6.0]):
        assert close_to(offset, expected), offsets


def test_lines_reach_a_file_before_the_run_ends(program, tmp_path):
    """Redirected (a log file, a CI runner), each line is there once it is written, not at the end."""
    local = make_tree(tmp_path / "data", {"a.txt": b"a"})
    output, seen = tmp_path / "out.log", []
    # Read while the program waits for the store's completion reply, so before it can end.
    with ScriptedFtpServer(Script(on_stored=lambda _: seen.append(output.read_bytes()))) as server:
        with open(output, "wb") as out:
            status = subprocess.run(program.command([
                f"--local={program.local(local)}", f"--host={HOST}", f"--port={server.port}", "--username=tester",
                "--password=secret", "--remote=/www", "--timeout=1"]), stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.DEVNULL, env=program.environment(), timeout=120).returncode
    assert status == 0 and len(seen) == 1
    assert crlf_lines(seen[0])[:5] == opening(program, local, 1), seen


def lines_on_terminal(program, args):
    """Each line the program writes to a terminal, with its arrival time."""
    arrivals, pending = [], b""

    def collect(chunk):
        nonlocal pending
        pending += chunk
        while b"\r\n" in pending:
            line, pending = pending.split(b"\r\n", 1)
            arrivals.append((line.decode("utf-8"), time.monotonic()))

    assert run_on_terminal(program.command(args), collect, program.environment()) == 1
    assert pending == b""
    return arrivals


def test_a_file_name_cannot_smuggle_a_command(native, tmp_path):
    # A POSIX file name may hold CR LF; it must never reach the server as a second command.
    local = make_tree(tmp_path / "data", {"evil\r\nDELE victim.txt": b"e", "fine.txt": b"f"})
    with ScriptedFtpServer() as server:
        run = run_against(native, server, local)
    assert run.status == 1, run.describe()
    assert not any(line.startswith("DELE") for line in server.lines), server.lines
    assert server.files == {"/www/fine.txt": b"f"}
    assert run.stdout.endswith(b"uploaded: 1 files\r\n"), run.describe()
