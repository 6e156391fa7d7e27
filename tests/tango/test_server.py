"""attenuator-tango as a program: its output, --help and --version."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import torvek_attenuator

from conftest import BUILD


def test_the_ready_line_reaches_the_log_while_the_server_runs(start_sim, start_server):
    # The fixture sends the output to a file without PYTHONUNBUFFERED, and has waited for the
    # server by asking it; a block-buffered server writes the line only when it exits.
    start_sim("--speed", "0")
    server = start_server()
    deadline = time.monotonic() + 10
    while b"Ready to accept request\n" not in server.log.read_bytes():
        assert server.process.poll() is None, server.log.read_text()
        assert time.monotonic() < deadline, f"no ready line in the log: {server.log.read_text()}"
        time.sleep(0.02)


def test_only_tangos_own_thread_takes_the_signals_that_end_the_server(start_sim, start_server):
    # Tango's signal thread waits for SIGHUP, SIGINT, SIGQUIT and SIGTERM (and shows them
    # unblocked while it waits); a second thread without them blocked is one a SIGTERM may
    # kill the server in, before its devices are deleted.
    start_sim("--speed", "0")
    server = start_server()
    shutdown = (1 << 0) | (1 << 1) | (1 << 2) | (1 << 14)
    open_to_them = []
    for task in (Path("/proc") / str(server.process.pid) / "task").iterdir():
        fields = dict(line.split(":\t", 1) for line in (task / "status").read_text().splitlines()
                      if ":\t" in line)
        if int(fields["SigBlk"], 16) & shutdown != shutdown:
            open_to_them.append(f"{task.name} {fields['Name']} {fields['SigBlk']}")
    assert len(open_to_them) == 1, open_to_them


def launcher(*arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(BUILD / "tools" / "tango" / "attenuator-tango"), *arguments],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


def test_help_lists_every_device_property_with_its_default():
    done = launcher("--help")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("Usage: attenuator-tango INSTANCE ")
    section = done.stdout.split("\nDevice properties:\n", 1)[1].split("\n\n", 1)[0]
    rows = dict(re.findall(r"^  (\w+) +(required|default [^:]+):", section, re.M))
    assert rows == {"Port": "required", "TimeoutMs": "default 2000",
                    "MotionTimeoutMs": "default 60000", "MinAngle": "default 0",
                    "AngleSpan": "default 90"}
    # help2man makes the man page's EXAMPLES and ENVIRONMENT of these paragraphs.
    examples = done.stdout.split("\nExamples:\n", 1)[1].split("\n\n", 1)[0]
    assert "-file=attenuator.db -ORBendPoint giop:tcp:127.0.0.1:45450" in examples
    assert "TANGO_HOST=" in examples
    environment = done.stdout.split("\nEnvironment:\n", 1)[1]
    assert re.findall(r"^  (\w+) ", environment, re.M) == [
        "TANGO_HOST", "TORVEK_ATTENUATOR_TRACE", "TORVEK_ATTENUATOR_LIBRARY"]


def test_version_and_tangos_own_help():
    version = launcher("--version")
    assert (version.returncode, version.stdout) == (
        0, f"attenuator-tango {torvek_attenuator.__version__} "
           f"(library {torvek_attenuator.library_version()})\n")
    assert launcher("-V").stdout == version.stdout
    tangos = launcher("--help-tango")
    assert tangos.returncode == 0 and "-nodb" in tangos.stdout and "-dlist" in tangos.stdout


def test_the_wait_for_a_server_ends_when_none_answers_or_it_has_ended(tmp_path):
    """torvek_attenuator_tango.ready: exit 1 with the reason, never a wait past its bound."""
    from conftest import free_port

    dead = subprocess.Popen(["true"])
    dead.wait()
    address = f"127.0.0.1:{free_port()}"
    for options, reason in ((["--timeout", "0.5"], "did not answer within 0.5 s"),
                            (["--timeout", "60", "--pid", str(dead.pid)], "the server ended")):
        began = time.monotonic()
        done = subprocess.run(
            [sys.executable, "-m", "torvek_attenuator_tango.ready", "lab", "--address", address,
             *options], capture_output=True, text=True, timeout=60, cwd=tmp_path,
            env={**os.environ, "PYTHONPATH": str(BUILD / "python")})
        assert (done.returncode, done.stdout) == (1, "") and reason in done.stderr
        assert "dserver/attenuator-tango/lab" in done.stderr
        assert time.monotonic() - began < 10
