"""TCP keep-alive on the control connection, read back from the socket the program holds (for
the Windows build: the one Wine made of its SIO_KEEPALIVE_VALS). The listener answers the
greeting and reads USER; while the program waits for the reply, the socket is looked at."""
import ctypes
import os
import re
import socket
import threading

from trees import make_tree

PIDFD_GETFD = 438  # the system call's number on x86-64


def held_socket(local_port: int, peer_port: int) -> socket.socket:
    """A duplicate of the descriptor some process holds for the connection 127.0.0.1:local_port
    -> peer_port, taken with pidfd_getfd (the test runs as root)."""
    rows = [row.split() for row in open("/proc/net/tcp").read().splitlines()[1:]]
    [inode] = [r[9] for r in rows if int(r[1].split(":")[1], 16) == local_port
               and int(r[2].split(":")[1], 16) == peer_port]
    libc = ctypes.CDLL(None, use_errno=True)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = [(fd, os.readlink(f"/proc/{pid}/fd/{fd}")) for fd in os.listdir(f"/proc/{pid}/fd")]
        except OSError:
            continue
        for fd, target in fds:
            if target == f"socket:[{inode}]":
                pidfd = os.pidfd_open(int(pid))
                try:
                    return socket.socket(fileno=libc.syscall(PIDFD_GETFD, pidfd, int(fd), 0))
                finally:
                    os.close(pidfd)
    raise AssertionError(f"no process holds socket {inode}")


def keep_alive_of(program, local, *options):
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    run = threading.Thread(target=program.run, args=(
        f"--local={program.local(local)}", "--host=127.0.0.1", f"--port={port}", "--username=u",
        "--password=p", "--remote=/", "--timeout=10", *options))
    run.start()
    try:
        connection, (_, client_port) = listener.accept()
        with connection:
            connection.sendall(b"220 ready\r\n")
            assert connection.makefile("rb").readline().startswith(b"USER"), "no USER"
            with held_socket(client_port, port) as held:
                return (held.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE),
                        held.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE),
                        held.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL))
    finally:
        run.join()
        listener.close()


def test_keep_alive_probes_after_a_minute_then_every_15_s_outside_the_default_run(program, tmp_path):
    local = make_tree(tmp_path / "site", {"a.txt": b"a"})
    assert keep_alive_of(program, local, "--pacing=false", "--boxes=false") == (1, 60, 15)
    assert keep_alive_of(program, local)[0] == 0
