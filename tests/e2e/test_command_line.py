"""Runs that end before any upload: the usage text, the boxes on standard error, exit statuses."""
import pytest

from scripted_ftp import Script, ScriptedFtpServer

OPTION_NAMES = ["local", "host", "remote", "username", "password", "port", "passive",
                "timeout", "recurse", "include", "exclude", "help", "?", "version", "pacing",
                "connections", "password-file", "tls", "tls-ca-file", "tls-fingerprint",
                "skip-unchanged", "retries", "trace", "dry-run", "max-delete", "password-env", "boxes", "verify"]


def test_usage_without_options_and_help_with_a_full_command_line(program, tmp_path):
    bare = program.run()
    assert bare.status == 0, bare.describe()
    assert bare.stderr == b""
    usage = bare.lines
    text = "\n".join(usage)
    for name in OPTION_NAMES:
        assert name in text, f"usage does not name {name!r}:\n{text}"

    (tmp_path / "a.txt").write_text("a")
    with ScriptedFtpServer() as server:
        for help_word in ("--help", "-?", "--?"):
            run = program.run(help_word, f"--local={program.local(tmp_path)}", "--host=127.0.0.1",
                              f"--port={server.port}", "--username=tester", "--password=secret",
                              "--remote=/www", "--timeout=1")
            assert (run.status, run.lines, run.stderr) == (0, usage, b""), run.describe()
        version = program.run("--version", f"--local={program.local(tmp_path)}", "--host=127.0.0.1",
                              f"--port={server.port}", "--timeout=1")
        assert version.status == 0 and len(version.lines) == 1, version.describe()
        assert version.lines[0].startswith("ftpupload 1."), version.describe()
        assert server.connections == [], "help and version must not connect"


@pytest.mark.parametrize("options, box, status", [
    (["--port=abc"], "initSender Error: Could not convert `abc` of type char[] to type uint.", 1),
    (["--port=70000"], "initSender Error: Could not convert `70000` of type uint to type ushort.", 1),
    (["--timeout=-1"], "initSender Error: Could not convert `-1` of type long to type uint.", 1),
    (["--passive=YES"], "initSender Error: Could not convert `yes` of type char[] to type bool.", 1),
    (["--recurse"], "initSender Error: Could not convert `` of type char[] to type bool.", 1),
    (["--hidden=YES"], "initSender Error: Could not convert `yes` of type char[] to type bool.", 1),
    (["--checksum=true"], "initSender Error: --checksum applies only to the skip decision: "
                          "add --skip-unchanged=true.", 1),
    (["--report=no-such-folder/run.json"], "initSender Error: The --report file no-such-folder/run.json "
                                           "cannot be created: No such file or directory", 1),
    # Never a window, whatever the build: a box read before --boxes honours it too.
    (["--report=no-such-folder/run.json", "--boxes=false"], "initSender Error: The --report file "
                                           "no-such-folder/run.json cannot be created: No such file or directory", 1),
    (["--boxes=false", "--password-env=FTPUPLOAD_TEST_UNSET"],
     "initSender Error: The environment variable FTPUPLOAD_TEST_UNSET of --password-env is not set.", 1),
    (["--include=*.none"], "Error: no files need upload", 0),
    (["--include="], "Error: no files need upload", 0),
], ids=["port-text", "port-16-bit", "timeout-negative", "passive-yes", "recurse-empty",
        "hidden-yes", "checksum-alone", "report-uncreatable", "report-no-window", "password-env-unset",
        "include-none", "include-empty"])
def test_option_boxes_follow_the_local_folder_line(program, tmp_path, options, box, status):
    # No server: a run that wrongly went on would add its connect lines to the output.
    (tmp_path / "a.txt").write_text("a")
    run = program.run(f"--local={program.local(tmp_path)}", "--host=127.0.0.1", *options)
    assert run.status == status, run.describe()
    assert run.lines == [program.shown(tmp_path)], run.describe()
    assert run.error_lines == [box], run.describe()


