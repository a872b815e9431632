"""Explicit FTPS with both executables: uploads over TLS to vsftpd, pyftpdlib, ProFTPD and Pure-FTPd, the
certificate checks and their refusal lines, and the TLS options' refusals."""
import re

import pytest

from certs import make_certificates
from program import error
from scripted_ftp import ScriptedFtpServer
from servers import ProFtpdServer, PureFtpdServer, PyFtpdServer, VsftpdServer
from test_real_servers import opening
from trees import arrived, make_tree, random_bytes

FILES = {"a.bin": random_bytes(300_000, seed=9), "b.txt": b"b\r\n", "c/empty.dat": b""}


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    return make_certificates(tmp_path_factory.mktemp("certs"))


def tls_login(program, server, tmp_path, *options, tls="true"):
    password_file = tmp_path / "password.txt"
    password_file.write_text(server.password + "\n")
    return [f"--host={server.host}", f"--port={server.port}", f"--username={server.user}",
            f"--password-file={program.local(password_file)}", "--timeout=2", f"--tls={tls}", *options]


def pyftpd_tls(tmp_path, certificate, *extra):
    root = tmp_path / "pyftpd-root"
    (root / "incoming").mkdir(parents=True)
    server = PyFtpdServer(root, tmp_path / "pyftpd.log", tls=["--tls-cert", str(certificate.pem), *extra])
    server.remote, server.arrived = "/incoming", root / "incoming"
    return server


def vsftpd_tls(tmp_path, shared_dir, certificate, reuse):
    work = tmp_path / "vsftpd"
    work.mkdir()
    return VsftpdServer(work, shared_dir, tls={
        "ssl_enable": "YES", "rsa_cert_file": certificate.pem, "rsa_private_key_file": certificate.pem,
        "force_local_logins_ssl": "YES", "force_local_data_ssl": "YES",
        "require_ssl_reuse": "YES" if reuse else "NO", "strict_ssl_read_eof": "YES"})


@pytest.mark.parametrize("kind", ["vsftpd", "vsftpd-unpaced", "vsftpd-active", "pyftpdlib", "pyftpdlib-tls1.2", "pyftpdlib-implicit",
                                  "proftpd", "proftpd-unpaced", "proftpd-implicit", "pure-ftpd"])
def test_files_arrive_identical_over_tls(program, kind, tmp_path, shared_dir, certificates):
    # Wine's SChannel offers no session reuse: every data connection is a full handshake,
    # which vsftpd and ProFTPD refuse unless told not to insist.
    if kind.startswith("vsftpd"):
        server = vsftpd_tls(tmp_path, shared_dir, certificates.leaf, reuse=not program.is_wine)
    elif kind.startswith("proftpd"):
        server = ProFtpdServer(tmp_path / "proftpd", certificates.leaf.pem, reuse=not program.is_wine,
                               implicit=kind.endswith("implicit"))
    elif kind == "pure-ftpd":
        server = PureFtpdServer(tmp_path / "pure-ftpd", certificates.leaf.pem)
    else:
        extra = {"pyftpdlib-tls1.2": ["--tls-max", "1.2"], "pyftpdlib-implicit": ["--tls-implicit"]}
        server = pyftpd_tls(tmp_path, certificates.leaf, *extra.get(kind, []))
    # Each of the sessions has a TLS session of its own to resume.
    unpaced = ["--pacing=false", "--connections=2"] if kind.endswith(("unpaced", "active")) else []
    # Active: the server connects, and the client still starts TLS on the data connection.
    unpaced += ["--active=true"] if kind.endswith("active") else []
    with server:
        if not kind.startswith("pyftpdlib"):
            (server.root / "incoming").mkdir()
            (server.root / "incoming").chmod(0o777)
            # vsftpd does not chroot: there the folder is named by its real path.
            server.remote = str(server.root / "incoming") if kind.startswith("vsftpd") else "/incoming"
            server.arrived = server.root / "incoming"
        local = make_tree(tmp_path / "local", FILES)
        run = program.run(f"--local={program.local(local)}", f"--remote={server.remote}",
                          *tls_login(program, server, tmp_path, f"--tls-ca-file={program.local(certificates.ca)}",
                                     tls="IMPLICIT" if kind.endswith("implicit") else "true"),
                          *unpaced)
        assert run.status == 0, run.describe()
        assert run.lines[:5] == opening(program, local, server, len(FILES)), run.describe()
        assert run.lines[-1] == f"uploaded: {len(FILES)} files", run.describe()
        assert arrived(server.arrived) == FILES
        assert server.password.encode() not in run.stdout + run.stderr
        if kind.startswith("pyftpdlib"):
            version = "TLSv1.2" if kind.endswith("1.2") or program.is_wine else "TLSv1.3"
            data = re.findall(r"TLS data connection: (\S+), session reused: (\w+)", server.log.read_text())
            assert data == [(version, str(not program.is_wine))] * len(FILES), data
            # Implicit TLS: the greeting already came over TLS, so nothing asks for it.
            assert ("AUTH TLS" in server.log.read_text()) == (not kind.endswith("implicit"))
        elif kind.startswith("proftpd"):
            # mod_tls logs the control connection's version and each data connection that resumed.
            log = (server.work / "proftpd-tls.log").read_text()
            version = "TLSv1.2" if program.is_wine else "TLSv1.3"
            sessions = 2 if unpaced else 1
            # With implicit TLS the tests' own check that the server is up was a TLS connection too.
            accepted = re.findall(r"(TLSv1\.\d) connection accepted", log)[1 if server.implicit else 0:]
            assert accepted == [version] * sessions, log
            reused = log.count("client reused TLS session for data connection")
            assert reused == (0 if program.is_wine else len(FILES)), log
        elif kind.startswith("vsftpd"):
            log = server.protocol_log()
            # The first session's own commands (its process logs them until the login).
            said = re.findall(r'\[pid (\d+)\] (?:\[[^]]*\] )?FTP command: [^"]*"[^"]*", "(USER|PASS|AUTH|PBSZ|PROT)\b', log)
            assert [verb for pid, verb in said if pid == said[0][0]] == ["AUTH", "PBSZ", "PROT", "USER", "PASS"], log
            # A run that is not the default one reads the features in each session.
            assert log.count('"FEAT"') == (2 if unpaced else 1), log


