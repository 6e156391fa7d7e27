"""The application: Qt, the window, what the command line asked for, and the signals that end
it from a terminal."""

from __future__ import annotations

import argparse
import signal
import sys
import traceback
from types import TracebackType
from typing import Optional, Sequence, Type

import torvek_attenuator

from ._qt import QtCore, QtGui, QtWidgets
from .tools import Tools
from .window import MainWindow

ORGANIZATION = "torvek-attenuator"
APPLICATION = "attenuator-gui"


def _report_fault(window: MainWindow) -> None:
    """A fault of ours in a slot: said in the window and on stderr, and the window goes on
    (PyQt would otherwise abort the program)."""

    def hook(kind: Type[BaseException], error: BaseException,
             trace: Optional[TracebackType]) -> None:
        traceback.print_exception(kind, error, trace, file=sys.stderr)
        window.statusBar().showMessage(f"internal error (details on stderr): {error!r}", 20000)

    sys.excepthook = hook


def run(options: argparse.Namespace, tool_dirs: Sequence[str]) -> int:
    QtCore.QCoreApplication.setOrganizationName(ORGANIZATION)
    QtCore.QCoreApplication.setApplicationName(APPLICATION)
    QtCore.QCoreApplication.setApplicationVersion(torvek_attenuator.__version__)
    application = QtWidgets.QApplication([sys.argv[0] if sys.argv else APPLICATION])
    application.setDesktopFileName(APPLICATION)
    application.setWindowIcon(QtGui.QIcon.fromTheme(APPLICATION))
    window = MainWindow(QtCore.QSettings(), Tools.find(tool_dirs))
    _report_fault(window)
    if options.min_angle is not None or options.span is not None:
        window.set_model(window.session.min_angle if options.min_angle is None
                         else options.min_angle,
                         window.session.span if options.span is None else options.span)

    # Ctrl-C and SIGTERM close the window as its close button does, without the question: the
    # mount is stopped first, the simulator ended. Python runs a signal handler only between
    # its own instructions, so a timer gives it the chance while Qt waits.
    def close(*_: object) -> None:
        window.confirm_close = lambda: True  # type: ignore[assignment]
        window.close()

    signal.signal(signal.SIGINT, close)
    signal.signal(signal.SIGTERM, close)
    ticks = QtCore.QTimer(interval=200)
    ticks.timeout.connect(lambda: None)
    ticks.start()
    window.show()
    if options.simulate:
        window.start_simulated()
    elif options.port:
        window.connect_to(options.port)
    code = application.exec_()
    # Qt's objects go before the interpreter's end takes them in an order of its own.
    ticks.stop()
    window.deleteLater()
    QtCore.QCoreApplication.sendPostedEvents(None, QtCore.QEvent.DeferredDelete)
    return code
