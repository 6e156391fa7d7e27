"""The Attenuator class over the library's C interface."""

from __future__ import annotations

import ctypes
import math
import operator
import os
import threading
from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple

from . import _library

OK = 0
UNEXPECTED_REPLY = -1
REPLY_TIMEOUT = -2
PORT_UNAVAILABLE = -3
INVALID_ARGUMENT = -4
INTERNAL_ERROR = -5

#: The time-out of a call that is given none, in seconds.
DEFAULT_TIMEOUT = 5.0

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def status_name(code: int) -> str:
    """The library's name of a status code: "Ok", "ReplyTimeout", "DeviceStatus" (1 to 255)..."""
    return _library.load().torvek_att_status_name(code).decode("ascii")


def library_version() -> str:
    """The version of the loaded shared library, "major.minor.patch"."""
    return _library.load().torvek_att_library_version().decode("ascii")


class AttenuatorError(Exception):
    """A call did not succeed.

    ``code`` is the status: a negative value is the library's own ("ReplyTimeout" -2,
    "PortUnavailable" -3, "InvalidArgument" -4, ...), 1 to 255 is a status code the device
    reported ("DeviceStatus"). ``name`` is the status's name, ``operation`` the call that
    failed.
    """

    def __init__(self, code: int, operation: str, detail: str = "") -> None:
        self.code = code
        self.name = status_name(code)
        self.operation = operation
        text = f"{operation}: {self.name} ({code})"
        if detail:
            text += f": {detail}"
        super().__init__(text)


@dataclass(frozen=True)
class MotorInfo:
    """The device's identification and its home offset."""

    ident_a: str
    ident_b: str
    ident_c: str
    ident_d: str
    degrees_per_revolution: int
    steps_per_revolution: int
    home_offset_deg: float


def _text(field: bytes) -> str:
    return field.decode("latin-1")


