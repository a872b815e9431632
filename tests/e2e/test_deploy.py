"""Deploys: hidden entries, removing what is gone, replacing files atomically, checksums and
the JSON report, on real servers and on the tests' own server for the refusals they never send."""
import hashlib
import json
import os
import posixpath
import re
import threading
import time
from datetime import datetime, timedelta

from program import error, info
from scripted_ftp import Script, ScriptedFtpServer
from test_scripted_server import HOST, run_against
from trees import MIB, arrived, arrived_folders, make_tree, random_bytes

MANIFEST = ".ftpupload-manifest"
LOCK = ".ftpupload-lock"
# What a deploy without --checksum deletes of its own: a manifest its changes would falsify,
# and at its end the lock's owner file and folder.
RELEASE = {("DELE", MANIFEST), ("DELE", "owner"), ("RMD", LOCK)}
# The report's actions that carry the code and message of what went wrong.
NOT_DONE = ("failed", "delete-failed", "left-out")


def deploy(program, server, local, *extra):
    return program.run(f"--local={program.local(local)}", f"--host={server.host}", f"--port={server.port}",
                       f"--username={server.user}", f"--password={server.password}",
                       f"--remote={server.remote}", "--timeout=1", "--pacing=false", *extra)


def told(run, word):
    """The paths of the "WORD path" lines, in order, each with the fields of an unpaced run."""
    paths = [line.split("\t")[0][len(word) + 1:] for line in run.lines if line.startswith(word + " ")]
    assert [line for line in run.lines if line.startswith(word + " ")] == [info(f"{word} {p}", "500") for p in paths]
    return paths


def in_deletion_order(paths, files, folders):
    """Files first, then folders, none before a folder inside it."""
    assert sorted(paths[:len(files)]) == sorted(files) and sorted(paths[len(files):]) == sorted(folders), paths
    later = paths[len(files):]
    for position, folder in enumerate(later):
        assert not any(other.startswith(folder + "/") for other in later[position:]), paths
    return True


def sums(files):
    return {path: hashlib.sha256(content).hexdigest() for path, content in files.items()}


def manifest(data: bytes):
    text = data.decode("utf-8")
    assert text.endswith("\n"), text
    entries = [re.fullmatch(r"([0-9a-f]{64})  (.+)", line) for line in text.split("\n")[:-1]]
    assert all(entries), text
    return {entry[2]: entry[1] for entry in entries}


def with_manifest(root, files):
    """The server folder holds these files and a manifest of them, and nothing else."""
    remote = arrived(root)
    assert set(remote) == set(files) | {MANIFEST}, sorted(remote)
    assert {path: remote[path] for path in files} == files and manifest(remote[MANIFEST]) == sums(files)
    return True


def utc(text):
    assert text.endswith(("Z", "+00:00")), text
    return datetime.fromisoformat(text.replace("Z", "+00:00"))


def report(path, run, host, remote, before, after):
    """The report's entries by path, once its frame is checked against the run."""
    document = json.loads(path.read_text(encoding="utf-8"))
    assert {"version", "started", "ended", "status", "host", "remote", "problems", "files"} <= set(document), document
    assert (document["status"], document["host"], document["remote"]) == (run.status, host, remote), document
    started, ended = utc(document["started"]), utc(document["ended"])
    second = timedelta(seconds=1)  # the report may give whole seconds
    assert before - second <= started <= ended <= after + second, document
    entries = {entry["path"]: entry for entry in document["files"]}
    assert len(entries) == len(document["files"]), document
    for entry in entries.values():
        assert {"path", "action", "bytes", "tries"} <= set(entry), entry
        assert ({"code", "message"} <= set(entry)) == (entry["action"] in NOT_DONE), entry
    assert all(set(problem) == {"what", "code", "message"} for problem in document["problems"]), document
    return entries


def problems(path):
    return [(p["what"], p["code"], p["message"]) for p in json.loads(path.read_text(encoding="utf-8"))["problems"]]


def now():
    return datetime.now().astimezone()


