"""An FTP server of the tests' own, for the replies real servers don't send.

It runs in a thread of the test process on 127.0.0.1, answers from a small script of knobs,
records every command line exactly as it arrived (with its arrival time), and keeps the bytes
of every stored file. Data connections are real: PASV opens a listener, STOR reads to the end.
"""
from __future__ import annotations

import hashlib
import posixpath
import select
import socket
import ssl
import struct
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

# A data connection or a command that does not come within this is a fault of the client.
WAIT_LIMIT_SECONDS = 30


@dataclass
class Script:
    """What the server does differently from a well-behaved one. Remote paths are absolute."""
    user: str = "tester"
    password: str = "secret"
    greeting: str = "220 scripted server ready"
    folders: set[str] = field(default_factory=lambda: {"/", "/www"})
    # Lines sent right after "230", in the same write (a late notice).
    after_login: list[str] = field(default_factory=list)
    # MKD fails unless the parent folder exists (a server that creates one level per MKD).
    one_level_mkd: bool = True
    # The reply that completes a store, and lines sent right after it for the first store only.
    complete_reply: str = "226 Transfer complete."
    after_first_complete: list[str] = field(default_factory=list)
    # The first STOR is refused with this reply instead of "150".
    refuse_first_stor: str | None = None
    # Stores of these names (last path component) are accepted but their data is never read.
    stall_names: set[str] = field(default_factory=set)
    # Called with the remote path once such a store has its data connection.
    on_stall: Callable[[str], None] | None = None
    # Called with the remote path once a store has arrived, before its completion reply.
    on_stored: Callable[[str], None] | None = None
    # Called with the remote path once the first 64 KiB of a store have arrived.
    on_first_64k: Callable[[str], None] | None = None
    # The host a passive reply names; the listener is on 127.0.0.1 whatever it says.
    pasv_host: str = "127,0,0,1"
    # Bytes per second at which stores are read (a slow link); None reads at once.
    read_rate: int | None = None
    # Control connections (1 for the first) greeted with "421 Too many connections." and closed.
    refuse_connections: set[int] = field(default_factory=set)
    # The first store that arrives is answered with this instead of its completion reply.
    fail_first_complete: str | None = None
    # Stores (1 for the first to arrive) after whose data the control connection is dropped.
    drop_after_store: set[int] = field(default_factory=set)
    # Those stores keep their data, as by a server that wrote the file before its control connection died.
    # "damaged": one byte of what they keep is changed, as by a disk that failed the write.
    drop_keeps_file: bool | str = False
    # FEAT offers XSHA256, which answers the SHA-256 of a stored file.
    offer_sha256: bool = False
    # Control connections (1 for the first) that, right after the reply to this command, say
    # "421 Timeout." and close, as an idle time-out does while the client waits for its turn.
    idle_timeout_after: dict[int, str] = field(default_factory=dict)
    # Stores (1 for the first to complete) after whose completion reply the control connection is closed.
    drop_after_complete: set[int] = field(default_factory=set)
    # MKDs (1 for the first) after whose reply the control connection is closed.
    drop_after_mkd: set[int] = field(default_factory=set)
    # The first store of each name here accepts its data connection, waits this many seconds,
    # and only then says "150", reads the data and answers.
    late_start: dict[str, float] = field(default_factory=dict)
    # The first store of each name here reads this many bytes, answers "226" and resets.
    early_complete: dict[str, int] = field(default_factory=dict)
    # On the first control connection, the command ("USER", "PASS", "CWD", or "" for the
    # greeting) at which the server closes the connection ("close") or stops answering ("silent").
    lose_first_at: str | None = None
    lose_how: str = "close"
    # The receive buffer of data connections.
    data_receive_buffer: int = 4096
    # A PEM file (certificate, then key): AUTH TLS is offered, and PROT P puts data connections on TLS.
    tls_certificate: str | None = None
    # Implicit TLS: the control connection is wrapped before the greeting.
    implicit_tls: bool = False
    # FEAT offers MLSD, which lists the stored files with their sizes and a time in the future.
    offer_mlsd: bool = False
    # Listings stop in the middle of a line and the data connection is closed without close_notify.
    cut_listings: bool = False
    # Listings (LIST or MLSD) of these folders go wrong: "close" stops mid-line, "reset" stops
    # mid-line with a reset, "garbage" slips in a line that is no listing line; all end with "226".
    cut_listing_of: dict[str, str] = field(default_factory=dict)
    # RNTO onto a file that exists is refused, as servers that never replace a file do.
    refuse_rnto_onto_existing: bool = False
    # RNTOs from these names (last path component) that would be made are answered with this reply instead.
    fail_rnto_from: dict[str, str] = field(default_factory=dict)
    # Stores of these names (or of their ".NAME.ftpupload-part" temporaries) keep half the data
    # and answer "451", every time.
    fail_store_of: set[str] = field(default_factory=set)
    # Stores from this one on (1 for the first to start) are refused with "452", as by a full disk.
    no_space_from: int | None = None
    # DELE of these paths is refused with "550".
    refuse_dele: set[str] = field(default_factory=set)
    # FEAT offers MLST and MFMT; MLST, SIZE and MDTM answer for stored files and folders (times
    # in the future, or the one MFMT set).
    offer_mlst: bool = False
    # Blanks around each name of a path are dropped, as some servers do.
    trim_names: bool = False
    # Second names of folders that the server does not mark (a bind mount, say): listed as
    # folders (add them to `folders`), holding what the folder they stand for holds. MLSD
    # then gives each folder's "unique" fact.
    aliases: dict[str, str] = field(default_factory=dict)
    # Seconds the first MLST of the first control connection waits for its answer.
    slow_first_mlst: float = 0.0
    # FEAT answers with a reply that never ends: one more feature line every this many seconds.
    endless_feat: float | None = None


