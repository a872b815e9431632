"""Uploads to real servers (vsftpd and pyftpdlib) with both executables."""
import re
from unittest.mock import ANY

import pytest

from program import error, info
from trees import MIB, arrived, arrived_folders, make_tree, random_bytes, take_progress

# Scan order: names sorted, folders walked depth first; the same with both executables.
NESTED = {
    "docs/deep/deeper/leaf.bin": random_bytes(3 * MIB, seed=1),
    "docs/deep/notes.txt": b"notes\r\nwith a CR LF and \x00 a NUL\n",
    "docs/readme.md": b"# readme\n",
    "empty.dat": b"",
    "gr\u00fc\u00dfe/stra\u00dfe.txt": "Gr\u00fc\u00dfe\n".encode(),
    "top.txt": random_bytes(20000, seed=2),
    "with space/a b.txt": b"spaces\n",
}
HIDDEN = {
    ".secret": b"never upload me\n",
    ".hidden-dir/inner.txt": b"hidden folder\n",
    "docs/.draft.md": b"draft\n",
    "only-hidden/.x": b"x\n",
}


def login(server):
    return [f"--host={server.host}", f"--port={server.port}", f"--username={server.user}",
            f"--password={server.password}", "--timeout=1"]


def opening(program, local, server, files):
    return [program.shown(local),
            info(f"{files} files to backup"),
            info(f"connecting...{server.host}"),
            info(f"connected to {server.host}", "500"),
            info(f"cd {server.remote}", "500")]


def test_nested_tree_arrives_byte_for_byte_without_hidden_files(program, real_server, tmp_path):
    local = make_tree(tmp_path / "local", NESTED | HIDDEN)
    # A trailing "/" on the remote folder is dropped before it is entered.
    run = program.run(f"--local={program.local(local)}", f"--remote={real_server.remote}/",
                      *login(real_server))
    assert run.status == 0, run.describe()
    lines = run.lines
    head = opening(program, local, real_server, len(NESTED))
    assert lines[:len(head)] == head, run.describe()
    rest = lines[len(head):]
    for relative, content in NESTED.items():
        rest = take_progress(rest, relative.rsplit("/", 1)[-1], len(content))
    assert rest == [f"uploaded: {len(NESTED)} files"], run.describe()

    assert arrived(real_server.arrived) == NESTED
    assert arrived_folders(real_server.arrived) == {
        "docs", "docs/deep", "docs/deep/deeper", "gr\u00fc\u00dfe", "with space"}
    if real_server.kind == "vsftpd":
        # The server's own log shows the order of the MKDs (it writes non-ASCII as "?").
        made = re.findall(r'FTP command: Client "127\.0\.0\.1", "MKD (.*)"',
                          real_server.log.read_text(encoding="utf-8", errors="replace"))
        assert len(made) == 5, made
        for position, folder in enumerate(made):
            parent = folder.rsplit("/", 1)[0]
            assert "/" not in folder or parent in made[:position], f"{folder} before parent: {made}"


SELECTION = {
    "a.txt": b"a", "b.log": b"bb", "sub/c.txt": b"ccc", "sub/D.TXT": b"dddd",
    "skip/e.txt": b"eeeee",
}


@pytest.mark.parametrize("options, expected", [
    (["--include=*.txt", "--exclude=*\\skip\\*"], ["a.txt", "sub/D.TXT", "sub/c.txt"]),
    (["--include=*\\sub\\*|*.log"], ["b.log", "sub/D.TXT", "sub/c.txt"]),
    (["--recurse=false"], ["a.txt", "b.log"]),
], ids=["include-exclude", "two-includes", "no-recurse"])
def test_patterns_and_recursion_select_the_files(program, pyftpd, tmp_path, options, expected):
    local = make_tree(tmp_path / "local", SELECTION)
    run = program.run(f"--local={program.local(local)}", f"--remote={pyftpd.remote}",
                      *login(pyftpd), *options)
    assert run.status == 0, run.describe()
    assert run.lines[-1] == f"uploaded: {len(expected)} files", run.describe()
    assert arrived(pyftpd.arrived) == {name: SELECTION[name] for name in expected}
    # A folder is created only when a selected file lies in it.
    assert arrived_folders(pyftpd.arrived) == {n.rsplit("/", 1)[0] for n in expected if "/" in n}


