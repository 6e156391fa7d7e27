"""The Qt binding the window is written for, PyQt5, imported before pyqtgraph: pyqtgraph draws
with whichever binding is imported already and would otherwise pick one of its own (PyQt6 when
Debian has it installed beside PyQt5)."""

from .._requires import require

_NEEDED_BY = "torvek_attenuator.gui"
QtCore = require("PyQt5.QtCore", "python3-pyqt5", _NEEDED_BY)
QtGui = require("PyQt5.QtGui", "python3-pyqt5", _NEEDED_BY)
QtWidgets = require("PyQt5.QtWidgets", "python3-pyqt5", _NEEDED_BY)
pg = require("pyqtgraph", "python3-pyqtgraph", _NEEDED_BY)

__all__ = ["QtCore", "QtGui", "QtWidgets", "pg"]
