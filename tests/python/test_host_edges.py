"""Edges a Python host reaches: port names with a NUL, the state after a failed connect, and
Ctrl-C while a call waits for the device."""

from __future__ import annotations

import os
import signal
import threading
import time

import pytest

from torvek_attenuator import Attenuator, AttenuatorError


def test_a_port_name_with_a_nul_inside_is_refused(sim) -> None:
    # The C interface reads the name up to its first NUL: sim.port itself would be opened and
    # the attenuator would claim a port that does not exist.
    with pytest.raises(AttenuatorError) as caught:
        Attenuator(sim.port + "\0-spare", timeout=1.0)
    assert caught.value.name in ("PortUnavailable", "InvalidArgument")


def test_a_failed_identification_leaves_no_port_claimed(sim) -> None:
    # /dev/ptmx opens (a new pseudo-terminal master) but nothing there identifies itself: the
    # library then closes the port it had, and the attenuator must not go on naming it.
    with Attenuator(sim.port, timeout=1.0) as att:
        with pytest.raises(AttenuatorError) as caught:
            att.connect("/dev/ptmx")
        assert caught.value.name == "PortUnavailable"
        with pytest.raises(AttenuatorError) as caught:
            att.status()
        assert caught.value.name == "PortUnavailable"
        assert att.port is None
        assert repr(att) == "<Attenuator not connected>"


def test_ctrl_c_ends_a_wait_for_a_silent_device(start_sim) -> None:
    sim = start_sim("--speed", "0", "--silent-after", "1")
    with Attenuator(sim.port) as att:
        interrupt = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        start = time.monotonic()
        interrupt.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                att.status(timeout=10.0)
        finally:
            interrupt.join()
        took = time.monotonic() - start
    # A host must be able to stop its program while a long time-out runs; loose bound, the
    # machine is shared.
    assert took < 5.0
