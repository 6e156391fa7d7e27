"""Choosing the device: the machine's serial ports as the library lists them (what
``attenuatorctl ports`` shows), a probe of who answers on them, a port typed by hand, or a
simulated device."""

from __future__ import annotations

import json
import os
from typing import Dict, List, Optional

from .. import ACCESS_DENIED, SerialPort, list_ports, status_hint
from ._qt import QtCore, QtWidgets
from .tools import CONTROL, INSTALL_HINT, Tools

#: How long the probe may take in all (attenuatorctl bounds each port's own wait).
PROBE_BOUND_MS = 120000


def access_text(port: SerialPort) -> str:
    if port.may_open:
        return "may open"
    why = os.strerror(port.open_error) if port.open_error else "refused"
    group = f"; the port belongs to group '{port.group}'" if port.group else ""
    return f"may not open ({why}){group}: {status_hint(ACCESS_DENIED)}"


def probe_text(entry: Dict[str, object]) -> str:
    """One port's probe as attenuatorctl ports --probe says it, from its JSON."""
    word = str(entry.get("probe", ""))
    if word == "attenuator":
        return (f"attenuator: {entry['ident_a']} {entry['ident_b']} {entry['ident_c']} "
                f"{entry['ident_d']}, {entry['degrees_per_revolution']} degrees, "
                f"{entry['pulses_per_revolution']} steps per revolution")
    detail = entry.get("probe_detail")
    return f"{word}: {detail}" if detail else word


