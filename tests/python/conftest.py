"""Fixtures: the simulated attenuator (attenuator-sim) as a separate process, and a scripted
device on a pseudo-terminal for replies the simulator never sends."""

from __future__ import annotations

import os
import select
import signal
import subprocess
import threading
import tty
from pathlib import Path
from typing import Callable, Iterator, List, Tuple

import pytest

from torvek_attenuator import Attenuator

REPO = Path(__file__).resolve().parents[2]
BOUND = 20.0  # seconds; only ends a hung test


def sim_binary() -> str:
    """attenuator-sim: $ATTENUATOR_SIM, else the one in $BUILD_DIR (default <repo>/build)."""
    chosen = os.environ.get("ATTENUATOR_SIM")
    if chosen:
        return chosen
    build = Path(os.environ.get("BUILD_DIR", REPO / "build"))
    return str(build / "tools" / "sim" / "attenuator-sim")


class Sim:
    """A running attenuator-sim; ``port`` is the pty it serves."""

    def __init__(self, arguments: List[str]) -> None:
        binary = sim_binary()
        if not os.access(binary, os.X_OK):
            pytest.fail(f"no simulator at {binary}; build it or set ATTENUATOR_SIM")
        self.process = subprocess.Popen(
            [binary, "--baud", "0", *arguments],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
        )
        self.port = self._first_line(timeout=10.0)

    def _first_line(self, timeout: float) -> str:
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().decode().strip() if ready else ""
        if not line:
            self.stop()
            assert self.process.stderr is not None
            pytest.fail(f"attenuator-sim printed no port: {self.process.stderr.read().decode()}")
        return line

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Trace:
    """The wire trace of a simulator started with --trace, read from its stderr as it comes:
    [("host", "0gp"), ("device", "0PO00000000\\r\\n"), ...]."""

    def __init__(self, sim: Sim) -> None:
        self.sim, self.lines, self._rest = sim, [], b""

    def _read(self, wait: float) -> bool:
        stream = self.sim.process.stderr
        assert stream is not None
        if not select.select([stream], [], [], wait)[0]:
            return True
        data = os.read(stream.fileno(), 65536)
        *complete, self._rest = (self._rest + data).split(b"\n")
        self.lines += [tuple(line.decode().split()[1:]) for line in complete
                       if len(line.split()) == 3]
        return bool(data)

    def wait_for(self, *line: str) -> None:
        while line not in self.lines:
            self._read(BOUND) or pytest.fail(f"the trace ended without {line}: {self.lines}")

    def finished(self) -> List[tuple]:
        self.sim.stop()
        while self._read(BOUND):
            pass
        return self.lines


@pytest.fixture
def start_sim() -> Iterator[Callable[..., Sim]]:
    """Starts attenuator-sim with extra command-line arguments; stopped after the test."""
    started: List[Sim] = []

    def start(*arguments: str) -> Sim:
        sim = Sim(list(arguments))
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def sim(start_sim: Callable[..., Sim]) -> Sim:
    """A default simulated device (360 degrees, 143360 steps) that moves instantly."""
    return start_sim("--speed", "0")


@pytest.fixture
def att(sim: Sim) -> Iterator[Attenuator]:
    """An attenuator connected to `sim`, closed after the test."""
    with Attenuator(sim.port) as attenuator:
        yield attenuator



IDENTIFICATION = b"0IN0E1234ABCD01020304016800023000\r\n"


class ScriptedDevice:
    """Answers a script of (command, reply) pairs in order on a pseudo-terminal; the
    identification on connect is answered first. Commands carry no terminator, so the next
    expected command is recognised as a prefix of what has arrived."""

    def __init__(self, script: List[Tuple[bytes, bytes]]) -> None:
        self.script = [(b"0in", IDENTIFICATION), *script]
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.port = os.ttyname(self.slave)
        self.pending = b""
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self._stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            self.pending += os.read(self.master, 256)
            while self.script and self.pending.startswith(self.script[0][0]):
                command, reply = self.script.pop(0)
                self.pending = self.pending[len(command):]
                os.write(self.master, reply)

    def close(self) -> None:
        self._stop.set()
        self._thread.join(timeout=5)
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def scripted() -> Iterator[Callable[..., ScriptedDevice]]:
    """Starts a ScriptedDevice; checks after the test that its whole script was played and
    nothing else arrived."""
    devices: List[ScriptedDevice] = []

    def start(*script: Tuple[bytes, bytes]) -> ScriptedDevice:
        device = ScriptedDevice(list(script))
        devices.append(device)
        return device

    yield start
    for device in devices:
        device.close()
        assert device.script == [] and device.pending == b"", "the device script was not played"