def test_hidden_entries_take_part_only_when_asked(program, real_server, tmp_path):
    files = {"index.html": b"<p>hi</p>", ".htaccess": b"Options -Indexes\n", ".well-known/x": b"proof",
             "sub/page.html": b"page", "sub/.env": b"SECRET=1\n"}
    local = make_tree(tmp_path / "site", files)
    plain = deploy(program, real_server, local)
    assert plain.status == 0 and plain.lines[-1] == "uploaded: 2 files", plain.describe()
    assert arrived(real_server.arrived) == {"index.html": b"<p>hi</p>", "sub/page.html": b"page"}
    assert arrived_folders(real_server.arrived) == {"sub"}

    hidden = deploy(program, real_server, local, "--hidden=true", "--exclude=*.env")
    assert hidden.status == 0 and hidden.lines[-1] == "uploaded: 4 files", hidden.describe()
    assert hidden.lines[1] == info("4 files to backup")
    assert arrived(real_server.arrived) == {k: v for k, v in files.items() if k != "sub/.env"}
    assert arrived_folders(real_server.arrived) == {"sub", ".well-known"}


def test_delete_removes_exactly_what_is_gone_and_reports_it(program, real_server, tmp_path):
    local = make_tree(tmp_path / "site", {"index.html": b"<h1>one</h1>", "gone.txt": b"gone", "keep/a.txt": b"kept",
                                          "old/page.html": b"old page", "old/inner/z.txt": b"deep"})
    first = deploy(program, real_server, local, "--delete=true")
    assert first.status == 0 and first.lines[-1] == "uploaded: 5 files", first.describe()
    assert told(first, "deleted") == []
    # Remote only, yet protected: log files by --exclude (one alone in a folder), a dot-file by the hidden rule.
    protected = {"notes.log": b"server log", "attic/keep.log": b"attic", ".htaccess": b"deny from all"}
    make_tree(real_server.arrived, protected)
    (local / "gone.txt").unlink()
    (local / "old").rename(local / "new")
    (local / "index.html").write_bytes(b"<h1>version two</h1>")
    gone_files, gone_folders = ["gone.txt", "old/inner/z.txt", "old/page.html"], ["old/inner", "old"]
    options = ["--delete=true", "--skip-unchanged=true", "--exclude=*.log"]
    remote_before = arrived(real_server.arrived)

    before = now()
    preview = deploy(program, real_server, local, *options, "--dry-run=true",
                     f"--report={program.local(tmp_path / 'preview.json')}")
    after = now()
    assert preview.status == 0, preview.describe()
    would = told(preview, "would delete")
    assert in_deletion_order(would, gone_files, gone_folders)
    assert sorted(told(preview, "would upload")) == ["index.html", "new/inner/z.txt", "new/page.html"]
    assert preview.lines[-1] == "would upload: 3 files, 1 unchanged, 5 would be deleted", preview.describe()
    assert arrived(real_server.arrived) == remote_before, "the dry run changed the server"
    entries = report(tmp_path / "preview.json", preview, real_server.host, real_server.remote, before, after)
    actions = {path: entry["action"] for path, entry in entries.items()}
    assert {path: actions.get(path) for path in ["index.html", "new/page.html", "new/inner/z.txt", "keep/a.txt",
                                                 *gone_files]} == {
        "index.html": "would-upload", "new/page.html": "would-upload", "new/inner/z.txt": "would-upload",
        "keep/a.txt": "unchanged", **{path: "would-delete" for path in gone_files}}, entries
    assert set(actions) <= {"index.html", "new/page.html", "new/inner/z.txt", "keep/a.txt", *gone_files,
                            *gone_folders}, entries

    before = now()
    run = deploy(program, real_server, local, *options, f"--report={program.local(tmp_path / 'deploy.json')}")
    after = now()
    assert run.status == 0, run.describe()
    assert told(run, "deleted") == would
    assert run.lines[-1] == "uploaded: 3 files, 1 unchanged, 5 deleted", run.describe()
    assert arrived(real_server.arrived) == arrived(local) | protected
    assert arrived_folders(real_server.arrived) == {"keep", "new", "new/inner", "attic"}
    entries = report(tmp_path / "deploy.json", run, real_server.host, real_server.remote, before, after)
    for path, content in arrived(local).items():
        if path == "keep/a.txt":
            assert entries[path]["action"] == "unchanged", entries
        else:
            assert (entries[path]["action"], entries[path]["bytes"], entries[path]["tries"]) == (
                "stored", len(content), 1), entries
    assert {p for p, e in entries.items() if e["action"] == "deleted"} - set(gone_folders) == set(gone_files), entries
    assert not any(path.endswith(".log") or path == ".htaccess" for path in entries), entries


