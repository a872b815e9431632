"""--delete on servers that can make one file look like two: names folded to one letter case,
folders reached through links, names the server trims. What the server holds afterwards decides."""
import os
from contextlib import contextmanager
from types import SimpleNamespace

from program import error
from scripted_ftp import Script, ScriptedFtpServer
from servers import PyFtpdServer
from test_deploy import RELEASE, deploy, moves, told
from test_scripted_server import run_against
from trees import arrived, make_tree


@contextmanager
def pyftpd_at(root, remote, log, fold_case=False):
    """pyftpdlib serving `root`, with `remote` (below it) as the folder deployed to."""
    with PyFtpdServer(root, log, fold_case=fold_case) as server:
        yield SimpleNamespace(host=server.host, port=server.port, user=server.user, password=server.password,
                              remote=f"/{remote}", arrived=root / remote)


def held(root):
    """Every file below root by content, and every link by its target; links are not followed."""
    found = {}
    for folder, names, files in os.walk(root):
        for name in names + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                found[relative] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                found[relative] = open(path, "rb").read()
    return found


def test_a_case_folding_server_keeps_what_was_renamed_only_in_case(program, tmp_path):
    root = tmp_path / "pyftpd-root"
    (root / "www").mkdir(parents=True)
    with pyftpd_at(root, "www", tmp_path / "pyftpd.log", fold_case=True) as server:
        local = make_tree(tmp_path / "site", {"Logo.png": b"logo one", "Images/a.png": b"a", "Images/b.png": b"b",
                                              "index.html": b"index"})
        first = deploy(program, server, local, "--delete=true")
        assert first.status == 0 and first.lines[-1] == "uploaded: 4 files", first.describe()
        (local / "Logo.png").rename(local / "logo.png")
        (local / "logo.png").write_bytes(b"logo, version two")
        (local / "Images").rename(local / "images")
        (local / "images/b.png").unlink()
        # The server keeps the first spelling; the second run has nothing left to do.
        for attempt, gone in enumerate([["Images/b.png"], []]):
            run = deploy(program, server, local, "--delete=true", "--skip-unchanged=true")
            assert run.status == 0, (attempt, run.describe())
            assert told(run, "deleted") == gone, run.describe()
            assert arrived(server.arrived) == {"Logo.png": b"logo, version two", "Images/a.png": b"a",
                                               "index.html": b"index"}, attempt


def test_two_local_names_a_case_folding_server_cannot_tell_apart(native, tmp_path):
    root = tmp_path / "pyftpd-root"
    make_tree(root / "www", {"old.txt": b"old"})
    local = make_tree(tmp_path / "site", {"a.txt": b"small a", "A.txt": b"capital A", "keep.txt": b"k"})
    with pyftpd_at(root, "www", tmp_path / "pyftpd.log", fold_case=True) as server:
        for attempt, gone in enumerate([["old.txt"], []]):
            run = deploy(native, server, local, "--delete=true")
            assert run.status == 1, (attempt, run.describe())
            clashes = [line for line in run.lines if line.startswith("error:")]
            assert sorted(clashes) == sorted([error("case clash a.txt", "500"), error("case clash A.txt", "500")])
            assert told(run, "deleted") == gone, run.describe()
            remote = arrived(server.arrived)
            assert remote.pop("keep.txt") == b"k" and len(remote) == 1, remote
            assert list(remote.items())[0] in {("a.txt", b"small a"), ("a.txt", b"capital A"),
                                               ("A.txt", b"small a"), ("A.txt", b"capital A")}, remote


def test_delete_never_reaches_through_a_link(program, real_server, tmp_path):
    # pyftpdlib lists a link to a folder as a folder; the others mark it.
    site, root = real_server.arrived, real_server.arrived.parent
    make_tree(site, {"v2/app.js": b"old app", "v2/stale.js": b"stale", "gone.html": b"gone"})
    make_tree(root / "data", {"secret.txt": b"secret"})
    # Writable by the server's own user, as the folder deployed to is.
    owner = site.stat()
    for folder, names, files in os.walk(site):
        os.chmod(folder, 0o777)
        for name in [*names, *files, ""]:
            os.chown(os.path.join(folder, name), owner.st_uid, owner.st_gid)
        for name in files:
            os.chmod(os.path.join(folder, name), 0o666)
    links = {"current": "v2", "shared": "../data", "loop": "."}
    for link, target in links.items():
        os.symlink(target, site / link)
    local = make_tree(tmp_path / "site", {"index.html": b"index", "v2/app.js": b"new app"})
    run = deploy(program, real_server, local, "--delete=true")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files, 2 deleted", run.describe()
    assert sorted(told(run, "deleted")) == ["gone.html", "v2/stale.js"]
    assert held(site) == {"index.html": b"index", "v2/app.js": b"new app",
                          **{link: "-> " + target for link, target in links.items()}}
    assert held(root / "data") == {"secret.txt": b"secret"}


def test_folders_a_server_shows_under_two_names_are_left_alone(program, tmp_path):
    # Folders in MLSD and LIST alike: only the "unique" fact seen twice and a listing that
    # repeats the one above it tell.
    local = make_tree(tmp_path / "data", {"index.html": b"i", "v2/app.js": b"new"})
    script = Script(offer_mlsd=True, folders={"/", "/www", "/www/v2", "/www/current", "/www/loop"},
                    aliases={"/www/current": "/www/v2", "/www/loop": "/www"})
    with ScriptedFtpServer(script) as server:
        server.files.update({"/www/v2/app.js": b"old", "/www/v2/stale.js": b"s", "/www/gone.html": b"g"})
        run = run_against(program, server, local, "--pacing=false", "--delete=true")
    assert run.status == 0 and told(run, "deleted") == ["gone.html"], run.describe()
    assert server.files == {"/www/index.html": b"i", "/www/v2/app.js": b"new", "/www/v2/stale.js": b"s"}


def test_names_with_blanks_at_either_end_are_never_deleted(program, tmp_path):
    local = make_tree(tmp_path / "data", {"x.txt": b"new x"})
    with ScriptedFtpServer(Script(trim_names=True)) as server:
        server.files.update({"/www/x.txt ": b"old", "/www/ x.txt": b"old"})
        run = run_against(program, server, local, "--pacing=false", "--delete=true")
    assert run.status == 0 and run.lines[-1] == "uploaded: 1 files", run.describe()
    assert server.files == {"/www/x.txt": b"new x", "/www/x.txt ": b"old", "/www/ x.txt": b"old"}
    assert set(moves(server, "DELE", "RMD")) == RELEASE, server.lines
