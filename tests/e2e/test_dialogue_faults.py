"""Servers that answer late, answer early, or go away: what the server ends up holding must be
exactly what the run reports stored, each file under its own name."""
import pytest

from program import error, info
from scripted_ftp import Script, ScriptedFtpServer
from test_scripted_server import HOST, run_against
from test_tls import certificates  # noqa: F401 (a fixture)
from trees import MIB, make_tree, random_bytes


def six_files():
    return {f"f{i}.txt": random_bytes(1000 + i, seed=i) for i in range(1, 7)}


def said(run, message):
    """A line with this message, whatever reply its code and message fields carry."""
    return any(line.startswith(message + "\t") for line in run.lines)


def held_correctly(server, files):
    """Every file the server holds has its own bytes; the names of those it holds whole."""
    for path, content in server.files.items():
        name = path.rsplit("/", 1)[1]
        assert files[name].startswith(content), f"{path} holds bytes that are not its own"
    return {path.rsplit("/", 1)[1] for path, content in server.files.items()
            if content == files[path.rsplit("/", 1)[1]]}


def test_a_late_start_costs_its_own_file_and_never_shifts_the_others(program, tmp_path):
    files = six_files()
    local = make_tree(tmp_path / "data", files)
    # The second store's "150" comes after the client's time-out of 1 s.
    with ScriptedFtpServer(Script(late_start={"f2.txt": 1.6})) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1 and run.lines[-1] == "uploaded: 5 files, 1 failed", run.describe()
    assert [line for line in run.lines if line.startswith("error:")] == [
        error("upload f2.txt", "420", "no reply within 1 s")]
    assert held_correctly(server, files) >= set(files) - {"f2.txt"}

    with ScriptedFtpServer(Script(late_start={"f2.txt": 1.6})) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and run.lines[-1] == "uploaded: 6 files", run.describe()
    assert info("retry upload f2.txt (1 of 1)", "500") in run.lines
    assert held_correctly(server, files) == set(files)


def test_a_completion_reply_before_the_data_arrived_does_not_count(program, tmp_path):
    # Wine reports a reset that comes after the last byte was handed over as an orderly end
    # (recv, SO_ERROR and FD_CLOSE all carry no error, and it has no SIO_TCP_INFO), where
    # Windows reports WSAECONNRESET: there the reset must meet bytes that no buffer took.
    size, buffer = (8 * MIB, 64 * 1024) if program.is_wine else (2 * MIB, 4 * MIB)
    files = {"big.bin": random_bytes(size, seed=5), "small.txt": b"small"}
    local = make_tree(tmp_path / "data", files)
    # Natively, a receive buffer that holds the whole file, so every byte leaves the client at once.
    script = dict(early_complete={"big.bin": 100_000}, data_receive_buffer=buffer)
    with ScriptedFtpServer(Script(**script)) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1 and run.lines[-1] == "uploaded: 1 files, 1 failed", run.describe()
    # The cut transfer's own reason (how the cut is seen varies), not the last quiet check's reply.
    failed = [line for line in run.lines if line.startswith("error:\tupload big.bin\tcode: ")]
    assert len(failed) == 1 and failed[0] != error("upload big.bin", "500"), run.describe()
    assert server.files["/www/small.txt"] == b"small"

    with ScriptedFtpServer(Script(**script)) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files", run.describe()
    assert server.files["/www/big.bin"] == files["big.bin"]


@pytest.mark.parametrize("where,how", [("", "close"), ("USER", "silent"), ("PASS", "close"), ("CWD", "silent")])
def test_a_connection_lost_while_logging_in_is_tried_again(program, tmp_path, where, how):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa"})
    with ScriptedFtpServer(Script(lose_first_at=where, lose_how=how)) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and run.lines[-1] == "uploaded: 1 files", run.describe()
    assert said(run, f"retry connect to {HOST} (1 of 1)")
    assert server.files == {"/www/a.txt": b"aa"} and len(server.connections) == 2


def test_a_lost_login_says_why(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"aa"})
    with ScriptedFtpServer(Script(lose_first_at="PASS")) as server:
        run = run_against(program, server, local, "--pacing=false")
    assert run.status == 1, run.describe()
    assert error(f"connect to {HOST} connection closed by the server tester ****") in run.lines


@pytest.mark.parametrize("pacing,count", [("true", 4), ("false", 10)])
def test_a_session_lost_between_files_is_replaced(program, tmp_path, pacing, count):
    files = {f"f{i:02}.txt": random_bytes(500, seed=i) for i in range(1, count + 1)}
    local = make_tree(tmp_path / "data", files)
    with ScriptedFtpServer(Script(drop_after_complete={2})) as server:
        run = run_against(program, server, local, f"--pacing={pacing}", "--retries=2")
    assert run.status == 0 and run.lines[-1] == f"uploaded: {count} files", run.describe()
    assert said(run, "retry upload f03.txt (1 of 2)"), run.describe()
    assert not any(line.startswith("error:") for line in run.lines)
    assert held_correctly(server, files) == set(files) and len(server.connections) == 2


