"""Python interface to the torvek-attenuator driver: a motorised optical attenuator on a
serial line, through the library's C interface (ctypes; no compiled extension).

    from torvek_attenuator import Attenuator

    with Attenuator("/dev/ttyUSB0") as att:
        att.move_to(45.0)
        print(att.position_deg, att.transmittance(min_angle=10.0, span=90.0))

The shared library is looked up next to this package, in the library directory of the prefix
it was installed to, then by the system's loader; the environment variable
TORVEK_ATTENUATOR_LIBRARY names the file to use instead.
"""

from ._attenuator import (
    DEFAULT_TIMEOUT,
    INTERNAL_ERROR,
    INVALID_ARGUMENT,
    OK,
    PORT_UNAVAILABLE,
    REPLY_TIMEOUT,
    UNEXPECTED_REPLY,
    Attenuator,
    AttenuatorError,
    MotorInfo,
    library_version,
    status_name,
)
from ._library import LIBRARY_ENV, LibraryNotFoundError
from .mount import Motion, Mount, MountError, MountSnapshot, MountState

__all__ = [
    "Attenuator",
    "AttenuatorError",
    "DEFAULT_TIMEOUT",
    "INTERNAL_ERROR",
    "INVALID_ARGUMENT",
    "LIBRARY_ENV",
    "LibraryNotFoundError",
    "MotorInfo",
    "OK",
    "PORT_UNAVAILABLE",
    "REPLY_TIMEOUT",
    "UNEXPECTED_REPLY",
    "library_version",
    "status_name",
]
__all__ += ["Motion", "Mount", "MountError", "MountSnapshot", "MountState"]
