"""Calibrating in the window: a sweep on the simulated meter, drawn and fitted as it goes, and
Apply; powers typed in per point, and Stop during a sweep."""

from __future__ import annotations

import pytest

from conftest import BOUND_MS, Trace
from torvek_attenuator import degrees_to_steps
from torvek_attenuator.gui._qt import QtCore


def test_a_sweep_on_the_simulated_meter_is_drawn_fitted_and_applied(
        start_sim, connected, qtbot):
    sim = start_sim("--speed", "0", "--trace")
    trace = Trace(sim)
    window = connected(sim)
    panel = window.calibration_panel
    panel.first.setValue(-30.0)
    panel.last.setValue(210.0)
    panel.step.setValue(6.0)
    fitted = []
    panel._events.point.connect(lambda readings, result, why: fitted.append(result is not None))
    with qtbot.waitSignal(panel.running_changed, timeout=BOUND_MS,
                          check_params_cb=lambda running: not running):
        panel.start_button.click()
    # Drawn and fitted as the readings came: no fit while the sweep is shorter than a span.
    assert len(fitted) == 41 and not fitted[0] and fitted[-1]
    assert fitted.index(True) < 30 and all(fitted[fitted.index(True):])
    result = panel.result
    # The meter's beam (examples/calibrate.py): min angle 14.2, span 87.5, 1 % noise.
    assert result.min_angle == pytest.approx(14.2, abs=0.3)
    assert result.angle_span == pytest.approx(87.5, abs=0.3)
    assert len(panel.readings.getData()[0]) == 41
    assert list(panel.residuals.getData()[1]) == pytest.approx(list(result.residuals()))
    report = panel.report.toPlainText()
    for line in (f"--min-angle {result.min_angle:.4f} --span {result.angle_span:.4f}",
                 f"MinAngle {result.min_angle:.4f}", f"AngleSpan {result.angle_span:.4f}"):
        assert line in report
    panel.apply.click()
    model = (round(result.min_angle, 4), round(result.angle_span, 4))
    assert (window.session.min_angle, window.session.span) == model
    assert (float(window.motion_panel.model.min_angle.text()),
            float(window.motion_panel.model.span.text())) == model
    # Each reading is a move and the position the Mount reads at its end, nothing more.
    host = [command for who, command in trace.finished() if who == "host"]
    assert host[5:] == [command for angle in range(-30, 211, 6) for command in (
        f"0ma{degrees_to_steps(angle) & 0xFFFFFFFF:08X}", "0gp")]


def test_typed_powers_are_the_readings_and_stop_ends_the_sweep(start_sim, connected, qtbot):
    sim = start_sim("--speed", "0")
    window = connected(sim)
    panel = window.calibration_panel
    panel.typed.setChecked(True)
    # The sweep ends at "to" or the last step before it, never past it.
    for first, last, step, angles in ((0.0, 10.0, 4.0, [0.0, 4.0, 8.0]),
                                      (0.0, 10.0, 2.5, [0.0, 2.5, 5.0, 7.5, 10.0]),
                                      (0.0, 30.0, 10.0, [0.0, 10.0, 20.0, 30.0])):
        panel.first.setValue(first)
        panel.last.setValue(last)
        panel.step.setValue(step)
        assert panel.angles() == angles
    panel.start_button.click()
    assert not window.motion_panel.go_button.isEnabled() and window.stop_button.isEnabled()
    for power in ("1.5", "2.25"):
        qtbot.waitUntil(panel.power.isEnabled, timeout=BOUND_MS)
        qtbot.keyClicks(panel.power, power)
        qtbot.keyClick(panel.power, QtCore.Qt.Key_Return)
    qtbot.waitUntil(panel.power.isEnabled, timeout=BOUND_MS)  # the third point asks
    asked_at = panel.power_label.text().split()[2]  # where the mount stands, as shown
    assert asked_at == window.status_panel.degrees.text() and float(asked_at) == pytest.approx(
        20.0, abs=0.003)
    with qtbot.waitSignal(panel.running_changed, timeout=BOUND_MS):
        qtbot.keyClick(panel.power, QtCore.Qt.Key_Escape)
    angles, powers = panel.readings.getData()
    assert list(powers) == [1.5, 2.25] and list(angles) == pytest.approx([0.0, 10.0], abs=0.003)
    assert panel.result is None and not panel.apply.isEnabled()
    assert window.motion_panel.go_button.isEnabled()
