"""Fixtures: the simulated attenuator (attenuator-sim) as a separate process."""

from __future__ import annotations

import os
import select
import signal
import subprocess
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

REPO = Path(__file__).resolve().parents[2]


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
def att(sim: Sim) -> Iterator["torvek_attenuator.Attenuator"]:  # noqa: F821
    from torvek_attenuator import Attenuator

    with Attenuator(sim.port) as attenuator:
        yield attenuator

