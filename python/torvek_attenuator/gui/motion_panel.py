"""Moving the mount: to an angle, a step, a transmittance (fraction, percent) or an optical
density, by jogs of a step size, and the device's homing, optimisation and cleaning; and the
transmittance model the window works with. Values go to the Mount as typed: the library's own
checks refuse what the device or the model does not take (an optical density beyond what the
mount reaches among them), in its words, before anything is sent."""

from __future__ import annotations

import math
from typing import Callable, Optional

from .. import (RANGE_DEGREES, RANGE_STEPS, RANGE_TRANSMITTANCE, Motion, Mount, MountSnapshot,
                MotorInfo, accepted_densities, accepted_range, degrees_to_steps, density_limit)
from ._qt import QtCore, QtWidgets
from .session import Session

DEGREES, STEPS, FRACTION, PERCENT, DENSITY = range(5)
UNITS = ("degrees", "steps", "transmittance (0 to 1)", "transmittance in %", "optical density")

Start = Callable[[Mount], Motion]


class Refusal(Exception):
    """A value that is no number of its unit: nothing is sent."""


def motion_for(unit: int, text: str) -> Start:
    """The Mount call that moves to a value typed in a unit."""
    try:
        value = int(text) if unit == STEPS else float(text)
    except ValueError:
        raise Refusal(f"{text.strip()!r} is not a {'whole ' if unit == STEPS else ''}number "
                      f"of {UNITS[unit]}") from None
    if unit == DEGREES:
        return lambda mount: mount.move_to(value)
    if unit == STEPS:
        return lambda mount: mount.move_to_steps(value)
    if unit == DENSITY:
        return lambda mount: mount.set_optical_density(value)
    if unit == PERCENT:
        value /= 100.0
    return lambda mount: mount.set_transmittance(value)