def refusal(host, why, fingerprint, user="tester"):
    return error(f"connect to {host} TLS certificate refused: {why}; its SHA-256 fingerprint is {fingerprint}"
                 f" (check it, then pass it with --tls-fingerprint) {user} ****")


@pytest.mark.parametrize("case", ["self-signed", "self-signed-pinned", "wrong-fingerprint", "wrong-name",
                                  "untrusted-ca"])
def test_certificate_checks(program, case, tmp_path, certificates):
    chosen = {"wrong-name": certificates.wrong_name, "untrusted-ca": certificates.leaf}.get(
        case, certificates.self_signed)
    options = {
        "self-signed-pinned": [f"--tls-fingerprint={chosen.fingerprint.lower().replace(':', '')}"],
        "wrong-fingerprint": [f"--tls-fingerprint={certificates.leaf.fingerprint}"],
        "wrong-name": [f"--tls-ca-file={program.local(certificates.ca)}"],
    }.get(case, [])
    why = {"wrong-fingerprint": "fingerprint mismatch",
           "wrong-name": "name mismatch (certificate is not for 127.0.0.1)"}.get(case, "untrusted root")
    with pyftpd_tls(tmp_path, chosen) as server:
        local = make_tree(tmp_path / "local", {"a.txt": b"a"})
        run = program.run(f"--local={program.local(local)}", f"--remote={server.remote}",
                          *tls_login(program, server, tmp_path, *options))
        if case == "self-signed-pinned":
            assert (run.status, run.lines[-1]) == (0, "uploaded: 1 files"), run.describe()
            assert arrived(server.arrived) == {"a.txt": b"a"}
            return
        assert run.status == 1, run.describe()
        assert run.lines[3:] == [refusal(server.host, why, chosen.fingerprint),
                                 f"upload failed: {program.shown(local)}"], run.describe()
        assert not re.search(r"\] (USER|PASS) ", server.log.read_text()), "login sent after a refusal"


def test_server_without_auth_tls_never_sees_the_login(program, tmp_path):
    local = make_tree(tmp_path / "local", {"a.txt": b"a"})
    with ScriptedFtpServer() as server:
        run = program.run(f"--local={program.local(local)}", "--remote=/www", "--host=127.0.0.1",
                          f"--port={server.port}", "--username=tester", "--password=secret", "--timeout=1",
                          "--tls=true")
    assert run.status == 1, run.describe()
    assert run.lines[3:] == [
        error("connect to 127.0.0.1 The server refused AUTH TLS (502 Command not implemented.);"
              " the login is not sent in clear text. tester ****"),
        f"upload failed: {program.shown(local)}"], run.describe()
    assert "AUTH TLS" in server.lines
    assert not [line for line in server.lines if line.startswith(("USER", "PASS"))], server.lines


FINGERPRINT = "ab" * 32


@pytest.mark.parametrize("options, box", [
    ([f"--tls-fingerprint={FINGERPRINT}"], "--tls-fingerprint applies only to TLS sessions: add --tls=true (or --tls=implicit)."),
    (["--tls=false", "--tls-ca-file=ca.pem"], "--tls-ca-file applies only to TLS sessions: add --tls=true (or --tls=implicit)."),
    (["--tls=true", f"--tls-fingerprint={FINGERPRINT}ab"],
     f"The --tls-fingerprint `{FINGERPRINT}ab` is not a SHA-256 fingerprint: 64 hex digits, with or without \":\"."),
    (["--tls=yes"], "Could not convert `yes` of type char[] to type bool."),
    (["--password-file=missing.txt"], "The --password-file file cannot be read: missing.txt :: "),
], ids=["fingerprint-without-tls", "ca-file-without-tls", "fingerprint-too-long", "tls-yes", "no-password-file"])
def test_tls_option_boxes(program, tmp_path, options, box):
    (tmp_path / "a.txt").write_text("a")
    run = program.run(f"--local={program.local(tmp_path)}", "--host=127.0.0.1", *options)
    assert run.status == 1, run.describe()
    assert run.lines == [program.shown(tmp_path)], run.describe()
    assert len(run.error_lines) == 1 and run.error_lines[0].startswith("initSender Error: " + box), run.describe()