@dataclass
class Command:
    raw: bytes
    at: float  # time.monotonic() on arrival

    @property
    def line(self) -> str:
        return self.raw.decode("utf-8").rstrip("\r\n")


class ScriptedFtpServer:
    def __init__(self, script: Script | None = None):
        self.script = script or Script()
        self.host = "127.0.0.1"
        self.commands: list[Command] = []
        self.replies: list[tuple[str, float]] = []
        self.connections: list[float] = []
        self.files: dict[str, bytes] = {}
        self.times: dict[str, str] = {}  # what MFMT set
        self.folders = set(self.script.folders)
        self.stores_started = 0
        self.stores_completed = 0
        self.stores_received = 0
        self.mkds = 0
        self.mlst_slowed = False
        self.late_done: set[str] = set()
        self.dropped: list[str] = []
        self.lock = threading.Lock()
        self.faults: list[str] = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._sessions: list[threading.Thread] = []
        self._stopping = threading.Event()

    # -- what the tests read -------------------------------------------------------------

    @property
    def lines(self) -> list[str]:
        return [command.line for command in self.commands]

    def time_of(self, prefix: str, nth: int = 0) -> float:
        return [c.at for c in self.commands if c.line.startswith(prefix)][nth]

    def reply_time(self, prefix: str, nth: int = 0) -> float:
        return [at for text, at in self.replies if text.startswith(prefix)][nth]

    # -- life cycle ----------------------------------------------------------------------

    def __enter__(self) -> "ScriptedFtpServer":
        self._thread.start()
        return self

    def __exit__(self, *_exc) -> None:
        self._stopping.set()
        self._listener.close()
        self._thread.join(timeout=5)
        for session in self._sessions:
            session.join(timeout=5)

    def _serve(self) -> None:
        while not self._stopping.is_set():
            try:
                control, _ = self._listener.accept()
            except OSError:
                return
            self.connections.append(time.monotonic())
            if len(self.connections) in self.script.refuse_connections:
                with control:
                    control.sendall(b"421 Too many connections.\r\n")
                continue
            session = threading.Thread(target=self._session, args=(control,), daemon=True)
            self._sessions.append(session)
            session.start()

    # -- one control connection ----------------------------------------------------------

    def _session(self, control: socket.socket) -> None:
        with control:
            control.settimeout(WAIT_LIMIT_SECONDS)
            Session(self, control).run()


