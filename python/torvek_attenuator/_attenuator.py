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
from . import _model
from ._model import optical_density, transmittance_for_density
from ._status import (
    INTERNAL_ERROR,
    INVALID_ARGUMENT,
    NO_SUCH_PORT,
    NO_VALUE,
    OK,
    RANGE_DEGREES,
    RANGE_MODEL,
    RANGE_STEPS,
    RANGE_TRANSMITTANCE,
    UNEXPECTED_REPLY,
    AttenuatorError,
    invalid_argument,
)

#: The time-out of a call that is given none, in seconds.
DEFAULT_TIMEOUT = 5.0

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


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

    def connect(self, port: "str | os.PathLike[str]", *,
                attempts: Optional[int] = None) -> None:
        """Opens ``port`` ("/dev/ttyUSB0", "COM3", or a USB adapter's stable identity
        "usb:VID:PID[:SERIAL]") at 9600 8N1 and identifies the device.

        Takes about 0.2 s. The device must answer within 100 ms, a window a busy host misses
        now and then: up to ``attempts`` identifications are tried (by default CONNECT_ATTEMPTS,
        3, as attenuatorctl and the Tango server do). Raises AttenuatorError
        saying why not, with its hint: "NoSuchPort", "AccessDenied", "PortBusy",
        "AmbiguousPort" (the port could not be opened; an earlier connection then stays open),
        "NotASerialPort", "NoIdentification", "BadIdentification", "PortUnavailable" (no port
        is open then, though ``port`` still names the earlier one).
        """
        name = os.fsencode(port)
        operation = f"connect({os.fsdecode(port)!r})"
        if b"\0" in name:
            # The C interface would read the name only up to the NUL and open another port.
            raise AttenuatorError(NO_SUCH_PORT, operation,
                                  "a port name cannot hold a NUL character")
        tries = _model.CONNECT_ATTEMPTS if attempts is None else int(attempts)
        result = self._call(lambda h: self._lib.torvek_att_connect_with_attempts(h, name, tries))
        if result != OK:
            # What this machine adds: the ports there are, the group to join.
            advice = ctypes.create_string_buffer(4096)
            self._lib.torvek_att_port_advice(name, result, advice, len(advice))
            raise AttenuatorError(result, operation, advice.value.decode("utf-8", "replace"))
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

    def check_port(self) -> bool:
        """Whether the port is still there, looked at without sending anything or waiting: a
        light check to make now and then while nothing else is asked, so that an unplugged
        adapter is noticed at once. A port found gone is closed (reconnect to go on). True
        too while another thread's call holds the line: that call finds a vanished port
        itself."""
        # Not through the call lock: the library answers at once while a call holds the line.
        with self._handle_lock:
            if not self._handle:
                raise ValueError("the attenuator is closed")
            return self._lib.torvek_att_check_port(self._handle) == OK

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
        value = ctypes.c_float()
        self._request(
            "position_deg",
            timeout,
            lambda h, t: self._lib.torvek_att_get_motor_degree(h, ctypes.byref(value), t),
            "a position",
        )
        return value.value

    def get_position_steps(self, *, timeout: Optional[float] = None) -> int:
        """Reads the mount's position in motor steps."""
        value = ctypes.c_int32()
        self._request(
            "position_steps",
            timeout,
            lambda h, t: self._lib.torvek_att_get_motor_steps(h, ctypes.byref(value), t),
            "a position",
        )
        return value.value

    def move_to(self, degrees: float, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute angle, -360 < degrees < 360, truncated to whole motor steps."""
        value = float(degrees)
        self._request(
            f"move_to({degrees!r})",
            timeout,
            lambda h, t: self._lib.torvek_att_set_motor_degree(h, value, t),
            accepted=(RANGE_DEGREES,),
        )

    def move_to_steps(self, steps: int, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute position in motor steps, -143360 <= steps <= 143360."""
        value = operator.index(steps)
        what = f"move_to_steps({steps!r})"
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise invalid_argument(what, RANGE_STEPS)
        self._request(what, timeout,
                      lambda h, t: self._lib.torvek_att_set_motor_steps(h, value, t),
                      accepted=(RANGE_STEPS,))

    # Transmittance.

    def transmittance(self, *, min_angle: float, span: float,
                      timeout: Optional[float] = None) -> float:
        """The transmittance (0 to 1) at the mount's angle, by the model
        T = sin^2(90 * (angle - min_angle) / span), angles in degrees: ``min_angle`` is where
        T = 0, ``span`` the rotation from T = 0 to T = 1 (not zero; min_angle > -360 and
        min_angle + span < 360).
        """
        value = ctypes.c_float()
        low, width = float(min_angle), float(span)
        self._request(
            "transmittance",
            timeout,
            lambda h, t: self._lib.torvek_att_get_transmittance(h, ctypes.byref(value), low,
                                                                width, t),
            "a position",
            accepted=(RANGE_MODEL,),
        )
        return value.value

    def set_transmittance(self, transmittance: float, *, min_angle: float, span: float,
                          timeout: Optional[float] = None) -> None:
        """Moves to the angle where the model (see :meth:`transmittance`) gives
        ``transmittance``, 0 to 1 inclusive."""
        value, low, width = float(transmittance), float(min_angle), float(span)
        self._request(
            f"set_transmittance({transmittance!r})",
            timeout,
            lambda h, t: self._lib.torvek_att_set_transmittance(h, value, low, width, t),
            accepted=(RANGE_TRANSMITTANCE, RANGE_MODEL),
        )

    def optical_density(self, *, min_angle: float, span: float,
                        timeout: Optional[float] = None) -> float:
        """The optical density at the mount's angle, OD = -log10(T) of :meth:`transmittance`
        (the library's conversion); ``math.inf`` where the model's T is 0. In dB:
        ``10 * OD``, or :func:`attenuation_db` of the transmittance."""
        return optical_density(self.transmittance(min_angle=min_angle, span=span,
                                                  timeout=timeout))

    def set_optical_density(self, density: float, *, min_angle: float, span: float,
                            timeout: Optional[float] = None) -> None:
        """Moves to the transmittance 10^-OD by the model (see :meth:`transmittance`). The
        model reaches 0 up to :func:`density_limit` at the device's scale, and ``math.inf``
        (T = 0, the mount at min_angle); another density raises AttenuatorError
        "InvalidArgument" naming that range, before anything is sent."""
        operation = f"set_optical_density({density!r})"
        low, width = float(min_angle), float(span)
        degrees, steps = ctypes.c_int32(), ctypes.c_int32()
        with self._lock:  # the scale stays the connected device's until the move is sent
            self._check(self._call(self._lib.torvek_att_get_scale, ctypes.byref(degrees),
                                   ctypes.byref(steps)), operation)
            try:
                transmittance = transmittance_for_density(density, low, width, degrees.value,
                                                          steps.value)
            except AttenuatorError as err:
                raise AttenuatorError(err.code, operation, err.detail) from None
            self.set_transmittance(transmittance, min_angle=low, span=width, timeout=timeout)

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
        record = _library.IdentificationRecord()
        self._request(
            "info",
            timeout,
            lambda h, t: self._lib.torvek_att_get_identification(h, ctypes.byref(record), t),
            "its identification",
        )
        return MotorInfo(
            ident_a=_text(record.ident_a),
            ident_b=_text(record.ident_b),
            ident_c=_text(record.ident_c),
            ident_d=_text(record.ident_d),
            degrees_per_revolution=record.degrees_per_revolution,
            steps_per_revolution=record.steps_per_revolution,
            # To the microdegree, as the identification record's text gives it.
            home_offset_deg=round(record.home_offset_deg, 6),
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
                 function: Callable[[int, int], int], value: str = "",
                 accepted: Tuple[int, ...] = ()) -> None:
        """Makes the call; ``value`` names what it reads, ``accepted`` the quantities whose
        ranges an InvalidArgument names."""
        milliseconds = self._timeout_ms(timeout, operation)
        result = self._call(function, milliseconds)
        if result == NO_VALUE:
            # Ok by the device, yet no value: it answered with its status instead.
            raise AttenuatorError(UNEXPECTED_REPLY, operation,
                                  f"the device sent a status instead of {value}")
        if result == INVALID_ARGUMENT and accepted:
            raise invalid_argument(operation, *accepted)
        self._check(result, operation)

    @staticmethod
    def _check(result: int, operation: str, detail: str = "") -> None:
        if result != OK:
            raise AttenuatorError(result, operation, detail)
