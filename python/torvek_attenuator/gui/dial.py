"""The mount's revolution at a glance: a ring shaded by the model's transmittance (dark where
little passes), marks where it is 0, the needle where the mount stands. The device tells the
position only when a motion ends, so during one the dial shows where it started and where it
goes, and an arc between them that runs while it moves, never a position it does not know."""

from __future__ import annotations

import math
from typing import List, Optional

from .. import transmittance_curve
from ._qt import QtCore, QtGui, QtWidgets

#: Degrees per shaded segment of the ring.
_SEGMENT = 2
_ZERO_MARK = QtGui.QColor(200, 30, 30)
_NEEDLE = QtGui.QColor(20, 90, 200)
_TARGET = QtGui.QColor(230, 120, 0)


def zeros_on_revolution(min_angle: float, span: float, turn: float = 0.0) -> List[float]:
    """Where the library's model has its zeros from ``turn`` to ``turn`` + 360 degrees, as
    angles on the dial (0 to 360), found on the model itself (sampled every 0.05 degrees,
    finer than a mark on the dial); none when there are more than a dial can mark."""
    step = 0.05
    count = int(360 / step) + 1
    values = transmittance_curve([turn + i * step for i in range(count)], min_angle, span)
    zeros = [i * step for i in range(1, count - 1)
             if values[i] < values[i - 1] and values[i] <= values[i + 1]]
    if values[0] == 0.0:
        zeros.insert(0, 0.0)
    return zeros if len(zeros) <= 36 else []


class RevolutionDial(QtWidgets.QWidget):
    """0 degrees at the top, angles growing clockwise. The mount goes from -360 to 360
    degrees; the ring shows the model on the turn the mount is in (0 to 360, or -360 to 0
    for a position below 0; during a motion, the target's), which need not repeat from one
    turn to the other."""

    def __init__(self, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__(parent)
        self.setMinimumSize(200, 200)
        self.setSizePolicy(QtWidgets.QSizePolicy.Expanding, QtWidgets.QSizePolicy.Expanding)
        self._degrees: Optional[float] = None
        self._start: Optional[float] = None
        self._target: Optional[float] = None
        self._moving = False
        self._phase = 0
        self._zeros: List[float] = []
        self._shades: List[float] = []
        self._model = (0.0, 90.0)
        self._turn = 0.0
        self._animation = QtCore.QTimer(self, interval=60)
        self._animation.timeout.connect(self._advance)
        self.set_model(0.0, 90.0)

    def set_model(self, min_angle: float, span: float) -> None:
        self._model = (min_angle, span)
        self._shade()

    def _shade(self) -> None:
        angles = [self._turn + a + _SEGMENT / 2 for a in range(0, 360, _SEGMENT)]
        self._shades = transmittance_curve(angles, *self._model)
        self._zeros = zeros_on_revolution(*self._model, self._turn)
        self.update()

    def show_position(self, degrees: Optional[float], start: Optional[float] = None,
                      target: Optional[float] = None, moving: bool = False) -> None:
        """At rest: ``degrees`` (None: not known). Moving: from ``start`` to ``target`` (None
        for a run that ends where it began)."""
        self._degrees, self._start, self._target, self._moving = degrees, start, target, moving
        where = target if moving and target is not None else degrees
        turn = -360.0 if where is not None and where < 0 else 0.0
        if turn != self._turn:
            self._turn = turn
            self._shade()
        if moving and not self._animation.isActive():
            self._animation.start()
        elif not moving:
            self._animation.stop()
        self.update()

    def _advance(self) -> None:
        self._phase = (self._phase + 1) % 16
        self.update()

    # Drawing.

    @staticmethod
    def _qt_angle(degrees: float) -> float:
        """Qt counts from 3 o'clock, counter-clockwise."""
        return 90.0 - degrees

    def _point(self, centre: QtCore.QPointF, radius: float, degrees: float) -> QtCore.QPointF:
        radians = math.radians(degrees)
        return QtCore.QPointF(centre.x() + radius * math.sin(radians),
                              centre.y() - radius * math.cos(radians))

    def paintEvent(self, event: QtGui.QPaintEvent) -> None:  # noqa: N802 (Qt's name)
        side = min(self.width(), self.height()) - 52
        if side < 40:
            return
        painter = QtGui.QPainter(self)
        painter.setRenderHint(QtGui.QPainter.Antialiasing)
        centre = QtCore.QPointF(self.width() / 2, self.height() / 2)
        outer = side / 2
        width = max(8.0, side / 12)
        ring = outer - width / 2
        box = QtCore.QRectF(centre.x() - ring, centre.y() - ring, 2 * ring, 2 * ring)

        for index, shade in enumerate(self._shades):
            level = int(40 + 215 * shade)
            painter.setPen(QtGui.QPen(QtGui.QColor(level, level, min(255, level + 20)), width,
                                      QtCore.Qt.SolidLine, QtCore.Qt.FlatCap))
            painter.drawArc(box, int(self._qt_angle(index * _SEGMENT) * 16),
                            int(-(_SEGMENT + 0.2) * 16))

        text = self.palette().color(QtGui.QPalette.WindowText)
        painter.setPen(QtGui.QPen(text, 1))
        for degrees in range(0, 360, 90):
            label = self._point(centre, outer + 12, degrees)
            painter.drawText(QtCore.QRectF(label.x() - 20, label.y() - 8, 40, 16),
                             QtCore.Qt.AlignCenter, f"{degrees}°")
        painter.setPen(QtGui.QPen(_ZERO_MARK, 3))
        for degrees in self._zeros:
            painter.drawLine(self._point(centre, outer + 4, degrees),
                             self._point(centre, outer - width - 4, degrees))

        inner = outer - width - 8
        if self._moving:
            self._draw_motion(painter, centre, inner)
        elif self._degrees is not None:
            self._draw_needle(painter, centre, inner, self._degrees, _NEEDLE, 3)
        painter.setBrush(text)
        painter.setPen(QtCore.Qt.NoPen)
        painter.drawEllipse(centre, 4, 4)
        painter.end()

    def _draw_needle(self, painter: QtGui.QPainter, centre: QtCore.QPointF, length: float,
                     degrees: float, colour: QtGui.QColor, width: float,
                     style: QtCore.Qt.PenStyle = QtCore.Qt.SolidLine) -> None:
        painter.setPen(QtGui.QPen(colour, width, style, QtCore.Qt.RoundCap))
        painter.drawLine(centre, self._point(centre, length, degrees))

    def _draw_motion(self, painter: QtGui.QPainter, centre: QtCore.QPointF,
                     radius: float) -> None:
        start = self._start if self._start is not None else self._degrees
        if start is not None:
            self._draw_needle(painter, centre, radius, start, _NEEDLE.lighter(160), 2,
                              QtCore.Qt.DashLine)
        pen = QtGui.QPen(_TARGET, 3, QtCore.Qt.DashLine, QtCore.Qt.FlatCap)
        pen.setDashOffset(-self._phase)
        painter.setPen(pen)
        arc = radius * 0.85
        box = QtCore.QRectF(centre.x() - arc, centre.y() - arc, 2 * arc, 2 * arc)
        if start is None or self._target is None:
            painter.drawEllipse(box)  # a run in place: the whole circle runs
            return
        turn = max(-360.0, min(360.0, self._target - start))
        painter.drawArc(box, int(self._qt_angle(start) * 16), int(-turn * 16))
        self._draw_needle(painter, centre, radius, self._target, _TARGET, 2, QtCore.Qt.DotLine)
