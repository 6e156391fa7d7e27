"""What the mount is and where it stands: the state and what to do about a fault, the position
in degrees and steps, the transmittance as a fraction, in percent and as optical density by
the window's model, the device's status code, the identification, and the dial."""

from __future__ import annotations

import math
from typing import Optional, Tuple

from .. import (MotorInfo, MountSnapshot, MountState, optical_density, status_name,
                steps_to_degrees, transmittance_at)
from ._qt import QtCore, QtGui, QtWidgets
from .dial import RevolutionDial

_COLOURS = {
    MountState.INIT: "#806000",
    MountState.ON: "#1a7f37",
    MountState.MOVING: "#b35c00",
    MountState.ALARM: "#b00020",
    MountState.FAULT: "#b00020",
}
_NONE = "—"


def transmittance_texts(transmittance: Optional[float]) -> Tuple[str, str, str]:
    """The fraction, the percentage and the optical density ("inf" at 0)."""
    if transmittance is None:
        return _NONE, _NONE, _NONE
    density = optical_density(transmittance)
    return (f"{transmittance:.6f}", f"{100.0 * transmittance:.4f} %",
            "inf" if math.isinf(density) else f"{density:.4f}")


def identification_text(info: Optional[MotorInfo]) -> str:
    if info is None:
        return _NONE
    return (f"{info.ident_a} {info.ident_b} {info.ident_c} {info.ident_d}, "
            f"{info.degrees_per_revolution} degrees, {info.steps_per_revolution} steps per "
            f"revolution, home offset {info.home_offset_deg:g} degrees")


