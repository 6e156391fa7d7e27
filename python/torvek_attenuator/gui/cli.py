"""attenuator-gui's command line. --help and --version are answered here without Qt, so that
they work where no display is (the man page is made from them); everything else opens the
window."""

from __future__ import annotations

import argparse
import math
import sys
from typing import NoReturn, Optional, Sequence

NAME = "attenuator-gui"

HELP = """\
Usage: attenuator-gui [--port PORT | --simulate] [--min-angle A] [--span S]
A window for a motorised optical attenuator: connect to it on a serial port or to a simulated
one, see where it stands and its transmittance, move it by angle, steps, transmittance or
optical density, stop it, calibrate its transmittance model with a power meter, and watch
the commands and replies on the line.

Options:
  -p, --port PORT    connect to PORT at start: /dev/ttyUSB0, /dev/serial/by-id/NAME, or the
                     adapter's identity usb:VID:PID[:SERIAL] (attenuatorctl ports shows it)
  -s, --simulate     start a simulated attenuator (attenuator-sim) and connect to it
  --min-angle A      the transmittance model's angle of zero transmittance, degrees (default:
                     the one used last, at first 0)
  --span S           the model's rotation from transmittance 0 to 1, degrees (default: the one
                     used last, at first 90)
  -h, --help         show this help and exit
  -V, --version      show the version of the window and of the library, and exit

Keys:
  Esc stops the mount at once, whatever has the focus; Ctrl+Q closes the window (during a
  motion it asks first, then stops the mount).

Examples:
  $ attenuator-gui --simulate
  $ attenuator-gui --port usb:0403:6001:TA0001 --min-angle 14.3 --span 87.4

Environment:
  TORVEK_ATTENUATOR_TRACE    stderr, or a file: the wire trace; the window's trace switch
                             points it at a file of its own and shows it
  TORVEK_ATTENUATOR_LIBRARY  the library file to load instead of the one installed
  QT_QPA_PLATFORM            Qt's display platform (xcb, wayland, offscreen)

Files:
  ~/.config/torvek-attenuator/attenuator-gui.conf  the last port, model, step and sweep

Exit status: 0 when the window was closed, 1 when it could not open (no display, a module
missing), 2 for a usage error.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        print(f"{NAME}: {message}\n  hint: {NAME} --help lists what it takes", file=sys.stderr)
        sys.exit(2)


def _degrees(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def parse(arguments: Sequence[str]) -> argparse.Namespace:
    """The options; --help and --version are answered (and exit) here."""
    parser = _Parser(prog=NAME, add_help=False)
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("-V", "--version", action="store_true")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-p", "--port")
    where.add_argument("-s", "--simulate", action="store_true")
    parser.add_argument("--min-angle", type=_degrees)
    parser.add_argument("--span", type=_degrees)
    options = parser.parse_args(list(arguments))
    if options.help:
        print(HELP, end="")
        sys.exit(0)
    if options.version:
        import torvek_attenuator

        print(f"{NAME} {torvek_attenuator.__version__} "
              f"(library {torvek_attenuator.library_version()})")
        sys.exit(0)
    return options


def main(arguments: Sequence[str], tool_dirs: Optional[Sequence[str]] = None) -> int:
    """Runs the window; ``tool_dirs`` are where the launcher looks for attenuator-sim and
    attenuatorctl before PATH."""
    options = parse(arguments)
    try:
        from .app import run
    except ModuleNotFoundError as missing:
        print(f"{NAME}: {missing}", file=sys.stderr)
        return 1
    return run(options, tool_dirs or ())
