"""The window: the panels put together, Stop (the button and Esc), what may be used when, the
settings it remembers, and closing during a motion."""

from __future__ import annotations

from typing import Optional

from .. import MountSnapshot, MountState
from ._qt import QtCore, QtGui, QtWidgets
from .calibration_panel import CalibrationPanel
from .connect_panel import ConnectPanel
from .log_pane import LogPane
from .motion_panel import MotionPanel
from .session import Session
from .status_panel import StatusPanel
from .tools import Tools

#: How long closing waits for a stopped motion and a sweep to end, in seconds.
CLOSE_BOUND_S = 5.0
_STOP_STYLE = ("QPushButton { background: #c62828; color: white; font-weight: bold; "
               "font-size: 16pt; padding: 10px; border-radius: 6px; } "
               "QPushButton:pressed { background: #8e0000; } "
               "QPushButton:disabled { background: #d8a0a0; }")


class MainWindow(QtWidgets.QMainWindow):
    def __init__(self, settings: QtCore.QSettings, tools: Tools,
                 parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__(parent)
        self.settings = settings
        self.setWindowTitle("attenuator-gui")
        self.session = Session(tools, self)
        self.connect_panel = ConnectPanel(tools)
        self.status_panel = StatusPanel()
        self.motion_panel = MotionPanel(self.session)
        self.calibration_panel = CalibrationPanel(self.session)
        self.log_pane = LogPane(self.session)
        self.stop_button = QtWidgets.QPushButton("STOP   (Esc)")
        self.stop_button.setStyleSheet(_STOP_STYLE)
        self.stop_button.setToolTip("Stops the mount at once; Esc does the same wherever the "
                                    "focus is")
        self.stop_button.clicked.connect(self.stop)

        left = QtWidgets.QWidget()
        column = QtWidgets.QVBoxLayout(left)
        column.setContentsMargins(0, 0, 0, 0)
        column.addWidget(self.status_panel, 1)
        column.addWidget(self.stop_button)
        self.tabs = QtWidgets.QTabWidget()
        self.tabs.addTab(self.motion_panel, "Move")
        self.tabs.addTab(self.calibration_panel, "Calibrate")
        split = QtWidgets.QSplitter(QtCore.Qt.Horizontal)
        split.addWidget(left)
        split.addWidget(self.tabs)
        split.setStretchFactor(1, 1)
        central = QtWidgets.QWidget()
        layout = QtWidgets.QVBoxLayout(central)
        layout.addWidget(self.connect_panel)
        layout.addWidget(split, 1)
        self.setCentralWidget(central)
        dock = QtWidgets.QDockWidget("Line", self)
        dock.setObjectName("line")
        dock.setWidget(self.log_pane)
        dock.setFeatures(QtWidgets.QDockWidget.DockWidgetMovable |
                         QtWidgets.QDockWidget.DockWidgetFloatable)
        self.addDockWidget(QtCore.Qt.BottomDockWidgetArea, dock)
        self.resizeDocks([dock], [170], QtCore.Qt.Vertical)

        # Esc stops whatever has the focus, the plots and the fields included.
        escape = QtWidgets.QShortcut(QtGui.QKeySequence(QtCore.Qt.Key_Escape), self)
        escape.setContext(QtCore.Qt.ApplicationShortcut)
        escape.activated.connect(self.stop)
        quit_ = QtWidgets.QShortcut(QtGui.QKeySequence.Quit, self)
        quit_.activated.connect(self.close)

        self.connect_panel.connect_requested.connect(self.connect_to)
        self.connect_panel.simulate_requested.connect(self.start_simulated)
        self.connect_panel.disconnect_requested.connect(self.session.disconnect)
        self.session.changed.connect(self._show)
        self.session.refused.connect(self._refused)
        self.status_panel.refresh_requested.connect(self.session.refresh)
        self.motion_panel.model.apply_requested.connect(self.set_model)
        self.calibration_panel.apply_requested.connect(self._apply_calibration)
        self.calibration_panel.running_changed.connect(lambda _: self._enable())
        self._restore()
        self._enable()

    # Requests.

    def connect_to(self, port: str) -> None:
        self.connect_panel.show_port(port)
        self.settings.setValue("port", port)
        self.session.connect_port(port)

    def start_simulated(self) -> None:
        self.session.start_simulated()

    def stop(self) -> None:
        """The sweep and the motion under way, at once."""
        self.calibration_panel.stop()
        if self.session.mount is not None:
            self.session.stop()
            self.statusBar().showMessage("Stop sent", 3000)

    def set_model(self, min_angle: float, span: float) -> bool:
        if not self.session.set_model(min_angle, span):
            return False
        self.status_panel.set_model(self.session.min_angle, self.session.span)
        self.motion_panel.model.show_model(self.session.min_angle, self.session.span)
        self.motion_panel.show_snapshot(self.session.snapshot())
        self.settings.setValue("model/min_angle", self.session.min_angle)
        self.settings.setValue("model/span", self.session.span)
        return True

    def _apply_calibration(self, min_angle: float, span: float) -> None:
        if self.set_model(min_angle, span):
            self.statusBar().showMessage(f"model applied to this window: min angle "
                                         f"{min_angle:g}, span {span:g} degrees", 8000)

    # What is shown and what may be used.

    def _show(self, snap: Optional[MountSnapshot]) -> None:
        self.status_panel.show_snapshot(snap, self.session.simulated, self.session.status_read)
        self.motion_panel.show_snapshot(snap)
        if snap is not None and self.session.simulated:
            self.connect_panel.show_simulated(snap.port)
        where = "" if snap is None else f" — {snap.port}: {snap.state.name}"
        self.setWindowTitle(f"attenuator-gui{where}")
        self._enable()

    def _enable(self) -> None:
        snap = self.session.snapshot()
        connected = snap is not None
        busy = (connected and snap.moving) or self.calibration_panel.running
        usable = connected and snap.state in (MountState.ON, MountState.ALARM) and not busy
        self.connect_panel.set_connected(connected, busy)
        self.motion_panel.set_moves_enabled(usable)
        self.calibration_panel.set_start_enabled(usable)
        self.log_pane.set_switch_enabled(not busy)
        self.stop_button.setEnabled(connected)

    def _refused(self, text: str, hint: str) -> None:
        self.motion_panel.show_refusal(text, hint)
        self.statusBar().showMessage(text.splitlines()[0], 10000)

    # Settings.

    def _restore(self) -> None:
        value = self.settings.value
        self.connect_panel.show_port(str(value("port", "")) or self.connect_panel.port_name())
        self.set_model(float(value("model/min_angle", 0.0)), float(value("model/span", 90.0)))
        self.motion_panel.jog_step.setValue(float(value("jog_step", 1.0)))
        panel = self.calibration_panel
        for key, field in (("first", panel.first), ("last", panel.last), ("step", panel.step),
                           ("settle", panel.settle)):
            field.setValue(float(value(f"sweep/{key}", field.value())))
        panel.typed.setChecked(value("sweep/typed", "false") == "true")
        geometry = value("geometry")
        if geometry is not None:
            self.restoreGeometry(geometry)
        else:
            self.resize(1180, 860)

    def _save(self) -> None:
        self.settings.setValue("jog_step", self.motion_panel.jog_step.value())
        panel = self.calibration_panel
        for key, field in (("first", panel.first), ("last", panel.last), ("step", panel.step),
                           ("settle", panel.settle)):
            self.settings.setValue(f"sweep/{key}", field.value())
        self.settings.setValue("sweep/typed", "true" if panel.typed.isChecked() else "false")
        self.settings.setValue("geometry", self.saveGeometry())
        self.settings.sync()

    # Closing.

    def confirm_close(self) -> bool:
        """Asked when a motion or a sweep runs."""
        answer = QtWidgets.QMessageBox.question(
            self, "attenuator-gui", "The mount is moving. Stop it and close the window?",
            QtWidgets.QMessageBox.Yes | QtWidgets.QMessageBox.No, QtWidgets.QMessageBox.No)
        return answer == QtWidgets.QMessageBox.Yes

    def closeEvent(self, event: QtGui.QCloseEvent) -> None:  # noqa: N802 (Qt's name)
        if self.session.moving() or self.calibration_panel.running:
            if not self.confirm_close():
                event.ignore()
                return
            self.calibration_panel.stop()
            self.session.stop_and_wait(CLOSE_BOUND_S)
            self.calibration_panel.stop(CLOSE_BOUND_S)
        self._save()
        self.connect_panel.end_probe()
        self.log_pane.close_pane()
        self.session.close()
        event.accept()
