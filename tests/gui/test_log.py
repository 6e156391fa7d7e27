"""The wire pane: the library's trace while the switch is on, none after it is off, and the
diagnostics a bug report carries."""

from __future__ import annotations

import os

from conftest import BOUND_MS, number
from torvek_attenuator import library_version
from torvek_attenuator.gui._qt import QtWidgets
from torvek_attenuator.gui.log_pane import DIAGNOSTIC_LINES, TRACE_VARIABLE


def fields(lines) -> list:
    """What each trace line says, without its time and handler: [["host", "0gp"], ...]."""
    return [line.split()[2:4] for line in lines]


def written(path: str) -> list:
    with open(path) as trace:
        return trace.read().splitlines()


def test_the_wire_pane_shows_the_trace_while_it_is_on(start_sim, connected, qtbot, monkeypatch):
    monkeypatch.delenv(TRACE_VARIABLE, raising=False)
    sim = start_sim("--speed", "0")
    window = connected(sim)
    pane, status = window.log_pane, window.status_panel

    def move(degrees: str) -> None:
        window.motion_panel.value.setText(degrees)
        window.motion_panel.go_button.click()
        qtbot.waitUntil(lambda: number(status.degrees.text()) == float(degrees),
                        timeout=BOUND_MS)

    pane.trace.setChecked(True)  # the Mount connects again and its handler takes the trace
    assert os.environ[TRACE_VARIABLE] == pane.path
    qtbot.waitUntil(lambda: window.session.status_read, timeout=BOUND_MS)
    move("45")
    qtbot.waitUntil(lambda: ["device", "0PO00004600\\r\\n"] in fields(pane.last),
                    timeout=BOUND_MS)
    assert ["host", "0ma00004600"] in fields(pane.view.toPlainText().splitlines())

    for _ in range(25):  # more lines than the diagnostics carry: 0gp and 0gs each
        status.refresh.click()
    qtbot.waitUntil(lambda: fields(written(pane.path)).count(["host", "0gs"]) == 26,
                    timeout=BOUND_MS)
    QtWidgets.QApplication.clipboard().clear()
    pane.copy.click()
    copied = QtWidgets.QApplication.clipboard().text().splitlines()
    lines = written(pane.path)
    assert copied[-DIAGNOSTIC_LINES:] == lines[-DIAGNOSTIC_LINES:]
    assert len(lines) > DIAGNOSTIC_LINES and len(copied) < len(lines)
    assert library_version() in copied[0] and f"port: {sim.port}" in copied
    assert "identification: 1234ABCD 0102 03 04, 360 degrees, 143360 steps per revolution, "\
           "home offset 0 degrees" in copied

    pane.trace.setChecked(False)
    assert TRACE_VARIABLE not in os.environ
    qtbot.waitUntil(lambda: window.session.status_read, timeout=BOUND_MS)
    move("90")
    pane.tail()
    assert ["host", "0ma00008C00"] not in fields(pane.last) + fields(written(pane.path))
