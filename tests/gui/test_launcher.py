"""The launcher, as a user starts it: --help and --version without a display's help, usage
errors, and a window on a simulated device found beside it that SIGTERM closes cleanly."""

from __future__ import annotations

import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

import torvek_attenuator
from conftest import BOUND, REPO, python_fixtures

LAUNCHER = os.environ.get("ATTENUATOR_GUI", str(
    Path(os.environ.get("BUILD_DIR", REPO / "build")) / "tools" / "gui" / "attenuator-gui"))


@pytest.mark.parametrize("arguments, code, first_line", [
    (["--version"], 0, f"attenuator-gui {torvek_attenuator.__version__} (library "
                       f"{torvek_attenuator.library_version()})"),
    (["--help"], 0, "Usage: attenuator-gui [--port PORT | --simulate] [--min-angle A] "
                    "[--span S]"),
    (["--port", "/dev/ttyUSB0", "--simulate"], 2, "attenuator-gui: "),
    (["--span", "nan"], 2, "attenuator-gui: "),
])
def test_the_command_line(arguments, code, first_line):
    done = subprocess.run([LAUNCHER, *arguments], capture_output=True, text=True,
                          timeout=BOUND, env={**os.environ, "DISPLAY": ""})
    out = done.stdout if code == 0 else done.stderr
    assert done.returncode == code and out.splitlines()[0].startswith(first_line)


def programs(pid: int) -> dict:
    """The process's children: {pid: the program it runs}."""
    found = {}
    with open(f"/proc/{pid}/task/{pid}/children") as listed:
        for child in map(int, listed.read().split()):
            try:
                found[child] = os.path.realpath(f"/proc/{child}/exe")
            except OSError:  # ended meanwhile
                pass
    return found


def test_simulated_from_the_launcher_and_closed_by_sigterm(tmp_path):
    # Its settings go where XDG_CONFIG_HOME says; the simulator is the one beside the launcher
    # (the build tree's, in the build tree).
    window = subprocess.Popen([LAUNCHER, "--simulate"], stderr=subprocess.PIPE,
                              env={**os.environ, "XDG_CONFIG_HOME": str(tmp_path)})
    simulator = os.path.realpath(python_fixtures.sim_binary())
    deadline = time.monotonic() + BOUND
    while simulator not in programs(window.pid).values() and window.poll() is None and \
            time.monotonic() < deadline:
        time.sleep(0.05)  # a bounded wait for the child to run the simulator
    started = programs(window.pid)
    assert list(started.values()) == [simulator]
    window.send_signal(signal.SIGTERM)
    assert window.wait(timeout=BOUND) == 0, window.stderr.read()
    assert not os.path.exists(f"/proc/{next(iter(started))}")
    assert (tmp_path / "torvek-attenuator" / "attenuator-gui.conf").is_file()
