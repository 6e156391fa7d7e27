"""attenuator-gui: a window for one attenuator, for a lab without a control system.

    attenuator-gui --simulate          # or --port /dev/ttyUSB0, or nothing: choose in the window
    python3 -m torvek_attenuator.gui   # the same, from wherever the package is

Built on Debian's PyQt5 and pyqtgraph (python3-pyqt5, python3-pyqtgraph) over the package's
device layer, :class:`torvek_attenuator.Mount`. One module per part of the window: ``window``
(the frame, Stop, Esc, closing, the settings), ``connect_panel``, ``status_panel`` with
``dial``, ``motion_panel``, ``calibration_panel`` with ``sweep``, ``log_pane``; ``session`` holds
the Mount and the simulator behind a simulated device. ``cli`` answers --help and --version
without Qt, which the rest imports through ``_qt``.
"""

from .cli import main

__all__ = ["main"]
