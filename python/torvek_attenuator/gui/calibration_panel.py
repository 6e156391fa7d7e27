"""Calibrating the transmittance model in the window: the sweep with a simulated meter or
powers typed in per point, the readings and the fit drawn as they come, the residuals below,
the fit's report (the calibrate command's), and Apply, which gives the window the model found
and says how to make it permanent."""

from __future__ import annotations

import math

from typing import List, Optional

from .. import AttenuatorError, MountState, degrees_to_steps
from ..calibrate import report
from ..calibration import Calibration, Reading
from ._qt import QtCore, QtGui, QtWidgets, pg
from .session import Session
from .sweep import SimulatedMeter, Sweep, TypedMeter

_READINGS = pg.mkColor(230, 120, 0)
_FIT = pg.mkColor(30, 90, 200)


class _Events(QtCore.QObject):
    """The sweep's calls, from its thread to the GUI thread."""

    point = QtCore.pyqtSignal(object, object, str)
    ended = QtCore.pyqtSignal(object, object, str, str)
    asked = QtCore.pyqtSignal(float)


def _spin(value: float, low: float, high: float, suffix: str, decimals: int = 3
          ) -> QtWidgets.QDoubleSpinBox:
    return QtWidgets.QDoubleSpinBox(decimals=decimals, minimum=low, maximum=high, value=value,
                                    suffix=suffix)


