"""attenuator-tango's --help and --version. The device properties, their defaults and their
meaning are read from the device class, so that the help says what the server does.

PyTango's own option list stays reachable as ``attenuator-tango --help-tango``.
"""

from __future__ import annotations

import sys
import textwrap
from typing import List, Optional, Sequence, TextIO

import torvek_attenuator

from .device import TorvekAttenuator

SYNOPSIS = """\
Usage: attenuator-tango INSTANCE [-file=PATH -ORBendPoint giop:tcp:HOST:PORT] [TANGO-OPTION]...
Serves motorised optical attenuators on Tango Controls: device class TorvekAttenuator, each
device on its own serial port. The server is attenuator-tango/INSTANCE; its devices and their
properties come from the Tango database that TANGO_HOST names, or, with -file=PATH, from that
file, and clients then reach the server at the -ORBendPoint address.
"""

OPTIONS = [
    ("-file=PATH", "read the devices and their properties from PATH, not from a database"),
    ("-ORBendPoint giop:tcp:HOST:PORT", "the address clients reach the server at (with -file)"),
    ("-v[LEVEL]", "Tango's own trace, on stdout"),
    ("--help-tango", "PyTango's list of options (-nodb, -dlist, -host, -port, -ORB...)"),
    ("-h, --help", "show this help and exit"),
    ("-V, --version", "show the version of the server and of the library, and exit"),
]

EXAMPLES = """\
Examples:
  With a Tango database: register the server once, then start it by its instance name.
    $ export TANGO_HOST=localhost:10000
    $ tango_admin --add-server attenuator-tango/lab TorvekAttenuator lab/attenuator/1
    $ tango_admin --add-property lab/attenuator/1 Port /dev/ttyUSB0
    $ attenuator-tango lab
  Without one, on the simulator, all in the background of one shell; the devices file names
  the server's devices and their properties:
    $ attenuator-sim --link /tmp/ttyATT0 > /dev/null &
    $ echo 'attenuator-tango/lab/DEVICE/TorvekAttenuator: lab/attenuator/1' > attenuator.db
    $ echo 'lab/attenuator/1->Port: /tmp/ttyATT0' >> attenuator.db
    $ attenuator-tango lab -file=attenuator.db -ORBendPoint giop:tcp:127.0.0.1:45450 &
    $ /usr/bin/python3 -m torvek_attenuator_tango.ready lab --address 127.0.0.1:45450
    $ PROXY='tango://127.0.0.1:45450/lab/attenuator/1#dbase=no'
    $ /usr/bin/python3 -c "import tango; print(tango.DeviceProxy('$PROXY').Position)"
"""

ENVIRONMENT = [
    ("TANGO_HOST", "HOST:PORT of the Tango database (not used with -file)"),
    ("TORVEK_ATTENUATOR_TRACE", "stderr, or a file: every command and reply on the serial line"),
    ("TORVEK_ATTENUATOR_LIBRARY", "the library file to load instead of the one installed"),
]

HELP_OPTIONS = ("-h", "--help", "-?")
VERSION_OPTIONS = ("-V", "--version")


def _rows(rows: Sequence[tuple], width: int = 30) -> List[str]:
    # A name and its text need two spaces between them, for people and for help2man.
    lines = []
    for name, text in rows:
        wrapped = textwrap.wrap(text, 95 - width)
        if len(name) + 4 > width:
            lines.append(f"  {name}")
        else:
            lines.append(f"  {name:<{width - 2}}{wrapped.pop(0)}")
        lines += [" " * width + line for line in wrapped]
    return lines


def _default(value: object) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def properties() -> List[tuple]:
    """(name, default or None when required, meaning) of each device property, in order."""
    listed = TorvekAttenuator.TangoClassClass.device_property_list
    return [(name, None if mandatory else default, doc)
            for name, (_, doc, default, mandatory) in listed.items()]


def help_text() -> str:
    rows = [(name, ("required" if default is None else f"default {_default(default)}") +
             f": {doc}") for name, default, doc in properties()]
    return "\n".join([SYNOPSIS, "Options:", *_rows(OPTIONS), "",
                      "Device properties:", *_rows(rows), "", EXAMPLES,
                      "Environment:", *_rows(ENVIRONMENT), ""])


def version_text() -> str:
    return (f"attenuator-tango {torvek_attenuator.__version__} "
            f"(library {torvek_attenuator.library_version()})\n")


def answer(argv: Sequence[str], out: Optional[TextIO] = None) -> Optional[int]:
    """Answers --help or --version among the arguments (after the program's name) with exit
    code 0; None when the server is to run."""
    out = out or sys.stdout
    if any(arg in HELP_OPTIONS for arg in argv):
        out.write(help_text())
        return 0
    if any(arg in VERSION_OPTIONS for arg in argv):
        out.write(version_text())
        return 0
    return None
