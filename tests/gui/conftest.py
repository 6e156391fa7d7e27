"""The window's tests: pytest-qt on PyQt5, the simulator and its trace from tests/python, the
settings in a temporary directory, and windows that are closed after each test."""

from __future__ import annotations

import dataclasses
import importlib.util
import os
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

# pytest-qt picks the first binding it finds, PyQt6 where Debian has it too; the window is
# PyQt5's. Read when pytest-qt configures itself, which is after this file is loaded.
os.environ["PYTEST_QT_API"] = "pyqt5"

from torvek_attenuator import MountState  # noqa: E402
from torvek_attenuator.gui._qt import QtCore  # noqa: E402
from torvek_attenuator.gui.tools import Tools  # noqa: E402
from torvek_attenuator.gui.window import MainWindow  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("python_fixtures",
                                               REPO / "tests" / "python" / "conftest.py")
python_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(python_fixtures)  # type: ignore[union-attr]
BOUND = python_fixtures.BOUND
Sim, Trace, start_sim = python_fixtures.Sim, python_fixtures.Trace, python_fixtures.start_sim
BOUND_MS = int(BOUND * 1000)
ON, MOVING, FAULT = MountState.ON, MountState.MOVING, MountState.FAULT


def control_binary() -> str:
    """attenuatorctl: $ATTENUATORCTL, else the one in $BUILD_DIR (default <repo>/build)."""
    build = Path(os.environ.get("BUILD_DIR", REPO / "build"))
    return os.environ.get("ATTENUATORCTL", str(build / "tools" / "ctl" / "attenuatorctl"))


@pytest.fixture(scope="session", autouse=True)
def settings_elsewhere(tmp_path_factory: pytest.TempPathFactory) -> None:
    """Whatever asks QSettings for the user's or the system's settings gets a temporary
    directory, never the home's."""
    where = str(tmp_path_factory.mktemp("qsettings"))
    for settings_format in (QtCore.QSettings.NativeFormat, QtCore.QSettings.IniFormat):
        for scope in (QtCore.QSettings.UserScope, QtCore.QSettings.SystemScope):
            QtCore.QSettings.setPath(settings_format, scope, where)


@pytest.fixture
def open_window(qtbot, tmp_path: Path) -> Iterator[Callable[..., MainWindow]]:
    """open_window(**tools): a window with the simulator and attenuatorctl under test (the
    simulator at --baud 0 unless ``simulator_arguments`` say otherwise), its settings in
    tmp_path (the same file for every window of the test), closed after the test."""
    made: List[MainWindow] = []

    def make(**tools: object) -> MainWindow:
        settings = QtCore.QSettings(str(tmp_path / "attenuator-gui.conf"),
                                    QtCore.QSettings.IniFormat)
        chosen = dataclasses.replace(Tools(python_fixtures.sim_binary(), control_binary(),
                                           ("--baud", "0")), **tools)
        window = MainWindow(settings, chosen)
        # Closed here rather than by qtbot, which would close it before this fixture's end
        # and so, should a test fail during a motion, ask a question nobody answers.
        window.confirm_close = lambda: True  # type: ignore[assignment]
        # Active, as the window a person works in is: Qt's shortcuts (Esc) act only then.
        with qtbot.waitActive(window, timeout=BOUND_MS):
            window.show()
            window.activateWindow()
        made.append(window)
        return window

    yield make
    for window in made:
        window.confirm_close = lambda: True  # type: ignore[assignment]
        window.close()
        window.deleteLater()


def wait_state(qtbot, window: MainWindow, state: MountState) -> None:
    """Until the window shows ``state``."""
    qtbot.waitUntil(lambda: window.status_panel.shown is not None and
                    window.status_panel.shown.state is state, timeout=BOUND_MS)


@pytest.fixture
def connected(open_window, qtbot) -> Callable[[Sim], MainWindow]:
    """connected(sim): a window connected to the simulator, its status code read."""

    def connect(sim: Sim) -> MainWindow:
        window = open_window()
        window.connect_to(sim.port)
        # Connected, the window asks for the device's status code; then the line is quiet.
        qtbot.waitUntil(lambda: window.session.status_read, timeout=BOUND_MS)
        return window

    return connect


def number(text: str) -> float:
    """The first number a read-out shows."""
    return float(text.split()[0])