def test_an_atomic_deploy_never_shows_a_partial_file(program, real_server, tmp_path):
    old, new = random_bytes(8 * MIB, seed=11), random_bytes(8 * MIB, seed=12)
    local = make_tree(tmp_path / "site", {"big.bin": old, "small.txt": b"small"})
    first = deploy(program, real_server, local, "--atomic=true")
    assert first.status == 0 and first.lines[-1] == "uploaded: 2 files", first.describe()
    assert arrived(real_server.arrived) == {"big.bin": old, "small.txt": b"small"}
    # A temporary that an interrupted run left behind.
    make_tree(real_server.arrived, {".stale.txt.ftpupload-part": b"half a"})
    (local / "big.bin").write_bytes(new)

    seen, stop = [], threading.Event()

    def read_while_deploying():
        target = real_server.arrived / "big.bin"
        while not stop.is_set():
            try:
                content = target.read_bytes()
            except FileNotFoundError:
                content = None
            seen.append("old" if content == old else "new" if content == new
                        else f"{'no' if content is None else len(content)} bytes of neither")

    reader = threading.Thread(target=read_while_deploying)
    reader.start()
    try:
        run = deploy(program, real_server, local, "--atomic=true", "--delete=true")
    finally:
        stop.set()
        reader.join()
    assert run.status == 0 and run.lines[-1].startswith("uploaded: 2 files"), run.describe()
    assert set(seen) <= {"old", "new"} and "old" in seen, sorted(set(seen))
    assert arrived(real_server.arrived) == {"big.bin": new, "small.txt": b"small"}
    log = real_server.log.read_text(errors="replace")
    # Pure-FTPd writes no command log, only its transfers: there the rename shows in big.bin's content alone.
    assert ".big.bin.ftpupload-part" in log, "the new version was not stored beside the old"
    assert real_server.kind == "pure-ftpd" or "RNTO" in log, "the new version was not renamed into place"


def test_checksums_resend_only_what_really_changed(program, real_server, tmp_path):
    files = {"a.txt": b"alpha", "b.txt": b"bravo", "d/c.txt": b"charlie", "d/e.txt": b"echo"}
    local = make_tree(tmp_path / "site", files)
    options = ["--skip-unchanged=true", "--checksum=true"]
    first = deploy(program, real_server, local, *options)
    assert first.status == 0 and first.lines[-1] == "uploaded: 4 files", first.describe()
    assert with_manifest(real_server.arrived, files)

    # Every file touched, one changed at the same size, one at another size, and one remote
    # copy cut short behind the manifest's back: only the last three go up again.
    changed = files | {"b.txt": b"BRAVO", "d/c.txt": b"charlie, longer"}
    make_tree(local, changed)
    later = time.time() + 1000
    for path in changed:
        os.utime(local / path, (later, later))
    (real_server.arrived / "d/e.txt").write_bytes(b"ech")
    # With --delete and --hidden the manifest has no local counterpart, and must stay all the same.
    again = deploy(program, real_server, local, *options, "--delete=true", "--hidden=true")
    assert again.status == 0 and again.lines[-1] == "uploaded: 3 files, 1 unchanged", again.describe()
    assert told(again, "unchanged") == ["a.txt"] and told(again, "deleted") == []
    assert with_manifest(real_server.arrived, changed)


