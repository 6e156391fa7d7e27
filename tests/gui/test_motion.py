"""Moving: a value in each unit, what the window refuses and what the library does, the
read-back, jogs and the device's runs; Stop during a move, by Esc and the button; closing
during a move."""

from __future__ import annotations

import pytest

from conftest import BOUND_MS, MOVING, ON, Trace, number, wait_state
from torvek_attenuator import accepted_range
from torvek_attenuator import RANGE_DEGREES
from torvek_attenuator.gui._qt import QtCore
from torvek_attenuator.gui.motion_panel import DEGREES, DENSITY, FRACTION, PERCENT, STEPS


def moves(trace: Trace) -> list:
    """The commands that move the mount or stop it, as the device got them."""
    return [command for who, command in trace.finished()
            if who == "host" and command[:3] in ("0ma", "0ho", "0om", "0cm", "0st")]


# From 500 steps, at min angle 10 and span 90 (the values of tests/python's Mount table).
@pytest.mark.parametrize("unit, text, command, shown", [
    (DEGREES, "45", "0ma00004600", ("17920", "45.0000", "0.328990", "32.8990 %", "0.4828")),
    (STEPS, "-1000", "0maFFFFFC18", ("-1000", "-2.5112", "0.046928", "4.6928 %", "1.3286")),
    (FRACTION, "0.5", "0ma0000558E", ("21902", "54.9994", "0.499990", "49.9990 %", "0.3010")),
    (PERCENT, "50", "0ma0000558E", ("21902", "54.9994", "0.499990", "49.9990 %", "0.3010")),
    (DENSITY, "0.30103", "0ma0000558E",
     ("21902", "54.9994", "0.499990", "49.9990 %", "0.3010")),
    # OD inf is T = 0, at the min angle: 3982 steps, 10 degrees truncated to whole steps.
    (DENSITY, "inf", "0ma00000F8E", ("3982", "9.9994", "0.000000", "0.0000 %", "10.0231")),
    # Refused, nothing sent: beyond the density the mount reaches (the reachable range
    # given, 8.7164 at this model and scale), no density, a whole turn (with what the library
    # accepts), no whole number of steps.
    (DENSITY, "9", None, "8.7164"),
    (DENSITY, "-1", None, ""),
    (DEGREES, "360", None, accepted_range(RANGE_DEGREES)),
    (STEPS, "1.5", None, ""),
])
def test_a_value_in_each_unit_moves_there_or_is_refused(start_sim, connected, qtbot, unit,
                                                        text, command, shown):
    sim = start_sim("--speed", "0", "--trace", "--position", "500")
    trace = Trace(sim)
    window = connected(sim)
    window.set_model(10, 90)
    panel, status = window.motion_panel, window.status_panel
    panel.unit.setCurrentIndex(unit)
    panel.value.setText(text)
    panel.go_button.click()
    if command is None:
        assert panel.message.text() and shown in panel.message.text()
        assert status.shown.state is ON
        assert moves(trace) == []
        return
    qtbot.waitUntil(lambda: status.shown.steps == int(shown[0]) and not status.shown.moving,
                    timeout=BOUND_MS)
    assert (status.steps.text(), status.degrees.text(), status.fraction.text(),
            status.percent.text(), status.density.text()) == shown
    assert moves(trace) == [command]


def test_jogs_and_the_device_s_runs(start_sim, connected, qtbot):
    sim = start_sim("--speed", "0", "--trace", "--position", "500", "--optimize-ms", "50",
                    "--clean-ms", "50")
    trace = Trace(sim)
    window = connected(sim)
    panel, status = window.motion_panel, window.status_panel
    for button, steps in ((panel.jog_forward, 898), (panel.jog_forward, 1296),
                          (panel.jog_back, 898), (panel.optimize, 898), (panel.clean, 898),
                          (panel.home, 0)):
        qtbot.waitUntil(button.isEnabled, timeout=BOUND_MS)  # at rest again
        button.click()
        qtbot.waitUntil(lambda: status.shown.steps == steps and status.shown.state is ON,
                        timeout=BOUND_MS)
    assert moves(trace) == ["0ma00000382", "0ma00000510", "0ma00000382", "0om", "0cm", "0ho0"]


@pytest.mark.parametrize("how", ["Esc in a field", "the Stop button"])
def test_stop_during_a_move_acts_at_once(start_sim, connected, qtbot, how):
    sim = start_sim("--speed", "14336", "--trace")  # 90 degrees take 2.5 s
    trace = Trace(sim)
    window = connected(sim)
    panel = window.motion_panel
    panel.value.setText("90")
    panel.go_button.click()
    trace.wait_for("host", "0ma00008C00")
    wait_state(qtbot, window, MOVING)
    assert window.stop_button.isEnabled() and not panel.go_button.isEnabled()
    assert window.status_panel.steps.text() == "0 → 35840"
    if how == "the Stop button":
        window.stop_button.click()
    else:
        qtbot.keyClick(panel.value, QtCore.Qt.Key_Escape)
    wait_state(qtbot, window, ON)
    lines = trace.finished()
    move, stop = lines.index(("host", "0ma00008C00")), lines.index(("host", "0st"))
    # The stop went out while the device still owed the move its reply.
    assert move < stop and all(who == "host" for who, _ in lines[move:stop])
    stood = int(lines[stop + 1][1][3:11], 16)
    assert int(window.status_panel.steps.text()) == stood and 0 <= stood < 35840


@pytest.mark.parametrize("answer", [True, False])
def test_closing_during_a_move_asks_then_stops(start_sim, connected, qtbot, answer):
    sim = start_sim("--speed", "14336", "--trace")
    trace = Trace(sim)
    window = connected(sim)
    asked = []
    window.confirm_close = lambda: asked.append(True) or answer
    window.motion_panel.value.setText("90")
    window.motion_panel.go_button.click()
    trace.wait_for("host", "0ma00008C00")
    window.close()
    assert asked == [True] and window.isVisible() is not answer
    if answer:
        assert window.session.mount is None and ("host", "0st") in trace.finished()
    else:
        wait_state(qtbot, window, ON)
        assert number(window.status_panel.degrees.text()) == 90.0