class ConnectPanel(QtWidgets.QGroupBox):
    connect_requested = QtCore.pyqtSignal(str)
    simulate_requested = QtCore.pyqtSignal()
    disconnect_requested = QtCore.pyqtSignal()

    def __init__(self, tools: Tools, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__("Connection", parent)
        self.tools = tools
        self.ports: Dict[str, SerialPort] = {}
        self.probed: Dict[str, str] = {}
        self._probe: Optional[QtCore.QProcess] = None
        self._connected = False
        self._probe_bound = QtCore.QTimer(self, singleShot=True, interval=PROBE_BOUND_MS)
        self._probe_bound.timeout.connect(self._probe_overdue)

        self.port = QtWidgets.QComboBox(editable=True)
        self.port.setInsertPolicy(QtWidgets.QComboBox.NoInsert)
        self.port.setSizeAdjustPolicy(QtWidgets.QComboBox.AdjustToMinimumContentsLengthWithIcon)
        self.port.setMinimumContentsLength(28)
        self.port.lineEdit().setPlaceholderText("/dev/ttyUSB0, usb:VID:PID:SERIAL, COM3")
        self.port.lineEdit().returnPressed.connect(self._connect)
        self.port.currentTextChanged.connect(self._describe)
        self.rescan_button = QtWidgets.QPushButton("Rescan")
        self.rescan_button.setToolTip("Lists the serial ports again (opens none)")
        self.rescan_button.clicked.connect(self.rescan)
        self.probe_button = QtWidgets.QPushButton("Probe")
        self.probe_button.setToolTip("Asks every port you may open who answers there "
                                     "(attenuatorctl ports --probe); writes to the ports")
        self.probe_button.clicked.connect(self.probe)
        self.connect_button = QtWidgets.QPushButton("Connect")
        self.connect_button.clicked.connect(self._connect)
        self.simulate_button = QtWidgets.QPushButton("Simulated device")
        self.simulate_button.setToolTip("Starts attenuator-sim and connects to it")
        self.simulate_button.clicked.connect(self.simulate_requested)
        self.disconnect_button = QtWidgets.QPushButton("Disconnect")
        self.disconnect_button.clicked.connect(self.disconnect_requested)
        self.details = QtWidgets.QLabel(wordWrap=True)
        self.details.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)

        row = QtWidgets.QHBoxLayout()
        row.addWidget(QtWidgets.QLabel("Port"))
        row.addWidget(self.port, 1)
        for button in (self.rescan_button, self.probe_button, self.connect_button,
                       self.simulate_button, self.disconnect_button):
            row.addWidget(button)
        layout = QtWidgets.QVBoxLayout(self)
        layout.addLayout(row)
        layout.addWidget(self.details)
        self.rescan()
        self.set_connected(False)

    def set_connected(self, connected: bool, busy: bool = False) -> None:
        """Connected: the probe would talk to the connected device too, so it waits.
        ``busy``: a motion or a sweep runs, and nothing here may end it."""
        self._connected = connected
        for button in (self.connect_button, self.simulate_button, self.port):
            button.setEnabled(not busy)
        self.disconnect_button.setEnabled(connected and not busy)
        self.probe_button.setEnabled(not connected and self._probe is None)
        self.probe_button.setToolTip(
            "disconnect first: the probe would ask the connected device too" if connected
            else "Asks every port you may open who answers there (attenuatorctl ports "
                 "--probe); writes to the ports")

    def show_simulated(self, port: str) -> None:
        # The port field keeps the user's port: the simulator's goes away with it, so
        # connecting to it again, or remembering it, would only fail later.
        self.details.setText(f"a simulated device: attenuator-sim on {port}; Disconnect "
                             "ends it")

    def port_name(self) -> str:
        return self.port.currentText().strip()

    def show_port(self, name: str) -> None:
        self.port.setCurrentText(name)

    # The list.

    def rescan(self) -> None:
        typed = self.port_name()
        try:
            found: List[SerialPort] = list_ports()
        except Exception as err:  # the system's lists unreadable: say so, keep what is typed
            self.details.setText(f"the ports cannot be listed: {err}")
            found = []
        self.ports = {}
        for port in found:
            for name in (port.path, port.usb_identity, *port.by_id):
                if name:
                    self.ports[name] = port
        self.port.blockSignals(True)
        self.port.clear()
        for port in found:
            self.port.addItem(port.path)
            if port.usb_identity:
                self.port.addItem(port.usb_identity)
        self.port.setCurrentText(typed or (found[0].path if found else ""))
        self.port.blockSignals(False)
        self._describe(self.port_name())

    def _describe(self, name: str) -> None:
        port = self.ports.get(name.strip())
        if port is None:
            self.details.setText(
                f"serial ports found: {len({p.path for p in self.ports.values()})}; "
                "type another port's name, or Rescan" if self.ports else
                "no serial ports found: is the adapter plugged in? (dmesg shows what the "
                "system saw of it) Type a port's name, or start a simulated device")
            return
        rows = [port.path]
        rows += [f"by-id {link}" for link in port.by_id]
        if port.usb_identity:
            rows.append(f"stable name {port.usb_identity}")
        about = " ".join(filter(None, (port.manufacturer, port.product)))
        rows += [text for text in (about, port.driver and f"driver {port.driver}",
                                   port.latency_timer_ms >= 0 and
                                   f"latency timer {port.latency_timer_ms} ms") if text]
        rows.append(access_text(port))
        if port.path in self.probed:
            rows.append(f"probe: {self.probed[port.path]}")
        self.details.setText(" · ".join(rows))

    # The probe.

    def probe(self) -> None:
        if self.tools.control is None:
            self.details.setText(f"{self.tools.missing(CONTROL)}: {INSTALL_HINT}")
            return
        process = QtCore.QProcess(self)
        process.setProgram(self.tools.control)
        process.setArguments(["--json", "ports", "--probe"])
        process.finished.connect(lambda *_: self._probed(process))
        process.errorOccurred.connect(lambda error: error == QtCore.QProcess.FailedToStart and
                                      self._probed(process))
        self._probe = process
        self.probe_button.setEnabled(False)
        self.details.setText("probing the ports…")
        self._probe_bound.start()
        process.start()

    def _probe_overdue(self) -> None:
        if self._probe is not None:
            self._probe.kill()

    def end_probe(self) -> None:
        """Ends a probe under way (the window closes)."""
        process, self._probe = self._probe, None
        if process is not None:
            process.kill()
            process.waitForFinished(1000)

    def _probed(self, process: QtCore.QProcess) -> None:
        if process is not self._probe:
            return
        self._probe = None
        self._probe_bound.stop()
        self.probe_button.setEnabled(not self._connected)
        output = bytes(process.readAllStandardOutput()).decode("utf-8", "replace")
        errors = bytes(process.readAllStandardError()).decode("utf-8", "replace").strip()
        process.deleteLater()
        try:
            answer = json.loads(output.splitlines()[-1])
            entries = answer["ports"]
        except (IndexError, ValueError, KeyError, TypeError):
            self.details.setText(f"the probe failed: {errors or process.errorString()}")
            return
        self.probed = {entry["path"]: probe_text(entry) for entry in entries}
        found = [path for path, text in self.probed.items() if text.startswith("attenuator")]
        self.rescan()
        if len(found) == 1:
            self.show_port(found[0])
        if not found:
            self.details.setText(f"the probe found no attenuator on {len(entries)} ports: "
                                 + "; ".join(f"{p}: {t}" for p, t in self.probed.items()))

    def _connect(self) -> None:
        if self.port_name():
            self.connect_requested.emit(self.port_name())