def test_folders_with_nothing_to_send(program, tmp_path):
    hidden_only = tmp_path / "hidden-only"
    (hidden_only / ".cache").mkdir(parents=True)
    (hidden_only / ".secret").write_text("s")
    (hidden_only / ".cache" / "c.txt").write_text("c")
    run = program.run(f"--local={program.local(hidden_only)}", "--host=127.0.0.1")
    assert (run.status, run.lines, run.error_lines) == (
        0, [program.shown(hidden_only)], ["Error: no files need upload"]), run.describe()

    missing = tmp_path / "no-such-folder"
    run = program.run(f"--local={program.local(missing)}", "--host=127.0.0.1")
    assert run.status == 1, "a folder that cannot be read is a failure: " + run.describe()
    shown, *errors = run.lines
    assert shown == program.shown(missing)
    assert len(errors) == 1 and errors[0].startswith("error:\t") and "no-such-folder" in errors[0]
    assert errors[0].endswith("\tcode: 000\tmessage: "), run.describe()
    assert run.error_lines == ["Error: no files need upload"]


def test_refused_before_reading_anything(program, tmp_path):
    run = program.run("--host=127.0.0.1", "--remote=/www")
    assert run.status == 1 and run.stdout == b"", run.describe()
    [box] = run.error_lines
    assert box.startswith("initSender Error: ") and "local" in box, run.describe()

    (tmp_path / "a.txt").write_text("a")
    run = program.run(f"--local={program.local(tmp_path)}", "--exclude=*.log|[abc")
    assert run.status == 1 and run.lines == [program.shown(tmp_path)], run.describe()
    [box] = run.error_lines
    assert box.startswith("initSender Error: ") and "[abc" in box, run.describe()


def test_a_name_the_program_cannot_represent_is_reported_and_fails_the_run(native, tmp_path):
    # On POSIX a file name may hold "\", which the program's path form cannot carry.
    (tmp_path / "odd\\name.txt").write_text("x")
    run = native.run(f"--local={tmp_path}", "--include=*.none")
    assert run.status == 1, run.describe()
    shown, *errors = run.lines
    assert shown == native.shown(tmp_path)
    assert len(errors) == 1 and errors[0].startswith("error:\t"), run.describe()
    assert "odd" in errors[0] and errors[0].endswith("\tcode: 000\tmessage: ")
    assert run.error_lines == ["Error: no files need upload"]


def test_a_slip_of_an_option_name_is_refused_and_other_unknown_names_pass(program, tmp_path):
    (tmp_path / "a.txt").write_text("a")
    usage = program.run().lines
    with ScriptedFtpServer() as server:
        start = [f"--local={program.local(tmp_path)}", "--host=127.0.0.1", f"--port={server.port}", "--timeout=1"]
        # The start of one name is a slip too; --boxes is honoured on a refused command line.
        for boxes, word, meant in [([], "--tsl=true", "--tls"), ([], "-tls=true", "--tls"),
                                   ([], "--dryrun=true", "--dry-run"), (["--boxes=false"], "--user=tester", "--username")]:
            run = program.run(*start, *boxes, word)
            assert (run.status, run.lines) == (1, usage), run.describe()
            typed = word.split("=")[0]
            assert run.error_lines == [f"argument parse Error: unknown option {typed} (did you mean {meant}?)"], \
                run.describe()
        assert server.connections == [], "a refused option must stop the run before it connects"

    run = program.run(*start, "--frobnicate", "--colour=red", "--include=*.none")
    assert (run.status, run.lines, run.error_lines) == (
        0, [program.shown(tmp_path)], ["Error: no files need upload"]), run.describe()


def test_the_password_from_the_environment_logs_in_and_is_written_nowhere(program, tmp_path, monkeypatch):
    local = tmp_path / "site"
    local.mkdir()
    (local / "a.txt").write_text("a")
    trace, report = tmp_path / "run.trace", tmp_path / "run.json"
    monkeypatch.setenv("FTPUPLOAD_TEST_PASSWORD", "env-s3cret")
    with ScriptedFtpServer(Script(password="env-s3cret")) as server:
        run = program.run(f"--local={program.local(local)}", "--host=127.0.0.1", f"--port={server.port}",
                          "--username=tester", "--password-env=FTPUPLOAD_TEST_PASSWORD", "--remote=/www",
                          "--pacing=false", f"--trace={program.local(trace)}", f"--report={program.local(report)}")
        assert run.status == 0, run.describe()
        assert "PASS env-s3cret" in server.lines and server.files == {"/www/a.txt": b"a"}
    for written in (run.stdout, run.stderr, trace.read_bytes(), report.read_bytes()):
        assert b"env-s3cret" not in written
