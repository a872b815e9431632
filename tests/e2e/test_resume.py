"""A store whose data connection broke on its way goes on, on the retry, from what the server
holds, and counts only once the server's copy is checked whole."""
import re

from servers import PyFtpdServer
from test_deploy import deploy, now, report
from trees import MIB, arrived, make_tree, random_bytes

SIZE = 32 * MIB
BROKEN_AT = SIZE * 6 // 10


def test_a_transfer_reset_at_60_percent_is_resumed_and_the_copy_is_whole(program, tmp_path):
    content = random_bytes(SIZE, 23)
    local = make_tree(tmp_path / "site", {"big.bin": content})
    # Checked by the server's hash where it offers one, else by its size.
    for hashes in (False, True):
        root, trace, path = tmp_path / f"root-{hashes}", tmp_path / f"run-{hashes}.trace", tmp_path / "report.json"
        (root / "www").mkdir(parents=True)
        log = tmp_path / f"pyftpd-{hashes}.log"
        with PyFtpdServer(root, log, reset_after=BROKEN_AT, sha256=hashes) as server:
            server.remote = "/www"
            before = now()
            run = deploy(program, server, local, "--retries=1", "--atomic=true", f"--trace={program.local(trace)}",
                         f"--report={program.local(path)}")
            entries = report(path, run, server.host, server.remote, before, now())
        assert run.status == 0, run.describe()
        held = arrived(root / "www")
        assert set(held) == {"big.bin"} and held["big.bin"] == content, f"not byte-identical: {sorted(held)}"
        entry = entries["big.bin"]
        assert (entry["action"], entry["tries"], entry["resumedAt"]) == ("stored", 2, BROKEN_AT), entry
        assert entry["verified"] == ("sha256" if hashes else "size"), entry
        assert f"REST {BROKEN_AT}" in log.read_text(errors="replace")
        # Only what the server did not hold went out again: about 40 % of the file.
        sent = [int(n) for n in re.findall(r"STOR \S*big\.bin\S*: (\d+) bytes, complete", trace.read_text())]
        assert sent == [SIZE - BROKEN_AT], sent
