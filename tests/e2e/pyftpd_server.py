"""A pyftpdlib server for one test, the demo or the benchmark: binds --host (127.0.0.1) on --port (by
default one the system picks) and prints "READY <port>" once it accepts connections."""
import argparse
import hashlib
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer, ThreadedFTPServer


def tls_handler(certificate: str, highest: str | None, implicit: bool = False):
    from OpenSSL import SSL
    from OpenSSL._util import lib
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class DataHandler(TLS_DTPHandler):
        def handle_ssl_established(self):
            # The tests read from the log that data connections resumed the control session.
            logging.info("TLS data connection: %s, session reused: %s", self.socket.get_protocol_version_name(),
                         bool(lib.SSL_session_reused(self.socket._ssl)))

    class Handler(TLS_FTPHandler):
        def handle(self):
            # Implicit TLS: the handshake comes first, the greeting over it.
            if implicit:
                self.secure_connection(self.ssl_context)
            else:
                super().handle()

        def handle_ssl_established(self):
            if implicit and not getattr(self, "_greeted", False):
                self._greeted = True
                TLS_FTPHandler.handle(self)

    Handler.certfile = certificate
    Handler.tls_control_required = Handler.tls_data_required = True
    Handler.dtp_handler = DataHandler
    context = Handler.get_ssl_context()
    if highest == "1.2":
        context.set_max_proto_version(SSL.TLS1_2_VERSION)
    return Handler


def refusing(handler, refusals: list[str]):
    """The handler answering "553" to each VERB[:PREFIX] given, for names starting with PREFIX or all."""
    rules = [(verb.upper(), prefix) for verb, _, prefix in (refusal.partition(":") for refusal in refusals)]

    class Refusing(handler):
        def process_command(self, cmd, *args, **kwargs):
            name = os.path.basename(str(args[0])) if args else ""
            if any(cmd == verb and name.startswith(prefix) for verb, prefix in rules):
                self._rnfr = None
                self.respond("553 Refused by the server's policy.")
                return
            return super().process_command(cmd, *args, **kwargs)

    return Refusing


def with_sha256(handler, wrong: bool):
    """The handler offering XSHA256; `wrong`: answering a digest that is never the file's, a
    server whose copy is not what was sent."""
    class Digest(handler):
        proto_cmds = dict(handler.proto_cmds, XSHA256=dict(perm="r", auth=True, arg=True, help="XSHA256 file"))

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self._extra_feats.append("XSHA256")

        def ftp_XSHA256(self, path):
            with open(path, "rb") as stored:
                self.respond("250 " + hashlib.sha256(stored.read() + (b"!" if wrong else b"")).hexdigest())

    return Digest


def resetting(handler, after: int):
    """The handler resetting the data connection of the first STOR that gets `after` bytes, once
    they arrived, which the file keeps: a transfer broken on its way."""
    import socket
    import struct

    state = {"reset": False}

    class ResettingData(handler.dtp_handler):
        def handle_read(self):
            super().handle_read()
            if state["reset"] or self.cmd != "STOR" or self.tot_bytes_received < after or self._closed:
                return
            state["reset"] = True
            self.file_obj.truncate(after)
            logging.info("reset the data connection of STOR after %d bytes", after)
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._resp = ("426 Connection reset by the tests' server; transfer aborted.", logging.warning)
            self.close()

        handle_read_event = handle_read

    class Resetting(handler):
        dtp_handler = ResettingData

    return Resetting


def case_folding_filesystem():
    """Names matched without regard to case and kept as first spelled, as Windows servers do."""
    from pyftpdlib.filesystems import AbstractedFS

    class CaseFoldingFS(AbstractedFS):
        def ftp2fs(self, ftppath):
            path = super().ftp2fs(ftppath)
            if os.path.lexists(path) or not path.startswith(self.root):
                return path
            found = self.root
            for part in path[len(self.root):].split(os.sep):
                if not part:
                    continue
                try:
                    spelled = next((name for name in os.listdir(found) if name.lower() == part.lower()), part)
                except OSError:
                    spelled = part
                found = os.path.join(found, spelled)
            return found

    return CaseFoldingFS


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (::1 for IPv6)")
    parser.add_argument("--port", type=int, default=0, help="0: one the system picks")
    parser.add_argument("--masquerade", help="the address passive replies name (a relay in front)")
    parser.add_argument("--quiet", action="store_true", help="log completed transfers, not every command")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive-ports", required=True, help="FIRST-LAST")
    parser.add_argument("--tls-cert", help="PEM with certificate and key: TLS required on every connection")
    parser.add_argument("--tls-max", choices=["1.2"], help="highest TLS version offered")
    parser.add_argument("--tls-implicit", action="store_true", help="TLS from the first byte (no AUTH TLS)")
    parser.add_argument("--refuse", action="append", default=[], metavar="VERB[:PREFIX]",
                        help="answer 553 to VERB (for names starting with PREFIX)")
    parser.add_argument("--fold-case", action="store_true", help="names match whatever their letter case")
    parser.add_argument("--wrong-sha256", action="store_true", help="offer XSHA256, answer a wrong digest")
    parser.add_argument("--sha256", action="store_true", help="offer XSHA256")
    parser.add_argument("--reset-after", type=int, metavar="BYTES",
                        help="reset the data connection of the first STOR that gets BYTES, once they arrived")
    parser.add_argument("--local-times", action="store_true", help="times in the zone of TZ, not UTC")
    # The one-loop server loses active data connections that several sessions open at once
    # (Python's own ftplib shows it too); a thread per session does not.
    parser.add_argument("--threaded", action="store_true", help="a thread per session")
    options = parser.parse_args()

    # Every command and reply (--quiet: every completed transfer) goes to standard error, which the
    # caller keeps as the server's log.
    logging.basicConfig(level=logging.INFO if options.quiet else logging.DEBUG)
    authorizer = DummyAuthorizer()
    authorizer.add_user(options.user, options.password, options.root, perm="elradfmwMT")
    first, last = (int(n) for n in options.passive_ports.split("-"))

    class Handler(FTPHandler):
        pass

    if options.tls_cert:
        Handler = tls_handler(options.tls_cert, options.tls_max, options.tls_implicit)

    if options.refuse:
        Handler = refusing(Handler, options.refuse)
    if options.wrong_sha256 or options.sha256:
        Handler = with_sha256(Handler, options.wrong_sha256)
    if options.reset_after:
        Handler = resetting(Handler, options.reset_after)
    if options.fold_case:
        Handler.abstracted_fs = case_folding_filesystem()
    Handler.use_gmt_times = not options.local_times
    Handler.authorizer = authorizer
    Handler.passive_ports = range(first, last + 1)
    Handler.masquerade_address = options.masquerade
    # A refused login is answered at once; the tests time the client, not the server's penalty.
    Handler.auth_failed_timeout = 0
    server = (ThreadedFTPServer if options.threaded else FTPServer)((options.host, options.port), Handler)
    print("READY", server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
