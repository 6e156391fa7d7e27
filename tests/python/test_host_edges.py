"""Edges a Python host reaches: port names with a NUL, and time-outs in seconds."""

from __future__ import annotations

import pytest

from torvek_attenuator import Attenuator, AttenuatorError


def test_a_port_name_with_a_nul_inside_is_refused(sim) -> None:
    # The C interface reads the name up to its first NUL: sim.port itself would be opened and
    # the attenuator would claim a port that does not exist.
    with pytest.raises(AttenuatorError) as caught:
        Attenuator(sim.port + "\0-spare", timeout=1.0)
    assert caught.value.name == "PortUnavailable"


@pytest.mark.parametrize("seconds, milliseconds", [
    (0.0, 0), (2.007, 2007), (0.001, 1), (0.0015, 2), (1e-9, 1), (0.3, 300), (1e12, 2**31 - 1),
])
def test_time_outs_in_seconds_become_whole_milliseconds_rounded_up(seconds, milliseconds) -> None:
    # Rounded up so that a call never waits less than asked, but a product like 2.007 * 1000,
    # which binary floating point makes 2007.0000000000002, is not a millisecond more.
    att = Attenuator()
    assert att._timeout_ms(seconds, "test") == milliseconds
