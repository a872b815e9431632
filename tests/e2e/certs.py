"""Certificates for the TLS tests, made with `openssl` at test time: a CA with a leaf for
127.0.0.1, ::1 and localhost, a CA-signed leaf for another name, and a self-signed leaf."""
from __future__ import annotations

import hashlib
import ssl
import subprocess
from dataclasses import dataclass
from pathlib import Path

OPENSSL = "openssl"


@dataclass
class Certificate:
    pem: Path  # certificate, then its key: one file serves vsftpd and pyftpdlib alike

    @property
    def fingerprint(self) -> str:
        """SHA-256 of the DER form, as the program shows it: "AB:CD:...". """
        text = self.pem.read_text()
        end = "-----END CERTIFICATE-----"
        der = ssl.PEM_cert_to_DER_cert(text[:text.index(end) + len(end)])
        return ":".join(f"{byte:02X}" for byte in hashlib.sha256(der).digest())


@dataclass
class Certificates:
    ca: Path
    leaf: Certificate
    wrong_name: Certificate
    self_signed: Certificate


def _openssl(*args: str, cwd: Path) -> None:
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, capture_output=True)


def _leaf(folder: Path, name: str, names: str) -> Certificate:
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
             "-subj", f"/CN={name}", "-out", f"{name}.csr", cwd=folder)
    (folder / f"{name}.ext").write_text(
        f"subjectAltName={names}\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", "2", "-sha256", "-extfile", f"{name}.ext",
             "-out", f"{name}.crt", cwd=folder)
    return _bundle(folder, name)


def _bundle(folder: Path, name: str) -> Certificate:
    pem = folder / f"{name}.pem"
    pem.write_text((folder / f"{name}.crt").read_text() + (folder / f"{name}.key").read_text())
    return Certificate(pem)


def make_certificates(folder: Path) -> Certificates:
    folder.mkdir(parents=True, exist_ok=True)
    # RSA keys: Debian's vsftpd offers TLS 1.2 with RSA authentication only.
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "2", "-sha256", "-subj", "/CN=ftpupload test CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    leaf = _leaf(folder, "leaf", "IP:127.0.0.1,IP:::1,DNS:localhost")
    wrong = _leaf(folder, "wrong", "DNS:wrong.example")
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key", "-out", "self.crt",
             "-days", "2", "-sha256", "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", cwd=folder)
    return Certificates(folder / "ca.pem", leaf, wrong, _bundle(folder, "self"))
