"""--verify: the server confirms each stored file by its own SHA-256 where it offers one, else by
its size; and --checksum asks the server's hashes instead of trusting the manifest."""
import os
import re

from servers import PyFtpdServer
from test_deploy import deploy, now, report
from trees import arrived, make_tree

FILES = {"index.html": b"<p>new</p>", "css/site.css": b"body { margin: 0 }\n", "empty.txt": b""}


def deployed(program, server, local, path, *extra):
    before = now()
    run = deploy(program, server, local, f"--report={program.local(path)}", *extra)
    return run, report(path, run, server.host, server.remote, before, now())


def test_proftpd_hashes_confirm_stores_and_catch_a_file_changed_on_the_server(program, proftpd_digest, tmp_path):
    local = make_tree(tmp_path / "site", FILES)
    path = tmp_path / "report.json"
    options = ["--verify", "--skip-unchanged=true", "--checksum=true", "--atomic=true"]
    run, entries = deployed(program, proftpd_digest, local, path, *options)
    assert run.status == 0, run.describe()
    assert {p: (e["action"], e.get("verified")) for p, e in entries.items()} == {
        p: ("stored", "sha256") for p in FILES}, entries
    assert {p: arrived(proftpd_digest.arrived)[p] for p in FILES} == FILES
    log = proftpd_digest.log.read_text(errors="replace")
    assert "OPTS HASH SHA-256" in log and re.search(r"HASH \S*index\.html", log), log

    # Same size, a newer time, and the manifest still names the old content: only the
    # server's hash tells that the copy is not what was sent.
    changed = proftpd_digest.arrived / "index.html"
    changed.write_bytes(b"<p>old</p>")
    os.utime(changed, (changed.stat().st_mtime + 3600,) * 2)
    run, entries = deployed(program, proftpd_digest, local, path, *options)
    assert run.status == 0, run.describe()
    assert {p: e["action"] for p, e in entries.items()} == {
        "index.html": "stored", "css/site.css": "unchanged", "empty.txt": "unchanged"}, entries
    assert changed.read_bytes() == FILES["index.html"]


def test_a_copy_the_server_hashes_differently_fails_and_one_without_hashes_is_checked_by_size(
        program, tmp_path):
    local = make_tree(tmp_path / "site", FILES)
    path = tmp_path / "report.json"
    for wrong in (True, False):
        root = tmp_path / f"root-{wrong}"
        (root / "www").mkdir(parents=True)
        with PyFtpdServer(root, tmp_path / f"pyftpd-{wrong}.log", wrong_sha256=wrong) as server:
            server.remote, server.arrived = "/www", root / "www"
            run, entries = deployed(program, server, local, path, "--verify=true", "--retries=1",
                                    "--include=*.html")
        entry = entries["index.html"]
        if wrong:
            assert run.status == 1, run.describe()
            assert (entry["action"], entry["tries"], entry["code"]) == ("failed", 2, "420"), entry
            assert "SHA-256" in entry["message"], entry
            assert any(line.startswith("error:\tupload index.html\tcode: 420\tmessage: verify index.html: the "
                                       "server's SHA-256 is ") for line in run.lines), run.describe()
        else:
            assert run.status == 0, run.describe()
            assert (entry["action"], entry["verified"]) == ("stored", "size"), entry
