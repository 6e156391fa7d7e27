#!/usr/bin/python3
"""Makes docs/attenuator-gui.png: the window on a simulated device, after a calibration sweep
on the simulated meter whose model it applied, mid-move to a transmittance, the wire trace on.

    xvfb-run -a -s "-screen 0 1400x1000x24" /usr/bin/python3 examples/gui/screenshot.py \\
        [--build build] [--output docs/attenuator-gui.png]

Needs the build tree (its Python package, attenuator-sim) and Debian's python3-pyqt5 and
python3-pyqtgraph. Its settings go to a scratch directory.
"""

import argparse
import os
import sys
import tempfile
import time


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build tree (default: build)")
    parser.add_argument("--output", default="docs/attenuator-gui.png")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    from torvek_attenuator import MountState
    from torvek_attenuator.gui._qt import QtCore, QtWidgets
    from torvek_attenuator.gui.motion_panel import FRACTION
    from torvek_attenuator.gui.tools import Tools
    from torvek_attenuator.gui.window import MainWindow

    application = QtWidgets.QApplication(["attenuator-gui"])

    def wait_until(condition, bound: float = 60.0) -> None:
        deadline = time.monotonic() + bound
        while not condition():
            if time.monotonic() > deadline:
                raise SystemExit("screenshot: the window did not get there in time")
            application.processEvents(QtCore.QEventLoop.AllEvents, 50)

    with tempfile.TemporaryDirectory() as scratch:
        settings = QtCore.QSettings(os.path.join(scratch, "gui.conf"), QtCore.QSettings.IniFormat)
        # A mount that turns a quarter revolution in 2.5 s, so that the move is seen under way.
        tools = Tools.find([os.path.join(build, "tools", "sim"), os.path.join(build, "tools", "ctl")],
                           ["--baud", "0", "--speed", "14336"])
        window = MainWindow(settings, tools)
        window.resize(1320, 1000)
        window.show()
        window.start_simulated()
        wait_until(lambda: window.session.status_read)
        panel = window.calibration_panel
        window.tabs.setCurrentWidget(panel)
        panel.first.setValue(-30.0)
        panel.last.setValue(210.0)
        panel.step.setValue(5.0)
        panel.start_button.click()
        wait_until(lambda: not panel.running, 120.0)
        panel.apply.click()
        window.log_pane.trace.setChecked(True)
        wait_until(lambda: window.session.status_read)
        motion = window.motion_panel
        motion.unit.setCurrentIndex(FRACTION)
        motion.value.setText("0.5")
        motion.go_button.click()
        wait_until(lambda: window.status_panel.shown.state is MountState.MOVING)
        started = time.monotonic()
        wait_until(lambda: time.monotonic() - started > 0.6)  # part of the way, on the clock
        window.log_pane.tail()
        application.processEvents()
        if not window.grab().save(args.output):
            raise SystemExit(f"screenshot: cannot write {args.output}")
        window.confirm_close = lambda: True
        window.close()
    print(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
