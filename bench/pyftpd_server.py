"""A pyftpdlib server for the benchmark: one user with every write permission, on a port the
benchmark chose (the relay listens on the same number on its own address), passive replies
naming the relay's address. Prints "READY" once it accepts connections.

The tests have a launcher of their own; this one differs where the benchmark needs it: a given
port and a masquerade address for the relay, and uploads logged at INFO only, since a log line
for every command would charge the server's writing to the clients being timed.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--passive-ports", required=True, help="FIRST-LAST")
    parser.add_argument("--masquerade", help="address that passive replies name")
    options = parser.parse_args()

    # Standard error is the caller's log: the re-deploy check counts the completed uploads in it.
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(options.user, options.password, options.root, perm="elradfmwMT")
    first, last = (int(n) for n in options.passive_ports.split("-"))

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.passive_ports = list(range(first, last + 1))
    Handler.masquerade_address = options.masquerade
    Handler.auth_failed_timeout = 0
    try:
        server = FTPServer((options.host, options.port), Handler)
    except OSError as error:  # the port was taken after the caller's probe: it tries another
        print(f"BIND {error}", flush=True)
        return 1
    print("READY", flush=True)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