class Session:
    def __init__(self, server: ScriptedFtpServer, control: socket.socket):
        self.server, self.control, self.script = server, control, server.script
        self.pending = b""
        self.cwd = "/"
        self.user = ""
        self.data_listener: socket.socket | None = None
        self.rename_from: str | None = None
        self.lost = False
        self.idle_notice: list[str] = []
        self.protected = False
        self.index = len(server.connections)

    def send(self, *lines: str) -> None:
        lines, self.idle_notice = (*lines, *self.idle_notice), []
        payload = b"".join(line.encode("utf-8") + b"\r\n" for line in lines)
        now = time.monotonic()
        self.server.replies.extend((line, now) for line in lines)
        try:
            self.control.sendall(payload)
        except OSError:
            pass  # the client is gone: what it sent ahead of going gets no answer

    def read_command(self) -> bytes | None:
        while b"\n" not in self.pending:
            try:
                chunk = self.control.recv(4096)
            except OSError:
                return None
            if not chunk:
                return None
            self.pending += chunk
        raw, self.pending = self.pending.split(b"\n", 1)
        return raw + b"\n"

    def resolve(self, path: str) -> str:
        if self.script.trim_names:
            path = "/".join(part.strip(" ") for part in path.split("/"))
        path = posixpath.normpath(posixpath.join(self.cwd, path))
        for _ in range(100):
            alias = next((a for a in self.script.aliases if path == a or path.startswith(a + "/")), None)
            if alias is None:
                break
            path = self.script.aliases[alias] + path[len(alias):]
        return path

    def lose_here(self, verb: str) -> bool:
        """Plays the scripted loss when it is due; True when the session is over."""
        if self.script.lose_first_at != verb or len(self.server.connections) != 1 or self.lost:
            return False
        self.lost = True
        if self.script.lose_how == "silent":
            self.await_hang_up(self.control)
        return True

    def run(self) -> None:
        if self.lose_here(""):
            return
        if self.script.implicit_tls:
            self.control = self.tls_context().wrap_socket(self.control, server_side=True)
        self.send(self.script.greeting)
        while (raw := self.read_command()) is not None:
            command = Command(raw, time.monotonic())
            self.server.commands.append(command)
            if not raw.endswith(b"\r\n"):
                self.server.faults.append(f"command without CR LF: {raw!r}")
            verb, _, argument = command.line.partition(" ")
            if self.lose_here(verb.upper()):
                return
            handler = getattr(self, "do_" + verb.upper(), None)
            if handler is None:
                self.send("502 Command not implemented.")
                continue
            # In the reply's own write, so the client has it before it next looks.
            timing_out = self.script.idle_timeout_after.get(self.index) == verb.upper()
            self.idle_notice = ["421 Timeout."] if timing_out else []
            if handler(argument) == "quit" or timing_out:
                return
        self.close_data_listener()

    def do_USER(self, argument: str) -> None:
        self.user = argument
        self.send("331 Password required.")

    def do_PASS(self, argument: str) -> None:
        if self.user == self.script.user and argument == self.script.password:
            self.send("230 Login successful.", *self.script.after_login)
        else:
            self.send("530 Login incorrect.")

    def do_CWD(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.folders:
            self.cwd = path
            self.send("250 Directory changed.")
        else:
            self.send("550 No such folder.")

    def do_MKD(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.folders:
            self.send("550 Folder exists.")
        elif self.script.one_level_mkd and posixpath.dirname(path) not in self.server.folders:
            self.send("550 Parent folder missing.")
        else:
            self.server.folders.add(path)
            self.send(f'257 "{path}" created.')
        self.server.mkds += 1
        if self.server.mkds in self.script.drop_after_mkd:
            return "quit"

    def do_AUTH(self, _argument: str) -> None:
        if not self.script.tls_certificate:
            self.send("502 Command not implemented.")
            return
        self.send("234 Proceed with negotiation.")
        self.control = self.tls_context().wrap_socket(self.control, server_side=True)

    def do_PBSZ(self, _argument: str) -> None:
        self.send("200 PBSZ=0")

    def do_PROT(self, argument: str) -> None:
        self.protected = argument == "P"
        self.send("200 Protection level set.")

    def tls_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.script.tls_certificate)
        return context

    def secure(self, data: socket.socket) -> socket.socket:
        return self.tls_context().wrap_socket(data, server_side=True) if self.protected else data

    @staticmethod
    def end_in_order(data: socket.socket) -> None:
        """A TLS connection is ended with the server's own close_notify."""
        if isinstance(data, ssl.SSLSocket):
            try:
                data.unwrap()
            except (OSError, ValueError):
                pass

    def do_MLST(self, argument: str) -> None:
        path = self.resolve(argument)
        if self.script.slow_first_mlst and len(self.server.connections) >= 1 and not self.server.mlst_slowed \
                and self.is_first_connection():
            self.server.mlst_slowed = True
            threading.Event().wait(self.script.slow_first_mlst)  # the scripted fault, not a synchronisation
        if path in self.server.files:
            facts = f"type=file;size={len(self.server.files[path])};modify={self.time_of(path)};"
        elif path in self.server.folders:
            facts = "type=dir;modify=29991231000000;"
        else:
            self.send("550 No such file.")
            return
        self.send(f"250-Listing {argument}", f" {facts} {path}", "250 End")

    def do_SIZE(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.files:
            self.send(f"213 {len(self.server.files[path])}")
        else:
            self.send("550 No such file.")

    def do_XSHA256(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.files:
            self.send(f"213 {hashlib.sha256(self.server.files[path]).hexdigest()}")
        else:
            self.send("550 No such file.")

    def time_of(self, path: str) -> str:
        return self.server.times.get(path, "29991231000000")

    def do_MFMT(self, argument: str) -> None:
        time_value, _, name = argument.partition(" ")
        path = self.resolve(name)
        if not self.script.offer_mlst or path not in self.server.files:
            self.send("550 Cannot set the time.")
            return
        self.server.times[path] = time_value
        self.send(f"213 Modify={time_value}; {path}")

    def do_MDTM(self, argument: str) -> None:
        if self.resolve(argument) in self.server.files:
            self.send(f"213 {self.time_of(self.resolve(argument))}")
        else:
            self.send("550 No such file.")

    def is_first_connection(self) -> bool:
        return self.index == 1

    def do_FEAT(self, _argument: str) -> None:
        if self.script.endless_feat is not None:
            self.send("211-Features:")
            deadline = time.monotonic() + WAIT_LIMIT_SECONDS
            while time.monotonic() < deadline:
                time.sleep(self.script.endless_feat)
                try:
                    self.send(" SIZE")
                except OSError:
                    return
            self.server.faults.append("a reply without end was read for ever")
        elif self.script.offer_sha256:
            self.send("211-Features:", " XSHA256", "211 End")
        elif self.script.offer_mlst:
            self.send("211-Features:", " MLST type*;size*;modify*;", " MFMT", "211 End")
        elif self.script.offer_mlsd:
            self.send("211-Features:", " MLSD", "211 End")
        else:
            self.send("211 No features.")

    def entries(self, folder: str, hidden: bool = True) -> list[tuple[str, int | None]]:
        """(name, size) of each file and (name, None) of each folder right inside `folder`."""
        files = [(posixpath.basename(p), len(c)) for p, c in self.server.files.items() if posixpath.dirname(p) == folder]
        folders = [(posixpath.basename(p), None) for p in self.server.folders
                   if p != folder and posixpath.dirname(p) == folder]
        return sorted(entry for entry in files + folders if hidden or not entry[0].startswith("."))

    def do_MLSD(self, argument: str) -> None:
        folder = self.resolve(argument or ".")
        unique = (lambda name: f"unique={self.resolve(posixpath.join(folder, name))};") if self.script.aliases \
            else (lambda name: "")
        self.send_listing(folder, [
            f"type=dir;modify=29991231000000;{unique(name)} {name}" if size is None
            else f"type=file;size={size};modify=29991231000000; {name}" for name, size in self.entries(folder)])

    def do_LIST(self, argument: str) -> None:
        words = argument.split(" ")
        options = "".join(word for word in words if word.startswith("-"))
        folder = self.resolve(" ".join(word for word in words if not word.startswith("-")) or ".")
        hidden = "a" in options
        self.send_listing(folder, [
            f"{'drwxr-xr-x' if size is None else '-rw-r--r--'}    1 1000     1000     {4096 if size is None else size:>8} Jan 01  2024 {name}"
            for name, size in ([(".", None), ("..", None)] if hidden else []) + self.entries(folder, hidden)])

    def send_listing(self, folder: str, lines: list[str]) -> None:
        if self.data_listener is None:
            self.send("425 Use PASV first.")
            return
        if folder not in self.server.folders:
            self.close_data_listener()
            self.send("550 No such folder.")
            return
        self.send("150 Here comes the listing.")
        self.data_listener.settimeout(WAIT_LIMIT_SECONDS)
        try:
            data, _ = self.data_listener.accept()
        finally:
            self.close_data_listener()
        data = self.secure(data)
        how = "close" if self.script.cut_listings else self.script.cut_listing_of.get(folder)
        if how == "garbage":
            lines = lines[:1] + ["this line lists nothing"] + lines[1:]
        listing = "".join(line + "\r\n" for line in lines).encode()
        if how in ("close", "reset"):
            data.sendall(listing[:-4])  # the last line loses its end
            if how == "reset":
                data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            data.close()  # no close_notify
            self.send("226 Listing sent.")
            return
        data.sendall(listing)
        self.end_in_order(data)
        data.close()
        self.send("226 Listing sent.")

    def do_RETR(self, argument: str) -> None:
        path = self.resolve(argument)
        if self.data_listener is None or path not in self.server.files:
            self.close_data_listener()
            self.send("550 No such file.")
            return
        self.send("150 Opening data connection.")
        self.data_listener.settimeout(WAIT_LIMIT_SECONDS)
        try:
            data, _ = self.data_listener.accept()
        finally:
            self.close_data_listener()
        data = self.secure(data)
        data.sendall(self.server.files[path])
        self.end_in_order(data)
        data.close()
        self.send("226 Transfer complete.")

    def do_RNFR(self, argument: str) -> None:
        path = self.resolve(argument)
        self.rename_from = path if path in self.server.files else None
        self.send("350 Ready for RNTO." if self.rename_from else "550 No such file.")

    def do_RNTO(self, argument: str) -> None:
        path, source, self.rename_from = self.resolve(argument), self.rename_from, None
        if source is None:
            self.send("503 RNFR first.")
        elif path in self.server.files and self.script.refuse_rnto_onto_existing:
            self.send("553 File exists.")
        elif posixpath.dirname(path) not in self.server.folders or path in self.server.folders:
            self.send("550 Rename failed.")
        elif posixpath.basename(source) in self.script.fail_rnto_from:
            self.send(self.script.fail_rnto_from[posixpath.basename(source)])
        else:
            self.server.files[path] = self.server.files.pop(source)
            self.send("250 Rename successful.")

    def do_DELE(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.files and path not in self.script.refuse_dele:
            del self.server.files[path]
            self.send("250 Deleted.")
        else:
            self.send("550 Delete failed.")

    def do_RMD(self, argument: str) -> None:
        path = self.resolve(argument)
        if path in self.server.folders and path != "/" and not self.entries(path):
            self.server.folders.discard(path)
            self.send("250 Folder removed.")
        else:
            self.send("550 Remove failed.")

    def do_NOOP(self, _argument: str) -> None:
        self.send("200 NOOP ok.")

    def do_ALLO(self, _argument: str) -> None:
        self.send("202 No storage allocation necessary.")

    def do_TYPE(self, argument: str) -> None:
        self.send(f"200 Type set to {argument}.")

    def do_PASV(self, _argument: str) -> None:
        self.close_data_listener()
        listener = socket.socket()
        # A small receive buffer makes a peer that stops reading stall the sender quickly.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.script.data_receive_buffer)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.data_listener = listener
        port = listener.getsockname()[1]
        self.send(f"227 Entering Passive Mode ({self.script.pasv_host},{port >> 8},{port & 255}).")

    def do_STOR(self, argument: str) -> None:
        path = self.resolve(argument)
        first = self.server.stores_started == 0
        self.server.stores_started += 1
        if self.data_listener is None:
            self.send("425 Use PASV first.")
            return
        if first and self.script.refuse_first_stor:
            self.close_data_listener()
            self.send(self.script.refuse_first_stor)
            return
        if self.script.no_space_from is not None and self.server.stores_started >= self.script.no_space_from:
            self.close_data_listener()
            self.send("452 Insufficient storage space.")
            return
        if posixpath.dirname(path) not in self.server.folders:
            self.close_data_listener()
            self.send("553 No such folder.")
            return
        name = posixpath.basename(path)
        late = self.script.late_start.get(name) if name not in self.server.late_done else None
        early = self.script.early_complete.get(name) if name not in self.server.late_done else None
        if late is not None or early is not None:
            self.server.late_done.add(name)
        if late is None:
            self.send("150 Ok to send data.")
        self.data_listener.settimeout(WAIT_LIMIT_SECONDS)
        try:
            data, _ = self.data_listener.accept()
        except OSError:
            self.send("425 No data connection.")
            return
        finally:
            self.close_data_listener()
        data = self.secure(data)
        if late is not None:
            threading.Event().wait(late)  # the scripted fault itself, not a synchronisation
            self.send("150 Ok to send data.")
        if early is not None:
            return self.complete_early(data, path, early)
        with data:
            if name in self.script.fail_store_of or name in {f".{n}.ftpupload-part" for n in self.script.fail_store_of}:
                received = self.receive_all(data, path)
                self.server.files[path] = received[:len(received) // 2]  # what a real server leaves
                self.send("451 Transfer aborted: local error.")
                return
            if posixpath.basename(path) in self.script.stall_names:
                if self.script.on_stall:
                    self.script.on_stall(path)
                self.await_hang_up(data)
                self.send("426 Connection closed; transfer aborted.")
                return
            try:
                received = self.receive_all(data, path)
                self.end_in_order(data)
            except OSError:  # the client reset the data connection
                self.send("426 Connection reset; transfer aborted.")
                return
        with self.server.lock:
            self.server.stores_received += 1
            dropped = self.server.stores_received in self.script.drop_after_store
        if dropped:
            self.server.dropped.append(path)
            if self.script.drop_keeps_file:
                damaged = self.script.drop_keeps_file == "damaged"
                self.server.files[path] = (b"?" + received[1:]) if damaged else received
            return "quit"
        self.server.files[path] = received
        if self.script.on_stored:
            self.script.on_stored(path)
        completed_before = self.server.stores_completed
        self.server.stores_completed += 1
        if completed_before == 0 and self.script.fail_first_complete:
            self.send(self.script.fail_first_complete)
            return
        extra = self.script.after_first_complete if completed_before == 0 else []
        self.send(self.script.complete_reply, *extra)
        if self.server.stores_completed in self.script.drop_after_complete:
            return "quit"

    def complete_early(self, data: socket.socket, path: str, wanted: int) -> None:
        """Takes the first bytes of a store, says it is complete, and resets the connection."""
        received = b""
        data.settimeout(WAIT_LIMIT_SECONDS)
        while len(received) < wanted and (chunk := data.recv(min(65536, wanted - len(received)))):
            received += chunk
        self.server.files[path] = received
        self.send(self.script.complete_reply)
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        data.close()

    def do_QUIT(self, _argument: str) -> str:
        self.send("221 Goodbye.")
        return "quit"

    # -- data connections ----------------------------------------------------------------

    def close_data_listener(self) -> None:
        if self.data_listener is not None:
            self.data_listener.close()
            self.data_listener = None

    def receive_all(self, data: socket.socket, path: str) -> bytes:
        data.settimeout(WAIT_LIMIT_SECONDS)
        rate = self.script.read_rate
        # A throttle, not a synchronisation: the slow reader takes rate/20 bytes every 50 ms.
        throttle = threading.Event()
        chunks, total, hooked = [], 0, False
        while chunk := data.recv(max(1, rate // 20) if rate else 65536):
            chunks.append(chunk)
            total += len(chunk)
            if not hooked and total >= 65536 and self.script.on_first_64k:
                hooked = True
                self.script.on_first_64k(path)
            if rate:
                throttle.wait(0.05)
        return b"".join(chunks)

    @staticmethod
    def await_hang_up(data: socket.socket) -> None:
        """Never reads; waits until the client closes or resets its end of the data connection."""
        watch = select.poll()
        watch.register(data, select.POLLRDHUP | select.POLLERR | select.POLLHUP)
        watch.poll(WAIT_LIMIT_SECONDS * 1000)
