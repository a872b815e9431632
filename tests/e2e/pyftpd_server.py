"""A pyftpdlib server for one test or one demo: binds 127.0.0.1 on a port the system picks and
prints "READY <port>" once it accepts connections."""
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive-ports", required=True, help="FIRST-LAST")
    options = parser.parse_args()

    # Every command and reply goes to standard error, which the caller keeps as the server's log.
    logging.basicConfig(level=logging.DEBUG)
    authorizer = DummyAuthorizer()
    authorizer.add_user(options.user, options.password, options.root, perm="elradfmwMT")
    first, last = (int(n) for n in options.passive_ports.split("-"))

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.passive_ports = range(first, last + 1)
    # A refused login is answered at once; the tests time the client, not the server's penalty.
    Handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), Handler)
    print("READY", server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