class ModelBox(QtWidgets.QGroupBox):
    """The transmittance model: min angle and span, in degrees."""

    apply_requested = QtCore.pyqtSignal(float, float)

    def __init__(self, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__("Transmittance model  T = sin²(90° (angle − min angle) / span)", parent)
        self.min_angle = QtWidgets.QLineEdit("0")
        self.span = QtWidgets.QLineEdit("90")
        apply = QtWidgets.QPushButton("Apply")
        apply.clicked.connect(self._apply)
        for field in (self.min_angle, self.span):
            field.returnPressed.connect(self._apply)
        layout = QtWidgets.QHBoxLayout(self)
        for label, field in (("min angle", self.min_angle), ("span", self.span)):
            layout.addWidget(QtWidgets.QLabel(label))
            layout.addWidget(field)
            layout.addWidget(QtWidgets.QLabel("degrees"))
        layout.addWidget(apply)

    def show_model(self, min_angle: float, span: float) -> None:
        self.min_angle.setText(f"{min_angle:g}")
        self.span.setText(f"{span:g}")

    def _apply(self) -> None:
        try:
            values = float(self.min_angle.text()), float(self.span.text())
        except ValueError:
            values = (math.nan, math.nan)  # the library refuses it, in its words
        self.apply_requested.emit(*values)


class MotionPanel(QtWidgets.QWidget):
    def __init__(self, session: Session, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__(parent)
        self.session = session
        self._snap: Optional[MountSnapshot] = None

        self.value = QtWidgets.QLineEdit()
        self.value.setPlaceholderText("a value")
        self.value.returnPressed.connect(self.go)
        self.unit = QtWidgets.QComboBox()
        self.unit.addItems(UNITS)
        self.unit.currentIndexChanged.connect(self._show_range)
        self.go_button = QtWidgets.QPushButton("Go")
        self.go_button.clicked.connect(self.go)
        self.range = QtWidgets.QLabel()
        self.range.setStyleSheet("color: palette(mid)")
        go_to = QtWidgets.QGroupBox("Go to")
        row = QtWidgets.QHBoxLayout()
        row.addWidget(self.value, 1)
        row.addWidget(self.unit)
        row.addWidget(self.go_button)
        box = QtWidgets.QVBoxLayout(go_to)
        box.addLayout(row)
        box.addWidget(self.range)

        self.jog_step = QtWidgets.QDoubleSpinBox(decimals=4, minimum=0.0025, maximum=359.0,
                                                 value=1.0, suffix=" degrees")
        self.jog_back = QtWidgets.QPushButton("◀ back")
        self.jog_forward = QtWidgets.QPushButton("forward ▶")
        self.jog_back.clicked.connect(lambda: self.jog(-1))
        self.jog_forward.clicked.connect(lambda: self.jog(+1))
        jog = QtWidgets.QGroupBox("Jog by")
        row = QtWidgets.QHBoxLayout(jog)
        row.addWidget(self.jog_back)
        row.addWidget(self.jog_step, 1)
        row.addWidget(self.jog_forward)

        runs = QtWidgets.QGroupBox("The device's own runs")
        row = QtWidgets.QHBoxLayout(runs)
        self.home = QtWidgets.QPushButton("Home")
        self.optimize = QtWidgets.QPushButton("Optimise")
        self.clean = QtWidgets.QPushButton("Clean")
        for button, what, tip in (
                (self.home, Mount.home, "mechanical calibration: the mount ends at step 0"),
                (self.optimize, Mount.optimize, "the motor's optimisation: ends where it began"),
                (self.clean, Mount.clean, "cleans the mechanics: ends where it began")):
            button.setToolTip(tip)
            button.clicked.connect(lambda _=False, start=what: self._start(start))
            row.addWidget(button)

        self.model = ModelBox()
        self.message = QtWidgets.QLabel(wordWrap=True)
        self.message.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)

        layout = QtWidgets.QVBoxLayout(self)
        for widget in (go_to, jog, runs, self.model, self.message):
            layout.addWidget(widget)
        layout.addStretch(1)
        self._moves = (self.value, self.unit, self.go_button, self.jog_back, self.jog_forward,
                       self.home, self.optimize, self.clean)
        self.show_snapshot(None)

    # What the panel shows.

    def show_snapshot(self, snap: Optional[MountSnapshot]) -> None:
        self._snap = snap
        self._show_range()

    def set_moves_enabled(self, enabled: bool) -> None:
        for widget in self._moves:
            widget.setEnabled(enabled)

    def show_refusal(self, text: str, hint: str = "") -> None:
        self.message.setStyleSheet("color: #b00020")
        self.message.setText(text + (f"\nWhat to do: {hint}" if hint else ""))

    def _info(self) -> Optional[MotorInfo]:
        return None if self._snap is None else self._snap.info

    def _show_range(self) -> None:
        unit = self.unit.currentIndex()
        if unit == DENSITY:
            info = self._info()
            limit = density_limit(self.session.min_angle, self.session.span,
                                  *((info.degrees_per_revolution, info.steps_per_revolution)
                                    if info else ()))
            text = f"{accepted_densities(limit)} (transmittance 0) by this model"
        elif unit == PERCENT:
            text = "0 <= transmittance <= 100 %"
        else:
            text = accepted_range({DEGREES: RANGE_DEGREES, STEPS: RANGE_STEPS,
                                   FRACTION: RANGE_TRANSMITTANCE}[unit])
        self.range.setText(f"accepted: {text}")

    # Requests.

    def go(self) -> None:
        try:
            start = motion_for(self.unit.currentIndex(), self.value.text())
        except Refusal as refusal:
            self.show_refusal(str(refusal))
            return
        self._start(start)

    def jog(self, direction: int) -> None:
        """By the step size from where the mount stands, in whole motor steps, so that jogs
        back and forth return exactly."""
        snap = self._snap
        if snap is None or snap.steps is None or snap.info is None:
            self.show_refusal("jog refused: the position is not known; connect first")
            return
        steps = degrees_to_steps(self.jog_step.value(), snap.info.degrees_per_revolution,
                                 snap.info.steps_per_revolution)
        self._start(lambda mount: mount.move_to_steps(snap.steps + direction * steps))

    def _start(self, start: Start) -> None:
        self.message.setText("")
        self.session.move(start)
