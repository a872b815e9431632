"""--progress: one status line on standard error where that is a terminal (Wine's console on a
pseudo-terminal counts as one), out of the way of the log lines, and nothing of it elsewhere."""
import re
import tempfile

from program import crlf_lines, run_on_terminal
from scripted_ftp import ScriptedFtpServer
from test_scripted_server import run_against, HOST
from trees import make_tree

FILES = {f"f{i}.bin": bytes(2000) for i in range(3)}
STATUS = re.compile(r"\d/3 files, [\d.,]+ K?i?B of 5\.9 KiB, [\d.,]+ K?i?B/s, (\d+:\d\d left, )?\d failed")
# Wine's console hides the cursor while it draws; that changes nothing on the screen.
CURSOR = re.compile(rb"\x1b\[\?25[lh]")


def screen(output: bytes) -> list[str]:
    """What a terminal shows, row by row (the last one unfinished), words single-spaced: a
    carriage return goes back to the start of the row, text overwrites what is there, ESC[K
    erases to the end of the row and ESC[nC moves right, as Wine's console writes them."""
    rows, row, column = [], [], 0
    for token in re.finditer(rb"\x1b\[(\d*)([CK])|\r\n|\r|[^\r\x1b]", CURSOR.sub(b"", output)):
        text = token.group()
        if text == b"\r\n":
            rows.append(row)
            row, column = [], 0
        elif text == b"\r":
            column = 0
        elif token.group(2) == b"K":
            del row[column:]
        elif token.group(2) == b"C":
            column += int(token.group(1) or 1)
        else:
            row += [" "] * (column + 1 - len(row))
            row[column] = text.decode("latin-1")
            column += 1
    return [" ".join("".join(cells).split()) for cells in rows + [row]]


def args(program, server, local):
    return [f"--local={program.local(local)}", f"--host={HOST}", f"--port={server.port}", "--username=tester",
            "--password=secret", "--remote=/www", "--timeout=1", "--pacing=false", "--progress"]


def test_the_status_line_clears_the_way_for_each_log_line_and_at_the_end(program, tmp_path):
    local = make_tree(tmp_path / "data", FILES)
    output = []
    with ScriptedFtpServer() as server:
        status = run_on_terminal(program.command(args(program, server, local)), output.append,
                                 program.environment(), merge_stderr=True)
    shown = b"".join(output)
    assert status == 0 and STATUS.search(shown.decode("latin-1")), shown
    rows = screen(shown)
    # No row of the log shows a piece of the status line, and none is left at the end.
    assert not any(STATUS.search(row) for row in rows), rows
    assert rows[-1] == "" and rows[-2] == "uploaded: 3 files", rows
    assert [row for row in rows if row.startswith("uploading")] == [
        f"uploading f{i}.bin 2000/2000 code: 500 message:" for i in range(3)]


def test_the_status_line_goes_to_a_terminal_only(program, tmp_path):
    local = make_tree(tmp_path / "data", FILES)
    on_terminal = []
    with ScriptedFtpServer() as server, tempfile.TemporaryFile() as out:
        assert run_on_terminal(program.command(args(program, server, local)), on_terminal.append,
                               program.environment(), stdout=out) == 0
        out.seek(0)
        lines = crlf_lines(out.read())
    drawn = b"".join(on_terminal)
    assert STATUS.search(drawn.decode("latin-1")) and screen(drawn) == [""], drawn
    assert lines[-1] == "uploaded: 3 files", lines

    # Standard error a file, as in a pipe or a CI log: the same lines, not a byte of status.
    with ScriptedFtpServer() as server:
        run = run_against(program, server, local, "--pacing=false", "--progress")
    assert run.status == 0 and run.stderr == b"", run.describe()
    assert [line for line in run.lines if line.startswith("uploading")] == [
        line for line in lines if line.startswith("uploading")]