class Attenuator:
    """One attenuator on a serial port.

    >>> with Attenuator("/dev/ttyUSB0") as att:
    ...     att.move_to(45.0)
    ...     print(att.position_deg)

    Every method that talks to the device takes a keyword-only ``timeout`` in seconds, the
    longest wait for the device's reply; without one, the attenuator's ``timeout`` attribute
    applies (``DEFAULT_TIMEOUT`` unless given to the constructor). Any result other than
    success raises :class:`AttenuatorError`. Arguments out of range raise it with the code
    "InvalidArgument" before anything is sent.

    Calls from several threads on one attenuator run one at a time, as in the C++ library.
    Every call can be cut short: Ctrl-C while the main thread waits raises KeyboardInterrupt
    at once (the call is cancelled first, and the attenuator stays usable), and
    :meth:`cancel` from another thread ends the waiting call there.
    """

    def __init__(self, port: Optional[str] = None, *, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Makes an attenuator and, when ``port`` is given, connects it (see :meth:`connect`)."""
        self._lib = _library.load()
        self._handle: Optional[int] = None
        self.timeout = DEFAULT_TIMEOUT
        self._timeout_ms(timeout, "Attenuator")
        #: The time-out in seconds of a call that is given none.
        self.timeout = float(timeout)
        self._lock = threading.RLock()
        # Guards the handle against close() for cancel(), which must not wait for self._lock.
        self._handle_lock = threading.Lock()
        handle = self._lib.torvek_att_create()
        if not handle:
            raise AttenuatorError(INTERNAL_ERROR, "Attenuator", "out of memory")
        self._handle = handle
        #: The port of the last successful connect, None after disconnect or close.
        self.port: Optional[str] = None
        if port is not None:
            try:
                self.connect(port)
            except BaseException:
                self.close()
                raise

    # Life cycle.

    def connect(self, port: "str | os.PathLike[str]") -> None:
        """Opens ``port`` ("/dev/ttyUSB0", "COM3") at 9600 8N1 and identifies the device.

        Takes about 0.2 s. Raises AttenuatorError "PortUnavailable" when the port cannot be
        opened (an earlier connection then stays open) or no device identified itself on it
        (no port is open then, though ``port`` still names the earlier one).
        """
        name = os.fsencode(port)
        operation = f"connect({os.fsdecode(port)!r})"
        if b"\0" in name:
            # The C interface would read the name only up to the NUL and open another port.
            raise AttenuatorError(PORT_UNAVAILABLE, operation,
                                  "a port name cannot hold a NUL character")
        self._check(self._call(lambda h: self._lib.torvek_att_connect(h, name)), operation)
        self.port = os.fsdecode(port)

    def disconnect(self) -> None:
        """Closes the port; harmless without one. The attenuator can connect again."""
        self._check(self._call(self._lib.torvek_att_disconnect), "disconnect")
        self.port = None

    def cancel(self) -> None:
        """Ends at once the wait of the call in progress on this attenuator, which then raises
        AttenuatorError "ReplyTimeout"; the attenuator stays usable. Does nothing when no call
        is in progress, and never reaches a later call. Meant for another thread: to stop a
        motion, ``cancel()``, then ``stop()``. Harmless after close."""
        with self._handle_lock:
            if self._handle:
                self._lib.torvek_att_cancel(self._handle)

    def close(self) -> None:
        """Closes the port and releases the attenuator for good. Harmless twice."""
        with self._lock:
            with self._handle_lock:
                handle, self._handle = self._handle, None
            if handle:
                self._lib.torvek_att_destroy(handle)
        self.port = None

    def __enter__(self) -> "Attenuator":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None):
                self.close()
        except Exception:  # at interpreter exit the library may be gone already
            pass

    def __repr__(self) -> str:
        state = f"on {self.port!r}" if self.port else "not connected"
        return f"<Attenuator {state}>"

    # Position.

    @property
    def position_deg(self) -> float:
        """The mount's angle in degrees. Setting it moves there (see :meth:`move_to`)."""
        return self.get_position_deg()

    @position_deg.setter
    def position_deg(self, degrees: float) -> None:
        self.move_to(degrees)

    @property
    def position_steps(self) -> int:
        """The mount's position in motor steps. Setting it moves there."""
        return self.get_position_steps()

    @position_steps.setter
    def position_steps(self, steps: int) -> None:
        self.move_to_steps(steps)

    def get_position_deg(self, *, timeout: Optional[float] = None) -> float:
        """Reads the mount's angle in degrees."""
        value = ctypes.c_float(math.nan)
        self._request(
            "position_deg",
            timeout,
            lambda h, t: self._lib.torvek_att_get_motor_degree(h, ctypes.byref(value), t),
        )
        return self._delivered(value.value, "position_deg", "a position")

    def get_position_steps(self, *, timeout: Optional[float] = None) -> int:
        """Reads the mount's position in motor steps."""
        # No device position is this far out: still there after Ok, nothing was delivered.
        value = ctypes.c_int32(_INT32_MIN)
        self._request(
            "position_steps",
            timeout,
            lambda h, t: self._lib.torvek_att_get_motor_steps(h, ctypes.byref(value), t),
        )
        if value.value == _INT32_MIN:
            raise AttenuatorError(UNEXPECTED_REPLY, "position_steps",
                                  "the device sent a status instead of a position")
        return value.value

    def move_to(self, degrees: float, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute angle, -360 < degrees < 360, truncated to whole motor steps."""
        value = float(degrees)
        self._request(
            f"move_to({degrees!r})",
            timeout,
            lambda h, t: self._lib.torvek_att_set_motor_degree(h, value, t),
        )

    def move_to_steps(self, steps: int, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute position in motor steps, -143360 <= steps <= 143360."""
        value = operator.index(steps)
        what = f"move_to_steps({steps!r})"
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise AttenuatorError(INVALID_ARGUMENT, what, "out of range")
        self._request(what, timeout,
                      lambda h, t: self._lib.torvek_att_set_motor_steps(h, value, t))

    # Transmittance.

    def transmittance(self, *, min_angle: float, span: float,
                      timeout: Optional[float] = None) -> float:
        """The transmittance (0 to 1) at the mount's angle, by the model
        T = sin^2(90 * (angle - min_angle) / span), angles in degrees: ``min_angle`` is where
        T = 0, ``span`` the rotation from T = 0 to T = 1 (not zero; min_angle > -360 and
        min_angle + span < 360).
        """
        value = ctypes.c_float(math.nan)
        low, width = float(min_angle), float(span)
        self._request(
            "transmittance",
            timeout,
            lambda h, t: self._lib.torvek_att_get_transmittance(h, ctypes.byref(value), low,
                                                                width, t),
        )
        return self._delivered(value.value, "transmittance", "a position")

    def set_transmittance(self, transmittance: float, *, min_angle: float, span: float,
                          timeout: Optional[float] = None) -> None:
        """Moves to the angle where the model (see :meth:`transmittance`) gives
        ``transmittance``, 0 to 1 inclusive."""
        value, low, width = float(transmittance), float(min_angle), float(span)
        self._request(
            f"set_transmittance({transmittance!r})",
            timeout,
            lambda h, t: self._lib.torvek_att_set_transmittance(h, value, low, width, t),
        )

    # Device commands.

    def status(self, *, timeout: Optional[float] = None) -> None:
        """Asks the device for its status: returns when it reports 0, otherwise raises
        AttenuatorError whose ``code`` is the device's status code (1 to 255)."""
        self._request("status", timeout, self._lib.torvek_att_get_current_status)

    def home(self, *, timeout: Optional[float] = None) -> None:
        """Homes the mount (mechanical calibration); returns when the device reports done."""
        self._request("home", timeout, self._lib.torvek_att_mechanical_calibration)

    def stop(self, *, timeout: Optional[float] = None) -> None:
        """Stops a motion. It cannot overtake a call still waiting for its reply."""
        self._request("stop", timeout, self._lib.torvek_att_stop)

    def optimize(self, *, timeout: Optional[float] = None) -> None:
        """Runs the device's motor optimisation."""
        self._request("optimize", timeout, self._lib.torvek_att_start_optimization)

    def clean(self, *, timeout: Optional[float] = None) -> None:
        """Runs the device's mechanics cleaning."""
        self._request("clean", timeout, self._lib.torvek_att_start_cleaning_mechanics)

    def info(self, *, timeout: Optional[float] = None) -> MotorInfo:
        """The device's identification and home offset (two requests, each waiting at most
        half the time-out)."""
        record = _library.MotorInfoRecord()
        self._request(
            "info",
            timeout,
            lambda h, t: self._lib.torvek_att_get_motor_info(h, ctypes.byref(record), t),
        )
        try:
            degrees = int(record.degrees_per_revolution_text)
            steps = int(record.pulses_per_revolution_text)
        except ValueError:
            # Ok without the record: the device answered the request with a status frame.
            raise AttenuatorError(UNEXPECTED_REPLY, "info",
                                  "the device sent a status instead of its identification")
        return MotorInfo(
            ident_a=_text(record.ident_a),
            ident_b=_text(record.ident_b),
            ident_c=_text(record.ident_c),
            ident_d=_text(record.ident_d),
            degrees_per_revolution=degrees,
            steps_per_revolution=steps,
            home_offset_deg=float(record.home_offset_text),
        )

    # Plumbing.

    def _timeout_ms(self, timeout: Optional[float], operation: str) -> int:
        seconds = self.timeout if timeout is None else float(timeout)
        if not (seconds >= 0.0 and math.isfinite(seconds)):
            raise AttenuatorError(INVALID_ARGUMENT, operation,
                                  f"time-out {timeout!r} is not a number of seconds >= 0")
        # Rounded to a nanosecond first: 2.007 * 1000 is 2007.0000000000002 in binary, which
        # must still wait 2007 ms, not 2008.
        return min(int(math.ceil(round(seconds * 1000.0, 6))), _INT32_MAX)

    def _call(self, function: Callable[..., int], *arguments: object) -> int:
        with self._lock:
            handle = self._handle
            if not handle:
                raise ValueError("the attenuator is closed")
            if threading.current_thread() is not threading.main_thread():
                return function(handle, *arguments)
            return self._interruptible(function, handle, arguments)

    def _interruptible(self, function: Callable[..., int], handle: int,
                       arguments: Tuple[object, ...]) -> int:
        # Python runs a signal handler only between its own instructions, never while the
        # main thread waits in C. So the main thread waits for a helper thread that makes the
        # call: that wait Ctrl-C does end, and the call is then cancelled before
        # KeyboardInterrupt goes on.
        outcome: List[Tuple[bool, object]] = []
        done = threading.Event()

        def run() -> None:
            try:
                outcome.append((True, function(handle, *arguments)))
            except BaseException as error:  # handed to the caller's thread
                outcome.append((False, error))
            finally:
                done.set()

        threading.Thread(target=run, name="torvek-attenuator-call", daemon=True).start()
        try:
            done.wait()
        except BaseException:
            self._lib.torvek_att_cancel(handle)
            while not done.is_set():
                try:
                    done.wait()
                except BaseException:  # another Ctrl-C: the cancelled call ends in moments
                    continue
            raise
        returned, value = outcome[0]
        if not returned:
            raise value  # type: ignore[misc]
        return value  # type: ignore[return-value]

    def _request(self, operation: str, timeout: Optional[float],
                 function: Callable[[int, int], int]) -> None:
        milliseconds = self._timeout_ms(timeout, operation)
        self._check(self._call(function, milliseconds), operation)

    @staticmethod
    def _check(result: int, operation: str, detail: str = "") -> None:
        if result != OK:
            raise AttenuatorError(result, operation, detail)

    @staticmethod
    def _delivered(value: float, operation: str, what: str) -> float:
        if math.isnan(value):
            raise AttenuatorError(UNEXPECTED_REPLY, operation,
                                  f"the device sent a status instead of {what}")
        return value
