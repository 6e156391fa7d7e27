"""Connecting: what the window shows of a device it connected to, a refused connect, a missing
simulator, the simulated device, the port list and the probe, and what it remembers."""

from __future__ import annotations

import os

import pytest

from conftest import BOUND_MS, FAULT, ON, Trace, number, wait_state
from torvek_attenuator import MountState, status_hint
from torvek_attenuator.gui.tools import INSTALL_HINT


def test_connected_it_shows_identification_position_and_the_device_status(start_sim,
                                                                          connected, qtbot):
    sim = start_sim("--speed", "0", "--trace", "--position", "35840", "--status", "42",
                    "--ident-a", "SN000042", "--ident-b", "FW17", "--ident-c", "R2",
                    "--ident-d", "X9")
    trace = Trace(sim)
    window = connected(sim)
    wait_state(qtbot, window, MountState.ALARM)  # the status code is read once connected
    panel = window.status_panel
    assert (number(panel.degrees.text()), panel.steps.text(), panel.fraction.text(),
            panel.percent.text(), panel.density.text(), panel.code.text()) == (
        90.0, "35840", "1.000000", "100.0000 %", "0.0000", "42 (DeviceStatus)")
    assert panel.identification.text().startswith("SN000042 FW17 R2 X9, 360 degrees, 143360 ")
    assert panel.port.text() == sim.port
    assert status_hint(42) in panel.status.text() + panel.hint.text()
    # Nothing else on the line: no polling at rest.
    assert [c for who, c in trace.finished() if who == "host"] == ["0in", "0in", "0go", "0gp",
                                                                   "0gs"]


@pytest.mark.parametrize("port, reason", [
    ("missing", "NoSuchPort"),
    ("/dev/null", "NotASerialPort"),
    ("silent", "NoIdentification"),  # a pseudo-terminal nothing answers on
])
def test_a_refused_connect_shows_the_library_s_hint(tmp_path, open_window, qtbot, port,
                                                    reason):
    master, slave = os.openpty()
    try:
        name = {"missing": str(tmp_path / "ttyUSB9"), "silent": os.ttyname(slave)}.get(port,
                                                                                       port)
        window = open_window()
        window.connect_to(name)
        wait_state(qtbot, window, FAULT)
    finally:
        os.close(master)
        os.close(slave)
    shown = window.status_panel.shown
    assert shown.reason == reason and shown.hint in window.status_panel.status.text()
    assert not window.motion_panel.go_button.isEnabled()


@pytest.mark.parametrize("simulator", [None, "/nonexistent/attenuator-sim"])
def test_without_the_simulator_the_window_says_how_to_get_it(open_window, qtbot, simulator):
    window = open_window(simulator=simulator)
    window.connect_panel.simulate_button.click()
    qtbot.waitUntil(lambda: INSTALL_HINT in window.motion_panel.message.text(),
                    timeout=BOUND_MS)
    assert window.session.mount is None and not window.session.simulated


def test_a_simulated_device_runs_while_connected_and_the_settings_stay(start_sim, open_window,
                                                                       qtbot):
    window = open_window(simulator_arguments=("--baud", "0", "--position", "17920"))
    window.connect_panel.simulate_button.click()
    wait_state(qtbot, window, ON)
    simulator = window.session.simulator
    pid = simulator._process.processId()
    assert window.status_panel.port.text() == f"{simulator.port} (simulated device)"
    assert window.connect_panel.port_name() != simulator.port
    assert number(window.status_panel.degrees.text()) == 45.0
    window.motion_panel.model.min_angle.setText("10")
    window.motion_panel.model.span.setText("80")
    window.motion_panel.model.min_angle.returnPressed.emit()
    assert window.status_panel.fraction.text() == "0.402455"  # sin^2(90 * 35 / 80)
    window.motion_panel.jog_step.setValue(2.5)
    sim = start_sim("--speed", "0")
    window.connect_to(sim.port)  # ends the simulated device
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)
    wait_state(qtbot, window, ON)
    window.close()

    again = open_window()
    model = again.motion_panel.model
    assert (again.connect_panel.port_name(), model.min_angle.text(), model.span.text(),
            again.session.min_angle, again.motion_panel.jog_step.value()) == (
        sim.port, "10", "80", 10.0, 2.5)


def _sysroot(tmp_path, start_sim):
    """A machine with one USB adapter, ttyUSB0, whose port leads to a simulator."""
    tree = tmp_path / "machine"
    adapter = tree / "sys/devices/pci0/usb1/1-2"
    (adapter / "1-2:1.0/ttyUSB0").mkdir(parents=True)
    for name, value in (("idVendor", "1a2b"), ("idProduct", "3c4d"), ("serial", "TA0001")):
        (adapter / name).write_text(value + "\n")
    (tree / "sys/class/tty/ttyUSB0").mkdir(parents=True)
    (tree / "sys/class/tty/ttyUSB0/device").symlink_to(
        "../../../devices/pci0/usb1/1-2/1-2:1.0/ttyUSB0")
    (tree / "dev").mkdir()
    start_sim("--speed", "0", "--link", str(tree / "dev/ttyUSB0"))
    return tree


def test_the_port_list_the_probe_and_a_connect_by_the_adapter_s_identity(
        tmp_path, start_sim, open_window, qtbot, monkeypatch):
    monkeypatch.setenv("TORVEK_ATTENUATOR_SYSROOT", str(_sysroot(tmp_path, start_sim)))
    window = open_window()
    panel = window.connect_panel
    panel.rescan()
    assert [panel.port.itemText(i) for i in range(panel.port.count())] == [
        "/dev/ttyUSB0", "usb:1a2b:3c4d:TA0001"]
    panel.port.setCurrentText("usb:1a2b:3c4d:TA0001")
    assert panel.details.text().split(" · ") == ["/dev/ttyUSB0", "stable name "
                                                 "usb:1a2b:3c4d:TA0001", "may open"]
    panel.probe_button.click()
    qtbot.waitUntil(lambda: panel.probe_button.isEnabled(), timeout=BOUND_MS)
    assert panel.probed == {"/dev/ttyUSB0": "attenuator: 1234ABCD 0102 03 04, 360 degrees, "
                                            "143360 steps per revolution"}
    assert panel.port_name() == "/dev/ttyUSB0"
    panel.port.setCurrentText("usb:1a2b:3c4d:TA0001")
    panel.connect_button.click()
    wait_state(qtbot, window, ON)
    assert not panel.probe_button.isEnabled()  # it would ask the connected device too
