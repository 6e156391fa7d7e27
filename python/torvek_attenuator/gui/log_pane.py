"""The wire trace in the window, and the diagnostics a bug report needs.

The library reads TORVEK_ATTENUATOR_TRACE when a handler connects. The trace switch points it
at a file of the window's own (or back at what the environment said), connects again so that
the Mount's handler takes it, and the pane shows the file's lines as they are written."""

from __future__ import annotations

import collections
import os
import platform
import shutil
import tempfile
from typing import Deque, Optional

import torvek_attenuator

from .. import library_version
from ._qt import QtCore, QtGui, QtWidgets, pg
from .session import Session
from .status_panel import identification_text

TRACE_VARIABLE = "TORVEK_ATTENUATOR_TRACE"
#: Lines the pane shows, and the lines the diagnostics carry.
SHOWN_LINES = 5000
DIAGNOSTIC_LINES = 200
TAIL_INTERVAL_MS = 200


class LogPane(QtWidgets.QWidget):
    def __init__(self, session: Session, parent: Optional[QtWidgets.QWidget] = None) -> None:
        super().__init__(parent)
        self.session = session
        self._directory = tempfile.mkdtemp(prefix="attenuator-gui-")
        self.path = os.path.join(self._directory, "wire-trace.log")
        #: What the environment said before the switch was first used ("" for nothing).
        self.environment_trace = os.environ.get(TRACE_VARIABLE, "")
        self.last: Deque[str] = collections.deque(maxlen=DIAGNOSTIC_LINES)
        self._offset, self._partial = 0, b""

        self.trace = QtWidgets.QCheckBox("Wire trace")
        self.trace.setToolTip("Every command and reply on the line, from the library (connects "
                              "again to switch)")
        self.trace.toggled.connect(self.set_trace)
        self.where = QtWidgets.QLabel()
        self.copy = QtWidgets.QPushButton("Copy diagnostics")
        self.copy.setToolTip("Versions, port, identification and the last "
                             f"{DIAGNOSTIC_LINES} trace lines, for a bug report")
        self.copy.clicked.connect(self.copy_diagnostics)
        self.view = QtWidgets.QPlainTextEdit(readOnly=True)
        self.view.setMaximumBlockCount(SHOWN_LINES)
        self.view.setFont(QtGui.QFontDatabase.systemFont(QtGui.QFontDatabase.FixedFont))
        self.view.setLineWrapMode(QtWidgets.QPlainTextEdit.NoWrap)
        self.view.setPlaceholderText("Switch the wire trace on to see every command and reply")
        top = QtWidgets.QHBoxLayout()
        top.addWidget(self.trace)
        top.addWidget(self.where, 1)
        top.addWidget(self.copy)
        layout = QtWidgets.QVBoxLayout(self)
        layout.setContentsMargins(4, 4, 4, 4)
        layout.addLayout(top)
        layout.addWidget(self.view)
        self._timer = QtCore.QTimer(self, interval=TAIL_INTERVAL_MS)
        self._timer.timeout.connect(self.tail)
        self._show_where()

    def set_switch_enabled(self, enabled: bool) -> None:
        """Switching connects again, which a motion under way does not allow."""
        self.trace.setEnabled(enabled)

    def set_trace(self, on: bool) -> None:
        if on:
            with open(self.path, "wb"):  # the pane starts from an empty file
                pass
            self._offset, self._partial = 0, b""
            os.environ[TRACE_VARIABLE] = self.path
            self._timer.start()
        elif self.environment_trace:
            os.environ[TRACE_VARIABLE] = self.environment_trace
        else:
            os.environ.pop(TRACE_VARIABLE, None)
        self._show_where()
        self.session.reconnect()

    def _show_where(self) -> None:
        if self.trace.isChecked():
            self.where.setText(f"to {self.path}")
        elif self.environment_trace:
            self.where.setText(f"off here; the environment sends it to {self.environment_trace}")
        else:
            self.where.setText("off")

    def tail(self) -> None:
        """Shows what the library wrote to the file since the last look."""
        try:
            with open(self.path, "rb") as trace:
                trace.seek(self._offset)
                data = trace.read()
        except OSError:
            return
        if not data:
            return
        self._offset += len(data)
        *complete, self._partial = (self._partial + data).split(b"\n")
        lines = [line.decode("utf-8", "replace") for line in complete]
        self.last.extend(lines)
        if lines:
            self.view.appendPlainText("\n".join(lines))

    def close_pane(self) -> None:
        self._timer.stop()
        if os.environ.get(TRACE_VARIABLE) == self.path:
            if self.environment_trace:
                os.environ[TRACE_VARIABLE] = self.environment_trace
            else:
                os.environ.pop(TRACE_VARIABLE, None)
        shutil.rmtree(self._directory, ignore_errors=True)

    # Diagnostics.

    def diagnostics(self) -> str:
        snap = self.session.snapshot()
        lines = [
            f"attenuator-gui {torvek_attenuator.__version__}: package torvek_attenuator "
            f"{torvek_attenuator.__version__}, library {library_version()}",
            f"Qt {QtCore.QT_VERSION_STR}, PyQt {QtCore.PYQT_VERSION_STR}, pyqtgraph "
            f"{pg.__version__}, Python {platform.python_version()}, {platform.platform()}",
        ]
        if snap is None:
            lines.append("port: not connected")
        else:
            lines += [
                f"port: {snap.port}" + (" (simulated device)" if self.session.simulated else ""),
                f"state: {snap.state.name}: {snap.status}",
                f"identification: {identification_text(snap.info)}",
            ]
        lines.append(f"model: min angle {self.session.min_angle:g}, span "
                     f"{self.session.span:g} degrees")
        self.tail()
        lines.append(f"wire trace ({self.where.text()}), the last {len(self.last)} lines:")
        lines += self.last
        return "\n".join(lines) + "\n"

    def copy_diagnostics(self) -> None:
        QtWidgets.QApplication.clipboard().setText(self.diagnostics())
