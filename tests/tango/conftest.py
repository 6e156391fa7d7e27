"""Fixtures: attenuator-sim on a pseudo-terminal, and attenuator-tango in its own process in
file-database mode on a free port, both started by the tests and stopped after them."""

from __future__ import annotations

import os
import select
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Dict, Iterable, Iterator, List

import pytest
import tango

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("BUILD_DIR", REPO / "build")).resolve()
DEVICE = "lab/attenuator/1"
# The build tree's copy of the Python packages, for tests that use the line themselves and for
# the wait for a server.
sys.path.insert(0, str(BUILD / "python"))

from torvek_attenuator_tango.ready import NotServing, admin_device, wait_until_serving  # noqa: E402


def _program(variable: str, default: Path) -> str:
    chosen = os.path.abspath(os.environ.get(variable) or str(default))
    if not os.access(chosen, os.X_OK):
        pytest.fail(f"no program at {chosen}; build it or set {variable}")
    return chosen


def _stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Sim:
    """A running attenuator-sim with --trace; ``port`` is the path to open (its --link)."""

    def __init__(self, directory: Path, link: Path, arguments: Iterable[str]) -> None:
        binary = _program("ATTENUATOR_SIM", BUILD / "tools" / "sim" / "attenuator-sim")
        # The trace goes to a file: a pipe nobody reads would fill up and stall the device.
        self.trace_file = directory / f"sim-{time.monotonic_ns()}.trace"
        with open(self.trace_file, "wb") as trace:
            self.process = subprocess.Popen(
                [binary, "--baud", "0", "--trace", "--link", str(link), *arguments],
                stdout=subprocess.PIPE, stderr=trace, stdin=subprocess.DEVNULL)
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], 10.0)
        if not ready or not self.process.stdout.readline().strip():
            _stop(self.process)
            pytest.fail(f"attenuator-sim printed no port: {self.trace()}")
        self.port = str(link)

    def trace(self) -> str:
        return self.trace_file.read_text(errors="replace")

    def commands(self) -> List[str]:
        """The commands the host sent, in order ("0in", "0gp", "0ma00004600", ...)."""
        return [line.split()[2] for line in self.trace().splitlines()
                if len(line.split()) == 3 and line.split()[1] == "host"]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """attenuator-tango INSTANCE -file=DB -ORBendPoint giop:tcp:127.0.0.1:PORT."""

    def __init__(self, directory: Path, devices: Dict[str, Dict[str, object]]) -> None:
        launcher = _program("ATTENUATOR_TANGO", BUILD / "tools" / "tango" / "attenuator-tango")
        database = directory / "devices.db"
        lines = ["attenuator-tango/test/DEVICE/TorvekAttenuator: " + ", ".join(devices)]
        for name, properties in devices.items():
            lines += [f"{name}->{key}: {value}" for key, value in properties.items()]
        database.write_text("\n".join(lines) + "\n")
        self.port = free_port()
        self.log = directory / "server.log"
        # Its output goes to a file, as under systemd or Starter, with Python's own buffering:
        # nothing here may rest on the environment of the machine that runs the tests.
        environment = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [launcher, "test", f"-file={database}", "-ORBendPoint",
                 f"giop:tcp:127.0.0.1:{self.port}"],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=directory,
                env=environment)
        try:
            wait_until_serving(admin_device("test", f"127.0.0.1:{self.port}"), 60.0,
                               lambda: self.process.poll() is None)
        except NotServing as failure:
            _stop(self.process)
            pytest.fail(f"attenuator-tango did not start: {failure}\n{self.log.read_text()}")

    def proxy(self, name: str = DEVICE) -> tango.DeviceProxy:
        return tango.DeviceProxy(f"tango://127.0.0.1:{self.port}/{name}#dbase=no")


def wait_state(proxy: tango.DeviceProxy, *states: tango.DevState,
               bound: float = 60.0) -> tango.DevState:
    """Waits until the device is in one of ``states`` (the bound only ends a hung test)."""
    deadline = time.monotonic() + bound
    while True:
        state = proxy.state()
        if state in states or time.monotonic() > deadline:
            return state
        time.sleep(0.02)


@pytest.fixture
def start_sim(tmp_path: Path) -> Iterator[Callable[..., Sim]]:
    """start_sim(*options): a simulator on the link tmp_path/ttyATT (a later one takes over
    the same link); every one is stopped after the test."""
    started: List[Sim] = []

    def start(*arguments: str) -> Sim:
        sim = Sim(tmp_path, tmp_path / "ttyATT", arguments)
        started.append(sim)
        return sim

    yield start
    for sim in reversed(started):
        _stop(sim.process)


@pytest.fixture
def start_server(tmp_path: Path) -> Iterator[Callable[..., Server]]:
    """start_server({device: properties}): the server with those devices; the default is
    DEVICE on the link of start_sim."""
    started: List[Server] = []

    def start(devices: Dict[str, Dict[str, object]] | None = None,
              **properties: object) -> Server:
        chosen = devices or {DEVICE: {"Port": tmp_path / "ttyATT", **properties}}
        server = Server(tmp_path, chosen)
        started.append(server)
        return server

    yield start
    for server in started:
        _stop(server.process)
        # Tango ends the server on SIGTERM and exits with 0; killed by the signal is a crash.
        assert server.process.returncode == 0, server.log.read_text()
