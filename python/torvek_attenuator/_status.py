"""Results, their names and hints, and the exception that carries them: all the library's own
words, so that this package, attenuatorctl and the Tango server say the same."""

from __future__ import annotations

from . import _library

OK = 0
UNEXPECTED_REPLY = -1
REPLY_TIMEOUT = -2
PORT_UNAVAILABLE = -3
INVALID_ARGUMENT = -4
INTERNAL_ERROR = -5
#: Why a connect failed (TORVEK_ATT_NO_SUCH_PORT ...).
NO_SUCH_PORT = -6
ACCESS_DENIED = -7
PORT_BUSY = -8
NOT_A_SERIAL_PORT = -9
NO_IDENTIFICATION = -10
BAD_IDENTIFICATION = -11
#: A status frame of code 0 came in place of a value.
NO_VALUE = -12
AMBIGUOUS_PORT = -13

#: The quantities whose accepted values :func:`accepted_range` states.
RANGE_STEPS = 1
RANGE_DEGREES = 2
RANGE_TRANSMITTANCE = 3
RANGE_MODEL = 4


def status_name(code: int) -> str:
    """The library's name of a status: "Ok", "ReplyTimeout", "NoSuchPort", "DeviceStatus" (1 to
    255), ..."""
    return _library.load().torvek_att_status_name(code).decode("ascii")


def status_hint(code: int) -> str:
    """What a person can do about a status, in one line ("" for Ok): the words attenuatorctl
    and the Tango server show too."""
    return _library.load().torvek_att_status_hint(code).decode("utf-8")


def accepted_range(quantity: int) -> str:
    """The values a quantity accepts, in words ("-143360 <= steps <= 143360")."""
    return _library.load().torvek_att_accepted_range(quantity).decode("utf-8")


def library_version() -> str:
    """The version of the loaded shared library, "major.minor.patch"."""
    return _library.load().torvek_att_library_version().decode("ascii")


class AttenuatorError(Exception):
    """A call did not succeed.

    ``code`` is the status: a negative value is the library's own ("ReplyTimeout" -2,
    "PortUnavailable" -3, "InvalidArgument" -4, "NoSuchPort" -6, ...), 1 to 255 is a status
    code the device reported ("DeviceStatus"). ``name`` is the status's name, ``operation`` the
    call that failed, ``detail`` what the call adds (for InvalidArgument the values accepted),
    ``hint`` what to do about it. ``str()`` gives all of it, the hint on a line of its own.
    """

    def __init__(self, code: int, operation: str, detail: str = "") -> None:
        self.code = code
        self.name = status_name(code)
        self.operation = operation
        self.detail = detail
        self.hint = status_hint(code)
        text = f"{operation}: {self.name} ({code})"
        if detail:
            text += f": {detail}"
        if self.hint:
            text += f"\n  hint: {self.hint}"
        super().__init__(text)


def invalid_argument(operation: str, *quantities: int) -> AttenuatorError:
    """InvalidArgument for ``operation``, naming what ``quantities`` accept."""
    accepted = "; ".join(accepted_range(q) for q in quantities)
    return AttenuatorError(INVALID_ARGUMENT, operation, f"accepted: {accepted}")
