"""--staged and --last: a deploy that is put in place all at once, the pages after everything
they name, or not at all; and the temporaries a stopped deploy leaves for the next one."""
import json
import os
import re

import pytest

from program import error, info
from servers import PyFtpdServer
from test_deploy import deploy, now, report
from trees import arrived, make_tree

OLD = {"index.html": b"<p>old</p>", "css/site.css": b"old {}\n", "js/app.js": b"old()\n", "stale.txt": b"gone"}
NEW = {"index.html": b"<p>new</p>", "css/site.css": b"body { margin: 0 }\n", "js/app.js": b"run()\n",
       "about.htm": b"<p>about</p>"}
PAGES = {"index.html", "about.htm"}


def seeded_pyftpd(tmp_path, refuse=(), seed=True):
    root = tmp_path / "pyftpd-root"
    if seed:
        make_tree(root / "incoming", OLD)
    server = PyFtpdServer(root, tmp_path / "pyftpd.log", refuse=list(refuse))
    server.remote, server.arrived = "/incoming", root / "incoming"
    return server


@pytest.mark.parametrize("mode", ["staged", "last"])
def test_pages_take_their_place_after_everything_they_name(program, tmp_path, mode):
    local = make_tree(tmp_path / "site", NEW)
    trace, path = tmp_path / "run.trace", tmp_path / "report.json"
    # With --skip-unchanged a changed file may go out while other folders are still looked
    # at: the pages wait all the same.
    # (The local files are made newer than the seeded copies, some of which have their size.)
    options = (["--staged", "--delete"] if mode == "staged" else
               ["--atomic", "--last=*.html|*.htm", "--skip-unchanged=true"])
    if mode == "last":
        for name in NEW:
            os.utime(local / name, (now().timestamp() + 3600,) * 2)
    with seeded_pyftpd(tmp_path) as server:
        before = now()
        run = deploy(program, server, local, "--connections=4", f"--trace={program.local(trace)}",
                     f"--report={program.local(path)}", *options)
        assert run.status == 0, run.describe()
        entries = report(path, run, server.host, server.remote, before, now())
        dialogue = trace.read_text(encoding="utf-8")
        if mode == "staged":
            assert arrived(server.arrived) == NEW
            assert any(re.fullmatch(rf"committed {len(NEW)} files in \d+ ms\tcode: 500\tmessage: ", line)
                       for line in run.lines), run.describe()
            assert {entry["action"] for entry in entries.values()} == {"stored", "deleted"}
            assert isinstance(json.loads(path.read_text(encoding="utf-8"))["commitMilliseconds"], int)
            # Every other file's rename was answered before the first page's went out.
            first_page = min(dialogue.index(f"> RNFR .{page}.ftpupload-part") for page in PAGES)
            assert dialogue[:first_page].count("< 250 Renaming ok.") == len(NEW) - len(PAGES), dialogue
            assert dialogue.index("> DELE stale.txt") > dialogue.rindex("> RNTO "), dialogue
        else:
            # Unstaged, the pages are stored once every other file is in place.
            first_page = min(dialogue.index(f"> STOR .{page}.ftpupload-part") for page in PAGES)
            assert dialogue[:first_page].count("< 250 Renaming ok.") == len(NEW) - len(PAGES), dialogue


@pytest.mark.parametrize("refusal", ["STOR:.app", "RNFR:.app"])
def test_a_staged_deploy_that_cannot_finish_leaves_the_pages_old(program, tmp_path, refusal):
    local = make_tree(tmp_path / "site", NEW)
    with seeded_pyftpd(tmp_path, refuse=[refusal]) as server:
        run = deploy(program, server, local, "--staged", "--delete")
        assert run.status == 1, run.describe()
        held = arrived(server.arrived)
    # Whatever stopped it, no page is new, nothing was deleted, and the old script stands.
    assert {name: held[name] for name in OLD} == OLD | {"index.html": OLD["index.html"]} | (
        {"css/site.css": NEW["css/site.css"]} if refusal.startswith("RNFR") else {}), held
    if refusal.startswith("STOR"):
        assert error("staged deploy not committed: 1 of 4 files not stored; the site is unchanged, "
                     "3 temporaries stay for the next run", "500") in run.lines, run.describe()
        kept = {".index.html.ftpupload-part", "css/.site.css.ftpupload-part", ".about.htm.ftpupload-part"}
        assert {name for name in held if name.endswith(".ftpupload-part")} == kept
        # pyftpdlib hashes nothing: the next run takes the record of what was sent, once the
        # server confirms each temporary's size, and sends only the file that failed.
        with seeded_pyftpd(tmp_path, seed=False) as server:
            again = deploy(program, server, local, "--staged", "--delete")
            assert again.status == 0, again.describe()
            held = arrived(server.arrived)
        assert sorted(line.split(":")[0] for line in again.lines if line.startswith("kept ")) == sorted(
            f"kept {name}" for name in kept), again.describe()
        assert held == NEW, held
    else:
        stopped = [line for line in run.lines if line.startswith("error:\tcommit stopped at js/app.js: ")]
        assert stopped and stopped[0].startswith(
            "error:\tcommit stopped at js/app.js: 1 of 4 files in place, the rest stay as temporaries"), run.describe()


def test_the_next_run_keeps_a_temporary_the_server_hashes_as_the_file(program, proftpd_digest, tmp_path):
    local = make_tree(tmp_path / "site", NEW)
    # What a stopped deploy left: one temporary with the new content, one of the same size with
    # other bytes.
    left = make_tree(proftpd_digest.arrived, {"css/.site.css.ftpupload-part": NEW["css/site.css"],
                                              "js/.app.js.ftpupload-part": b"xxx()\n"})
    owner = proftpd_digest.arrived.stat()
    for path in [left / "css", left / "js", *left.rglob("*.ftpupload-part")]:
        os.chown(path, owner.st_uid, owner.st_gid)
    trace = tmp_path / "run.trace"
    run = deploy(program, proftpd_digest, local, "--staged", f"--trace={program.local(trace)}")
    assert run.status == 0, run.describe()
    assert info("kept css/.site.css.ftpupload-part: the server holds this content", "500") in run.lines
    assert [line for line in run.lines if line.startswith("kept ")] == [
        info("kept css/.site.css.ftpupload-part: the server holds this content", "500")], run.describe()
    assert {name: data for name, data in arrived(proftpd_digest.arrived).items()
            if not name.startswith(".ftpupload")} == NEW
    assert not re.search(r"> STOR css/\.site\.css", trace.read_text(encoding="utf-8"))
