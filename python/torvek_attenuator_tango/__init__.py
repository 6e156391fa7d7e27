"""Tango device server for the torvek attenuator: the device class ``TorvekAttenuator`` over
the Python package's :class:`torvek_attenuator.Attenuator`, and ``main`` which the
``attenuator-tango`` launcher runs.

    attenuator-tango INSTANCE                       # with a Tango database (TANGO_HOST)
    attenuator-tango INSTANCE -file=devices.db -ORBendPoint giop:tcp:127.0.0.1:45450
"""

from .device import SERVER_NAME, TorvekAttenuator, main

__all__ = ["SERVER_NAME", "TorvekAttenuator", "main"]