def test_refused_login_is_masked_and_fails_the_run(program, pyftpd, tmp_path):
    local = make_tree(tmp_path / "local", {"a.txt": b"a"})
    run = program.run(f"--local={program.local(local)}", f"--host={pyftpd.host}",
                      f"--port={pyftpd.port}", f"--username={pyftpd.user}",
                      "--password=Wrong-Pass", f"--remote={pyftpd.remote}", "--timeout=1")
    assert run.status == 1, run.describe()
    assert run.lines == [
        program.shown(local),
        info("1 files to backup"),
        info(f"connecting...{pyftpd.host}"),
        error(f"connect to {pyftpd.host} Authentication failed. {pyftpd.user} ****"),
        f"upload failed: {program.shown(local)}",
    ], run.describe()
    assert b"Wrong-Pass" not in run.stdout + run.stderr
    assert arrived(pyftpd.arrived) == {}


def test_missing_remote_folder_ends_the_run_in_the_outer_guard(program, vsftpd, tmp_path):
    local = make_tree(tmp_path / "local", {"a.txt": b"a"})
    missing = vsftpd.remote + "/missing"
    run = program.run(f"--local={program.local(local)}", f"--remote={missing}", *login(vsftpd))
    assert run.status == 1, run.describe()
    assert run.lines == [
        program.shown(local),
        info("1 files to backup"),
        info(f"connecting...{vsftpd.host}"),
        info(f"connected to {vsftpd.host}", "500"),
        f"send catch Failed to change directory., code 500, message , remotePath {missing}",
        f"upload failed: {program.shown(local)}",
    ], run.describe()
    assert arrived(vsftpd.arrived) == {}


def test_nothing_listening_fails_the_connect_step(program, tmp_path):
    from servers import free_port
    local = make_tree(tmp_path / "local", {"a.txt": b"a"})
    run = program.run(f"--local={program.local(local)}", "--host=127.0.0.1",
                      f"--port={free_port()}", "--username=tester", "--password=pw",
                      "--timeout=1")
    assert run.status == 1, run.describe()
    assert run.lines[3:] == [
        error("connect to 127.0.0.1 Exception: CLIENT: Unable to connect within the specified"
              " time limit (1000 ms.) tester ****"),
        f"upload failed: {program.shown(local)}",
    ], run.describe()


@pytest.mark.parametrize("server_name", ["vsftpd", "pyftpd_threaded"])
def test_active_mode_deploys_and_lists_over_connections_the_server_opens(program, server_name, request, tmp_path):
    server = request.getfixturevalue(server_name)
    local = make_tree(tmp_path / "local", NESTED)
    trace = tmp_path / "dialogue.trace"
    deploy = [f"--local={program.local(local)}", f"--remote={server.remote}", *login(server)[:-1], "--timeout=5",
              "--active=true", "--pacing=false", "--connections=4", "--skip-unchanged=true",
              "--checksum=true", "--delete=true", f"--trace={program.local(trace)}"]
    first = program.run(*deploy)
    assert first.status == 0, first.describe()
    (server.arrived / "gone.txt").write_bytes(b"stale\n")
    # The re-deploy lists, reads the manifest and deletes, all over active connections.
    again = program.run(*deploy)
    assert again.status == 0, again.describe()
    assert arrived(server.arrived) == NESTED | {".ftpupload-manifest": ANY}
    assert again.lines[-1] == f"uploaded: 0 files, {len(NESTED)} unchanged, 1 deleted", again.describe()
    dialogue = trace.read_text(encoding="utf-8")
    assert "PORT 127,0,0,1," in dialogue and "data active 127.0.0.1:" in dialogue, dialogue[-2000:]
    assert not re.search(r"> (PASV|EPSV)$", dialogue, re.M), dialogue[-2000:]