def moves(server, *verbs):
    """(verb, name) of the commands with these verbs, in the order they came."""
    found = [line.partition(" ") for line in server.lines]
    return [(verb, posixpath.basename(argument)) for verb, _, argument in found if verb in verbs]


def test_a_rename_refused_onto_a_file_moves_the_old_version_aside_until_the_new_one_is_in_place(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"new a!", "b.txt": b"same b"})
    stale = sums({"a.txt": b"old a", "b.txt": b"same b"})
    with ScriptedFtpServer(Script(refuse_rnto_onto_existing=True)) as server:
        server.files.update({"/www/a.txt": b"old a", "/www/b.txt": b"same b",
                             f"/www/{MANIFEST}": "".join(f"{h}  {p}\n" for p, h in stale.items()).encode()})
        run = run_against(program, server, local, "--pacing=false", "--atomic=true", "--skip-unchanged=true",
                          "--checksum=true")
    assert run.status == 0 and run.lines[-1] == "uploaded: 1 files, 1 unchanged", run.describe()
    assert told(run, "unchanged") == ["b.txt"]
    assert set(server.files) == {"/www/a.txt", "/www/b.txt", f"/www/{MANIFEST}"}, sorted(server.files)
    assert (server.files["/www/a.txt"], server.files["/www/b.txt"]) == (b"new a!", b"same b")
    assert manifest(server.files[f"/www/{MANIFEST}"]) == sums({"a.txt": b"new a!", "b.txt": b"same b"})
    assert ("RETR", MANIFEST) in moves(server, "RETR")
    part, aside = ".a.txt.ftpupload-part", "..a.txt.ftpupload-part.ftpupload-part"
    assert [m for m in moves(server, "STOR", "RNFR", "RNTO", "DELE") if m[1] in ("a.txt", part, aside)] == [
        ("STOR", part), ("RNFR", part), ("RNTO", "a.txt"), ("RNFR", "a.txt"), ("RNTO", aside),
        ("RNFR", part), ("RNTO", "a.txt"), ("DELE", aside)]
    # Deleted before anything changed, so a run cut short leaves no manifest of the old tree.
    assert [m for m in moves(server, "STOR", "RNTO", "DELE") if m[1] == MANIFEST] == [
        ("DELE", MANIFEST), ("RNTO", MANIFEST)], server.lines
    assert server.lines.index(f"DELE {MANIFEST}") < server.lines.index(f"STOR {part}")


