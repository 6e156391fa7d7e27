"""Python interface to the torvek-attenuator driver: a motorised optical attenuator on a
serial line, through the library's C interface (ctypes; no compiled extension).

    from torvek_attenuator import Attenuator

    with Attenuator("/dev/ttyUSB0") as att:
        att.move_to(45.0)
        print(att.position_deg, att.transmittance(min_angle=10.0, span=90.0))

The transmittance model and the unit conversions are the library's own, usable without a
device: transmittance_at, angle_for, degrees_to_steps, steps_to_degrees. list_ports() lists
the machine's serial ports; a port may be named by its USB adapter's stable identity,
"usb:VID:PID[:SERIAL]".

The shared library is looked up next to this package, in the library directory of the prefix
it was installed to, then by the system's loader; the environment variable
TORVEK_ATTENUATOR_LIBRARY names the file to use instead.

``__version__`` is this package's version, the project's; ``library_version()`` that of the
shared library it loaded.
"""

from ._attenuator import DEFAULT_TIMEOUT, Attenuator, MotorInfo
from ._library import LIBRARY_ENV, LibraryNotFoundError
from ._model import (
    accepted_densities,
    angle_for,
    attenuation_db,
    check_model,
    degrees_to_steps,
    density_limit,
    optical_density,
    steps_to_degrees,
    transmittance_at,
    transmittance_curve,
    transmittance_for_density,
    transmittance_of_density,
)
from ._ports import SerialPort, list_ports, resolve_port
from ._status import (
    ACCESS_DENIED,
    AMBIGUOUS_PORT,
    BAD_IDENTIFICATION,
    INTERNAL_ERROR,
    INVALID_ARGUMENT,
    NO_IDENTIFICATION,
    NO_SUCH_PORT,
    NO_VALUE,
    NOT_A_SERIAL_PORT,
    OK,
    PORT_BUSY,
    PORT_UNAVAILABLE,
    RANGE_DEGREES,
    RANGE_MODEL,
    RANGE_STEPS,
    RANGE_TRANSMITTANCE,
    REPLY_TIMEOUT,
    UNEXPECTED_REPLY,
    AttenuatorError,
    accepted_range,
    library_version,
    status_hint,
    status_name,
)
from ._version import __version__
from .mount import Motion, Mount, MountError, MountSnapshot, MountState

__all__ = [
    "__version__",
    "ACCESS_DENIED",
    "AMBIGUOUS_PORT",
    "Attenuator",
    "AttenuatorError",
    "BAD_IDENTIFICATION",
    "CONNECT_ATTEMPTS",
    "DEFAULT_TIMEOUT",
    "INTERNAL_ERROR",
    "INVALID_ARGUMENT",
    "LIBRARY_ENV",
    "LibraryNotFoundError",
    "MAX_DEGREES",
    "MAX_STEPS",
    "MIN_SPAN",
    "MotorInfo",
    "RANGE_DEGREES",
    "RANGE_MODEL",
    "RANGE_STEPS",
    "RANGE_TRANSMITTANCE",
    "NOT_A_SERIAL_PORT",
    "NO_IDENTIFICATION",
    "NO_SUCH_PORT",
    "NO_VALUE",
    "OK",
    "PORT_BUSY",
    "PORT_UNAVAILABLE",
    "REPLY_TIMEOUT",
    "SerialPort",
    "UNEXPECTED_REPLY",
    "accepted_densities",
    "accepted_range",
    "angle_for",
    "attenuation_db",
    "check_model",
    "degrees_to_steps",
    "density_limit",
    "optical_density",
    "library_version",
    "list_ports",
    "resolve_port",
    "status_hint",
    "status_name",
    "steps_to_degrees",
    "transmittance_at",
    "transmittance_curve",
    "transmittance_for_density",
    "transmittance_of_density",
]
__all__ += ["Motion", "Mount", "MountError", "MountSnapshot", "MountState"]


def __getattr__(name: str) -> object:
    # MAX_STEPS, MAX_DEGREES, MIN_SPAN, CONNECT_ATTEMPTS: the library's own numbers, read from
    # it when first asked for, so that importing the package loads no library.
    from . import _model

    return getattr(_model, name)
