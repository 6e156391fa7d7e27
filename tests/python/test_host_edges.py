"""Edges a Python host reaches: port names with a NUL, time-outs in seconds, waits cut short."""

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
    assert caught.value.name == "NoSuchPort"


@pytest.mark.parametrize("seconds, milliseconds", [
    (0.0, 0), (2.007, 2007), (0.001, 1), (0.0015, 2), (1e-9, 1), (0.3, 300), (1e12, 2**31 - 1),
])
def test_time_outs_in_seconds_become_whole_milliseconds_rounded_up(seconds, milliseconds) -> None:
    # Rounded up so that a call never waits less than asked, but a product like 2.007 * 1000,
    # which binary floating point makes 2007.0000000000002, is not a millisecond more.
    att = Attenuator()
    assert att._timeout_ms(seconds, "test") == milliseconds


# Cutting a wait short: Ctrl-C on the main thread, cancel() from another thread.

POSITION_90 = b"0PO00008C00\r\n"


def test_ctrl_c_ends_a_waiting_call_and_the_attenuator_goes_on(scripted) -> None:
    device = scripted((b"0gs", b""), (b"0gp", POSITION_90))
    with Attenuator(device.port) as att:
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        start = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            att.status(timeout=30)
        timer.join()
        assert time.monotonic() - start < 15, "the wait ran to its time-out"
        assert att.position_steps == 35840


def test_cancel_from_another_thread_is_a_reply_timeout_there(scripted) -> None:
    device = scripted((b"0ma00008C00", b""), (b"0gp", POSITION_90))
    with Attenuator(device.port) as att:
        att.cancel()  # no call in progress: reaches none
        seen = []

        def look_then_cancel() -> None:
            seen.append(att.check_port())  # beside the call, not after it
            att.cancel()

        timer = threading.Timer(0.2, look_then_cancel)
        start = time.monotonic()
        timer.start()
        with pytest.raises(AttenuatorError) as raised:
            att.move_to(90, timeout=30)
        timer.join()
        assert raised.value.name == "ReplyTimeout" and seen == [True]
        assert time.monotonic() - start < 15, "the wait ran to its time-out"
        assert att.position_steps == 35840
    att.cancel()  # closed: harmless


def test_cancel_then_stop_from_another_thread_leaves_the_mount_where_it_stopped(start_sim) -> None:
    sim = start_sim("--speed", "1000")  # 90 degrees would take 36 s
    stop_results: list = []
    with Attenuator(sim.port) as att:

        def stop() -> None:
            att.cancel()
            try:
                att.stop(timeout=5)
                stop_results.append("Ok")
            except AttenuatorError as error:
                stop_results.append(error.name)

        timer = threading.Timer(0.3, stop)
        timer.start()
        with pytest.raises(AttenuatorError) as raised:
            att.move_to(90, timeout=60)
        timer.join()
        assert raised.value.name == "ReplyTimeout"
        # The device answers the move it cut short (a position frame) before the stop (a status
        # frame); the stop passes over the first for its own.
        assert stop_results == ["Ok"]
        steps = att.position_steps
        assert 0 < steps < 35840
        assert att.position_steps == steps  # standing