def test_a_failed_atomic_store_keeps_the_old_version_and_nothing_is_deleted(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a", "b.txt": b"new b"})
    with ScriptedFtpServer(Script(fail_store_of={"b.txt"})) as server:
        server.files.update({"/www/b.txt": b"old b", "/www/gone.txt": b"gone"})
        before = now()
        run = run_against(program, server, local, "--pacing=false", "--atomic=true", "--delete=true",
                          "--retries=1", f"--report={program.local(tmp_path / 'report.json')}")
        after = now()
    assert run.status == 1 and run.lines[-1] == "uploaded: 1 files, 1 failed", run.describe()
    assert info("retry upload b.txt (1 of 1)", "500") in run.lines
    assert [line for line in run.lines if line.startswith("error:")] == [
        error("upload b.txt", "451", "Transfer aborted: local error."), error("delete skipped", "500")], run.describe()
    assert server.files == {"/www/a.txt": b"a", "/www/b.txt": b"old b", "/www/gone.txt": b"gone"}
    part = ".b.txt.ftpupload-part"
    # Each try's temporary is deleted, and nothing else is but the lock; none is renamed into place.
    assert set(moves(server, "DELE", "RMD")) == {("DELE", part)} | RELEASE and ("RNFR", part) not in moves(server, "RNFR")
    entries = report(tmp_path / "report.json", run, HOST, "/www", before, after)
    assert (entries["a.txt"]["action"], entries["a.txt"]["bytes"], entries["a.txt"]["tries"]) == ("stored", 1, 1)
    assert (entries["b.txt"]["action"], entries["b.txt"]["tries"]) == ("failed", 2), entries
    assert set(entries) == {"a.txt", "b.txt"}, entries


def test_a_refused_deletion_costs_only_itself(program, tmp_path):
    # Listed with LIST -a (and dot-files taking part), then with MLSD (and dot-files left alone).
    for mlsd, extra, gone in [(False, ["--hidden=true"], [".hidden"]), (True, [], [])]:
        local = make_tree(tmp_path / f"data-{mlsd}", {"keep.txt": b"k"})
        script = Script(offer_mlsd=mlsd, refuse_dele={"/www/old.txt"},
                        folders={"/", "/www", "/www/sub", "/www/sub/deeper"})
        with ScriptedFtpServer(script) as server:
            remote = {"/www/keep.txt": b"k", "/www/old.txt": b"o", "/www/other.txt": b"t",
                      "/www/.hidden": b"h", "/www/sub/deeper/x.txt": b"x"}
            server.files.update(remote)
            run = run_against(program, server, local, "--pacing=false", "--delete=true", *extra)
        deleted = ["other.txt", "sub/deeper/x.txt", *gone]
        assert run.status == 1, run.describe()
        assert [line for line in run.lines if line.startswith("error:")] == [error("delete old.txt", "500")]
        assert in_deletion_order(told(run, "deleted"), deleted, ["sub/deeper", "sub"])
        assert run.lines[-1] == f"uploaded: 1 files, {len(deleted) + 2} deleted", run.describe()
        assert server.files == {k: v for k, v in remote.items() if k[len("/www/"):] not in deleted}
        assert server.folders == {"/", "/www"}
        listed = {line.split(" ")[0] for line in server.lines if line.startswith(("LIST", "MLSD"))}
        # Beside MLSD, LIST of a folder with folders in it tells which of them are links.
        assert listed == ({"MLSD", "LIST"} if mlsd else {"LIST"}), server.lines
        assert mlsd or all(line.startswith("LIST -a") for line in server.lines if line.startswith("LIST"))


def test_a_listing_cut_short_or_unreadable_deletes_nothing(program, tmp_path):
    local = make_tree(tmp_path / "data", {"keep.txt": b"k"})
    for mlsd, how in [(False, "garbage"), (False, "reset"), (True, "close"), (True, "garbage")]:
        script = Script(offer_mlsd=mlsd, cut_listing_of={"/www/sub": how}, folders={"/", "/www", "/www/sub"})
        with ScriptedFtpServer(script) as server:
            remote = {"/www/gone.txt": b"g", "/www/sub/aaaa.txt": b"a", "/www/sub/bbbb.txt": b"b"}
            server.files.update(remote)
            run = run_against(program, server, local, "--pacing=false", "--delete=true")
        assert run.status == 1 and run.lines[-1] == "uploaded: 1 files", (mlsd, how, run.describe())
        assert [line for line in run.lines if line.startswith("error:")] == [error("delete skipped", "500")], how
        assert set(moves(server, "DELE", "RMD")) == RELEASE, (how, server.lines)
        assert server.files == remote | {"/www/keep.txt": b"k"} and "/www/sub" in server.folders


def test_names_beyond_ascii_arrive_as_utf8_and_are_matched_again(program, real_server, tmp_path):
    files = {"Über uns.html": b"ueber", "日本語/索引.txt": b"index", "a b.txt": b"space"}
    local = make_tree(tmp_path / "site", files)
    first = deploy(program, real_server, local, "--skip-unchanged=true", "--delete=true")
    assert first.status == 0 and first.lines[-1] == "uploaded: 3 files", first.describe()
    # The same bytes on the server's disk as in the local names.
    assert arrived(real_server.arrived) == files
    (local / "a b.txt").unlink()
    again = deploy(program, real_server, local, "--skip-unchanged=true", "--delete=true")
    assert again.status == 0, again.describe()
    assert told(again, "unchanged") == ["Über uns.html", "日本語/索引.txt"]
    assert told(again, "deleted") == ["a b.txt"]
    assert again.lines[-1] == "uploaded: 0 files, 2 unchanged, 1 deleted"

