"""Uploads over IPv6 (::1) to pyftpdlib and vsftpd with both executables: every data
connection is negotiated with EPSV, since PASV cannot name an IPv6 address."""
import pytest

from certs import make_certificates
from program import info
from servers import PyFtpdServer, VsftpdServer
from trees import arrived, make_tree, random_bytes

TREE = {
    "a.txt": b"alpha\n",
    "sub/b.bin": random_bytes(300000, seed=61),
    "sub/deeper/c.txt": b"",
    "sub/deeper/d.txt": b"delta\n",
}


@pytest.fixture(params=["vsftpd", "pyftpdlib"])
def server6(request, tmp_path, shared_dir):
    """(server, remote folder, where its files land), listening on ::1 only."""
    if request.param == "pyftpdlib":
        root = tmp_path / "pyftpd-root"
        (root / "incoming").mkdir(parents=True)
        with PyFtpdServer(root, tmp_path / "pyftpd.log", host="::1") as server:
            yield server, "/incoming", root / "incoming"
    else:
        work = tmp_path / "vsftpd"
        work.mkdir()
        with VsftpdServer(work, shared_dir, host="::1") as server:
            (server.root / "incoming").mkdir()
            server.root.joinpath("incoming").chmod(0o777)
            yield server, str(server.root / "incoming"), server.root / "incoming"


@pytest.mark.parametrize("host, options", [("::1", []), ("[::1]", ["--pacing=false", "--connections=2"]),
                                           ("::1", ["--pacing=false", "--active=true"])],
                         ids=["paced", "unpaced-bracketed", "active"])
def test_tree_arrives_over_ipv6_through_epsv(program, server6, host, options, tmp_path):
    server, remote, landed = server6
    local = make_tree(tmp_path / "local", TREE)
    trace = tmp_path / "ipv6.trace"
    run = program.run(f"--local={program.local(local)}", f"--remote={remote}", f"--host={host}",
                      f"--port={server.port}", f"--username={server.user}", f"--password={server.password}",
                      "--timeout=2", f"--trace={program.local(trace)}", *options)
    assert run.status == 0, run.describe()
    assert info(f"connecting...{host}") in run.lines, run.describe()
    assert run.lines[-1] == f"uploaded: {len(TREE)} files", run.describe()
    assert arrived(landed) == TREE
    dialogue = trace.read_text()
    if "--active=true" in options:
        assert "> EPRT |2|::1|" in dialogue and "> EPSV" not in dialogue, dialogue
        assert dialogue.count("data active [::1]:") == len(TREE), dialogue
    else:
        assert "> EPSV" in dialogue and "> PASV" not in dialogue, dialogue
        assert dialogue.count("data [::1]:") == len(TREE), dialogue


def test_tls_over_ipv6_checks_the_ip_name_and_uses_epsv(program, tmp_path):
    certificates = make_certificates(tmp_path / "certs")
    root = tmp_path / "pyftpd-root"
    (root / "incoming").mkdir(parents=True)
    local = make_tree(tmp_path / "local", TREE)
    trace = tmp_path / "tls.trace"
    with PyFtpdServer(root, tmp_path / "pyftpd.log", tls=["--tls-cert", str(certificates.leaf.pem)],
                      host="::1") as server:
        run = program.run(f"--local={program.local(local)}", "--remote=/incoming", "--host=[::1]",
                          f"--port={server.port}", f"--username={server.user}", f"--password={server.password}",
                          "--timeout=2", "--tls=true", f"--tls-ca-file={program.local(certificates.ca)}",
                          "--pacing=false", f"--trace={program.local(trace)}")
        assert run.status == 0, run.describe()
        assert arrived(root / "incoming") == TREE
        dialogue = trace.read_text()
        assert "> EPSV" in dialogue and "> PASV" not in dialogue, dialogue