class StatusPanel(QtWidgets.QGroupBox):
    refresh_requested = QtCore.pyqtSignal()

    def __init__(self, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__("Attenuator", parent)
        self.min_angle, self.span = 0.0, 90.0
        self.shown: Optional[MountSnapshot] = None
        self._since = QtCore.QElapsedTimer()
        self._ticker = QtCore.QTimer(self, interval=200)
        self._ticker.timeout.connect(self._show_state)

        self.state = QtWidgets.QLabel()
        font = self.state.font()
        font.setPointSizeF(font.pointSizeF() * 1.4)
        font.setBold(True)
        self.state.setFont(font)
        self.status = QtWidgets.QLabel(wordWrap=True)
        self.status.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)
        self.hint = QtWidgets.QLabel(wordWrap=True)
        self.hint.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)
        self.hint.setStyleSheet("color: #b00020")

        self.degrees, self.steps = QtWidgets.QLabel(), QtWidgets.QLabel()
        self.fraction, self.percent, self.density = (QtWidgets.QLabel() for _ in range(3))
        self.code, self.identification, self.port = (QtWidgets.QLabel() for _ in range(3))
        self.identification.setWordWrap(True)
        grid = QtWidgets.QGridLayout()
        mono = QtGui.QFontDatabase.systemFont(QtGui.QFontDatabase.FixedFont)
        rows = [("Position", self.degrees, "degrees", self.steps, "steps"),
                ("Transmittance", self.fraction, "", self.percent, ""),
                ("Optical density", self.density, "", None, ""),
                ("Device status", self.code, "", None, ""),
                ("Identification", self.identification, "", None, ""),
                ("Port", self.port, "", None, "")]
        for row, (title, first, first_unit, second, second_unit) in enumerate(rows):
            grid.addWidget(QtWidgets.QLabel(title), row, 0)
            grid.addWidget(first, row, 1, 1, 1 if second else 4)
            first.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)
            if first in (self.degrees, self.steps, self.fraction, self.percent, self.density):
                first.setFont(mono)
            if first_unit:
                grid.addWidget(QtWidgets.QLabel(first_unit), row, 2)
            if second is not None:
                second.setFont(mono)
                second.setTextInteractionFlags(QtCore.Qt.TextSelectableByMouse)
                grid.addWidget(second, row, 3)
                if second_unit:
                    grid.addWidget(QtWidgets.QLabel(second_unit), row, 4)
        grid.setColumnStretch(1, 1)
        grid.setColumnStretch(3, 1)

        self.dial = RevolutionDial()
        self.dial.setToolTip("The mount's revolution: shaded by the model's transmittance, red "
                             "marks where it is 0; the needle is where the mount stands")
        self.refresh = QtWidgets.QPushButton("Read position and status")
        self.refresh.setToolTip("Asks the device for its position and status code")
        self.refresh.clicked.connect(self.refresh_requested)

        layout = QtWidgets.QVBoxLayout(self)
        layout.addWidget(self.state)
        layout.addWidget(self.status)
        layout.addWidget(self.hint)
        layout.addLayout(grid)
        layout.addWidget(self.dial, 1)
        layout.addWidget(self.refresh)
        self.show_snapshot(None)

    def set_model(self, min_angle: float, span: float) -> None:
        self.min_angle, self.span = min_angle, span
        self.dial.set_model(min_angle, span)

    def show_snapshot(self, snap: Optional[MountSnapshot], simulated: bool = False,
                      status_read: bool = False) -> None:
        """``status_read``: the status code was asked since the connect (or came with a
        motion's reply)."""
        was_moving = self.shown is not None and self.shown.moving
        self.shown = snap
        if snap is not None and snap.moving and not was_moving:
            self._since.start()
            self._ticker.start()
        elif snap is None or not snap.moving:
            self._ticker.stop()
        self._show_state()
        self.refresh.setEnabled(snap is not None and
                                snap.state in (MountState.ON, MountState.ALARM))
        if snap is None:
            for label in (self.degrees, self.steps, self.fraction, self.percent, self.density,
                          self.code, self.identification, self.port):
                label.setText(_NONE)
            self.dial.show_position(None)
            return
        self.port.setText(snap.port + (" (simulated device)" if simulated else ""))
        known = status_read or snap.status_code != 0
        self.code.setText(f"{snap.status_code} ({status_name(snap.status_code)})" if known
                          else f"{_NONE} (not asked yet)")
        self.identification.setText(identification_text(snap.info))
        if snap.moving:
            self._show_motion(snap)
        else:
            self.degrees.setText(_NONE if snap.degrees is None else f"{snap.degrees:.4f}")
            self.steps.setText(_NONE if snap.steps is None else str(snap.steps))
            for label, text in zip((self.fraction, self.percent, self.density),
                                   transmittance_texts(snap.transmittance)):
                label.setText(text)
            self.dial.show_position(snap.degrees)

    def _show_motion(self, snap: MountSnapshot) -> None:
        """From where it started to its target: the device says where it is only at the end."""
        target_degrees: Optional[float] = None
        target_transmittance: Optional[float] = None
        if snap.target is not None and snap.info is not None:
            target_degrees = steps_to_degrees(snap.target, snap.info.degrees_per_revolution,
                                              snap.info.steps_per_revolution)
            target_transmittance = transmittance_at(target_degrees, self.min_angle, self.span)
        ends_there = snap.target is None

        def span_text(start: str, target: str) -> str:
            return f"{start} (ends there)" if ends_there else f"{start} → {target}"

        self.degrees.setText(span_text(
            _NONE if snap.degrees is None else f"{snap.degrees:.4f}",
            _NONE if target_degrees is None else f"{target_degrees:.4f}"))
        self.steps.setText(span_text(_NONE if snap.steps is None else str(snap.steps),
                                     str(snap.target)))
        for label, start, target in zip((self.fraction, self.percent, self.density),
                                        transmittance_texts(snap.transmittance),
                                        transmittance_texts(target_transmittance)):
            label.setText(span_text(start, target))
        self.dial.show_position(snap.degrees, snap.degrees, target_degrees, moving=True)

    def _show_state(self) -> None:
        snap = self.shown
        if snap is None:
            self.state.setText("not connected")
            self.state.setStyleSheet("")
            self.status.setText("Choose a port and Connect, or start a simulated device.")
            self.hint.setText("")
            return
        text = f"{snap.state.name}: {snap.state.value}"
        if snap.moving:
            text += f", {self._since.elapsed() / 1000:.1f} s"
        self.state.setText(text)
        self.state.setStyleSheet(f"color: {_COLOURS[snap.state]}")
        self.status.setText(snap.status)
        # A connect's failure has the hint in its status already.
        self.hint.setText(f"What to do: {snap.hint}" if snap.hint and
                          snap.hint not in snap.status else "")