def test_a_session_lost_while_making_folders_is_replaced(program, tmp_path):
    files = {"a/one.txt": b"one", "b/two.txt": b"two"}
    local = make_tree(tmp_path / "data", files)
    with ScriptedFtpServer(Script(drop_after_mkd={1})) as server:
        run = run_against(program, server, local, "--pacing=false", "--retries=1")
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files", run.describe()
    assert said(run, f"retry connect to {HOST} (1 of 1)")
    assert server.files == {"/www/a/one.txt": b"one", "/www/b/two.txt": b"two"}



def tls_options(certificates):
    return ["--tls=true", f"--tls-fingerprint={certificates.self_signed.fingerprint}"]


def test_over_tls_an_early_completion_and_a_cut_listing_are_not_trusted(program, tmp_path, certificates):
    pem = str(certificates.self_signed.pem)
    files = {"big.bin": random_bytes(2 * MIB, seed=6), "small.txt": b"small"}
    local = make_tree(tmp_path / "data", files)
    script = dict(tls_certificate=pem, early_complete={"big.bin": 100_000}, data_receive_buffer=4 * MIB)
    with ScriptedFtpServer(Script(**script)) as server:
        run = run_against(program, server, local, "--pacing=false", *tls_options(certificates))
    assert run.status == 1 and run.lines[-1] == "uploaded: 1 files, 1 failed", run.describe()
    assert server.files["/www/small.txt"] == b"small"

    # A listing that ends without close_notify may have lost its end: nothing in it is trusted.
    with ScriptedFtpServer(Script(tls_certificate=pem, offer_mlsd=True, cut_listings=True)) as server:
        server.files.update({f"/www/{name}": content for name, content in files.items()})
        run = run_against(program, server, local, "--pacing=false", "--skip-unchanged=true",
                          *tls_options(certificates))
    assert run.status == 0 and run.lines[-1] == "uploaded: 2 files", run.describe()


def test_a_re_deploy_waits_out_a_slow_answer_and_makes_no_folder_it_saw(program, tmp_path):
    files = {f"d{i}/f.txt": b"x" * i for i in range(1, 9)}
    local = make_tree(tmp_path / "data", files)
    # The first answer is slow: the questions behind it are answered in their turn, none
    # taken for another's.
    with ScriptedFtpServer(Script(offer_mlst=True, slow_first_mlst=1.5)) as server:
        server.folders.update(f"/www/d{i}" for i in range(1, 9))
        server.files.update({f"/www/{name}": content for name, content in files.items()})
        run = run_against(program, server, local, "--pacing=false", "--skip-unchanged=true", "--connections=2")
    assert run.status == 0 and run.lines[-1] == "uploaded: 0 files, 8 unchanged", run.describe()
    # The deploy lock is the one folder made.
    assert [line for line in server.lines if line.startswith("MKD")] == ["MKD .ftpupload-lock"], server.lines


def test_unpaced_folders_are_made_in_one_write(program, tmp_path):
    local = make_tree(tmp_path / "data", {f"d{i}/f.txt": b"f" for i in range(5)})
    trace = tmp_path / "dialogue.trace"
    with ScriptedFtpServer() as server:
        run = run_against(program, server, local, "--pacing=false", f"--trace={program.local(trace)}")
    assert run.status == 0 and run.lines[-1] == "uploaded: 5 files", run.describe()
    dialogue = [line.split(" ", 3)[3] for line in trace.read_text().splitlines()]
    mkds = [i for i, line in enumerate(dialogue) if line.startswith("> MKD")]
    first_answer = next(i for i, line in enumerate(dialogue) if line.startswith("< 257"))
    assert len(mkds) == 5 and mkds[-1] < first_answer, dialogue


def test_a_reply_that_never_ends_closes_its_session(program, tmp_path):
    local = make_tree(tmp_path / "data", {"a.txt": b"a"})
    trace = tmp_path / "trace.log"
    with ScriptedFtpServer(Script(endless_feat=0.2)) as server:
        run = run_against(program, server, local, "--pacing=false", f"--trace={program.local(trace)}")
    assert run.status == 1 and not server.files, run.describe()
    # At the default time-out this took about 14 minutes and a trace line every 0.2 s.
    assert run.seconds < 30, run.describe()
    assert any("reply without end" in line for line in run.lines), run.describe()
    assert len(trace.read_text(encoding="utf-8").splitlines()) < 100