class CalibrationPanel(QtWidgets.QWidget):
    running_changed = QtCore.pyqtSignal(bool)
    apply_requested = QtCore.pyqtSignal(float, float)

    def __init__(self, session: Session, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__(parent)
        self.session = session
        self.sweep: Optional[Sweep] = None
        self.meter: Optional[object] = None
        self.result: Optional[Calibration] = None
        self._events = _Events(self)
        self._events.point.connect(self._show_point)
        self._events.ended.connect(self._ended)
        self._events.asked.connect(self._ask)

        self.first = _spin(-30.0, -359.999, 359.999, " degrees")
        self.last = _spin(210.0, -359.999, 359.999, " degrees")
        self.step = _spin(3.0, 0.01, 180.0, " degrees")
        self.settle = _spin(0.0, 0.0, 60.0, " s", 2)
        self.simulated = QtWidgets.QRadioButton(
            f"simulated meter (a beam the fit is not told: min angle {SimulatedMeter.MIN_ANGLE}, "
            f"span {SimulatedMeter.SPAN} degrees, {SimulatedMeter.NOISE:.0%} noise)")
        self.typed = QtWidgets.QRadioButton("powers typed in, one per point")
        self.simulated.setChecked(True)
        self.start_button = QtWidgets.QPushButton("Start sweep")
        self.start_button.clicked.connect(self.start)
        settings = QtWidgets.QGroupBox("Sweep")
        grid = QtWidgets.QGridLayout(settings)
        for column, (label, field) in enumerate((("from", self.first), ("to", self.last),
                                                 ("step", self.step),
                                                 ("settle", self.settle))):
            grid.addWidget(QtWidgets.QLabel(label), 0, 2 * column)
            grid.addWidget(field, 0, 2 * column + 1)
        grid.addWidget(self.simulated, 1, 0, 1, 6)
        grid.addWidget(self.typed, 2, 0, 1, 6)
        grid.addWidget(self.start_button, 1, 6, 2, 2)

        self.power_label = QtWidgets.QLabel("power:")
        self.power = QtWidgets.QLineEdit()
        self.power.setPlaceholderText("the meter's reading at this point")
        self.power.returnPressed.connect(self._record)
        self.record = QtWidgets.QPushButton("Record")
        self.record.clicked.connect(self._record)
        typed_row = QtWidgets.QHBoxLayout()
        for widget in (self.power_label, self.power, self.record):
            typed_row.addWidget(widget)
        self._waiting_for_power(None)
        self.progress = QtWidgets.QLabel(wordWrap=True)

        self.plots = pg.GraphicsLayoutWidget()
        self.plots.setBackground("w")
        self.top = self.plots.addPlot(row=0, col=0)
        self.bottom = self.plots.addPlot(row=1, col=0)
        self.plots.ci.layout.setRowStretchFactor(0, 3)
        self.top.setLabel("left", "power")
        self.bottom.setLabel("left", "residual")
        self.bottom.setLabel("bottom", "mount angle (degrees)")
        self.bottom.setXLink(self.top)
        for plot in (self.top, self.bottom):
            plot.showGrid(x=True, y=True, alpha=0.3)
        self.readings = self.top.plot([], [], pen=None, symbol="o", symbolSize=6,
                                      symbolBrush=_READINGS, symbolPen=None)
        self.curve = self.top.plot([], [], pen=pg.mkPen(_FIT, width=2))
        self.residuals = self.bottom.plot([], [], pen=None, symbol="o", symbolSize=5,
                                          symbolBrush=_READINGS, symbolPen=None)
        self.bottom.addLine(y=0, pen=pg.mkPen(_FIT))
        self.marks = [pg.InfiniteLine(angle=90, pen=pg.mkPen("#666", style=QtCore.Qt.DashLine),
                                      label=text, labelOpts={"position": 0.92, "color": "#444"})
                      for text in ("min angle", "min angle + span")]
        for mark in self.marks:
            mark.hide()
            self.top.addItem(mark)

        self.report = QtWidgets.QPlainTextEdit(readOnly=True)
        self.report.setFont(QtGui.QFontDatabase.systemFont(QtGui.QFontDatabase.FixedFont))
        self.report.setPlaceholderText("The fit, once the sweep has readings enough")
        self.apply = QtWidgets.QPushButton("Apply the fitted model to this window")
        self.apply.setEnabled(False)
        self.apply.clicked.connect(self._apply)
        below = QtWidgets.QWidget()
        column = QtWidgets.QVBoxLayout(below)
        column.setContentsMargins(0, 0, 0, 0)
        column.addWidget(self.report)
        column.addWidget(self.apply)
        split = QtWidgets.QSplitter(QtCore.Qt.Vertical)
        split.addWidget(self.plots)
        split.addWidget(below)
        split.setStretchFactor(0, 3)
        split.setStretchFactor(1, 1)
        self.plots.setMinimumHeight(260)
        split.setSizes([520, 210])

        layout = QtWidgets.QVBoxLayout(self)
        layout.addWidget(settings)
        layout.addLayout(typed_row)
        layout.addWidget(self.progress)
        layout.addWidget(split, 1)

    @property
    def running(self) -> bool:
        return self.sweep is not None

    def set_start_enabled(self, enabled: bool) -> None:
        self.start_button.setEnabled(enabled and not self.running)

    # The sweep.

    def angles(self) -> List[float]:
        first, last, step = self.first.value(), self.last.value(), self.step.value()
        # Never past "to": the last angle is the last step that fits (a hair of rounding
        # spared, so that 0 to 10 by 2.5 keeps 10).
        count = math.floor((last - first) / step + 1e-9) + 1 if last > first else 0
        return [first + step * i for i in range(count)]

    def start(self) -> None:
        mount = self.session.mount
        snap = None if mount is None else mount.snapshot()
        if mount is None or snap is None or snap.state is not MountState.ON or snap.info is None:
            self.progress.setText("sweep refused: the mount must be connected and at rest (ON)")
            return
        angles = self.angles()
        if len(angles) < 2:
            self.progress.setText("sweep refused: 'to' must lie beyond 'from'")
            return
        for angle in angles:  # all of them before the first move
            try:
                degrees_to_steps(angle, snap.info.degrees_per_revolution,
                                 snap.info.steps_per_revolution)
            except AttenuatorError as err:
                self.progress.setText(f"sweep refused at {angle:g} degrees: {err.detail}")
                return
        if self.simulated.isChecked():
            self.meter = SimulatedMeter(mount)
        else:
            self.meter = TypedMeter(mount, self._events.asked.emit)
        self.sweep = Sweep(mount, angles, self.meter, self.settle.value(),
                           self._events.point.emit, self._events.ended.emit)
        self.result = None
        self._show([], None, "")
        self.progress.setText(f"sweep of {len(angles)} readings started")
        self.start_button.setEnabled(False)
        self.apply.setEnabled(False)
        self.running_changed.emit(True)
        self.sweep.start()

    def stop(self, bound: float = 0.0) -> None:
        """Ends the sweep after the reading under way; waits up to ``bound`` seconds."""
        if self.sweep is not None:
            self.sweep.stop()
            if bound:
                self.sweep.join(bound)

    def _ask(self, degrees: float) -> None:
        self._waiting_for_power(degrees)

    def _waiting_for_power(self, degrees: Optional[float]) -> None:
        waiting = degrees is not None
        self.power_label.setText(f"power at {degrees:.4f} degrees:" if waiting else "power:")
        for widget in (self.power, self.record):
            widget.setEnabled(waiting)
        self.power.clear()
        if waiting:
            self.power.setFocus()

    def _record(self) -> None:
        try:
            value = float(self.power.text())
        except ValueError:
            self.progress.setText(f"{self.power.text()!r} is not a number; type the meter's "
                                  "reading")
            return
        if isinstance(self.meter, TypedMeter):
            self._waiting_for_power(None)
            self.meter.enter(value)

    def _show_point(self, readings: List[Reading], result: Optional[Calibration],
                    why: str) -> None:
        if self.sweep is None:
            return
        self.progress.setText(f"{len(readings)} of {len(self.sweep.angles)} readings"
                              + (f"; no fit yet: {why}" if why else ""))
        self._show(readings, result, why)

    def _ended(self, readings: List[Reading], result: Optional[Calibration], why: str,
               ended: str) -> None:
        self.sweep = None
        self._waiting_for_power(None)
        self._show(readings, result, why)
        self.result = result
        self.apply.setEnabled(result is not None)
        text = ended or f"sweep done: {len(readings)} readings"
        self.progress.setText(text + (f"; no fit: {why}" if why else ""))
        self.start_button.setEnabled(True)
        self.running_changed.emit(False)

    def _show(self, readings: List[Reading], result: Optional[Calibration], why: str) -> None:
        self.readings.setData([r.angle_read for r in readings], [r.power for r in readings])
        if result is None:
            self.curve.setData([], [])
            self.residuals.setData([], [])
            for mark in self.marks:
                mark.hide()
            self.report.setPlainText(why)
            return
        import numpy as np

        low, high = float(result.angles.min()), float(result.angles.max())
        angles = np.linspace(low, high, 600)
        self.curve.setData(angles, result.power(angles))
        self.residuals.setData(result.angles, result.residuals())
        for mark, where in zip(self.marks, (result.min_angle,
                                            result.min_angle + result.angle_span)):
            mark.setValue(where)
            mark.setVisible(low <= where <= high)
        self.report.setPlainText(
            report(result, None) + "\nTango device properties (on the device's own name):\n"
            "  tango_admin --add-property DEVICE MinAngle {:.4f}\n"
            "  tango_admin --add-property DEVICE AngleSpan {:.4f}".format(*result.model()))

    def _apply(self) -> None:
        # The values as the report and its command lines give them, so that the window and
        # a permanent setting made from those lines agree.
        if self.result is not None:
            self.apply_requested.emit(*self.result.model())
