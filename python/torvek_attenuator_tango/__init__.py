"""Tango device server for the torvek attenuator: the device class ``TorvekAttenuator`` over
the Python package's :class:`torvek_attenuator.Attenuator`, and ``main`` which the
``attenuator-tango`` launcher runs (``attenuator-tango --help`` says how).

    attenuator-tango INSTANCE                       # with a Tango database (TANGO_HOST)
    attenuator-tango INSTANCE -file=devices.db -ORBendPoint giop:tcp:127.0.0.1:45450

``torvek_attenuator_tango.ready`` waits until a started server answers.
"""

from torvek_attenuator._requires import require

# Debian's python3-tango is there for /usr/bin/python3 only.
require("tango", "python3-tango", "attenuator-tango")

from .device import SERVER_NAME, TorvekAttenuator, main  # noqa: E402

__all__ = ["SERVER_NAME", "TorvekAttenuator", "main"]
