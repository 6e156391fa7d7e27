"""The TorvekAttenuator Tango device: one attenuator on a serial port, shared by every client
of the control system.

Threads. Tango runs each client request on one of its own threads, one request at a time per
device (the device's monitor). Anything that may take longer than a client's time-out
(connecting, moves, homing, optimisation, cleaning) runs on the device's one worker thread
instead, so that the request returns at once and the state says MOVING until the device has
answered. The worker never waits for the monitor while it holds the serial line, and request
threads never wait for the worker's line while it moves: a read during a motion gives the
last known value, marked ATTR_CHANGING.

Init replaces everything that belongs to a connection (the Attenuator, the line's lock, the
worker and its queue) with a new ``_Session``; a worker left over from the old one finds its
session closed and publishes nothing more.
"""

from __future__ import annotations

import math
import os
import queue
import sys
import threading
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple, TypeVar

import tango
from tango import AttrQuality, AttrWriteType, DevState, DispLevel
from tango.server import Device, attribute, command, device_property, run

from torvek_attenuator import (
    INTERNAL_ERROR,
    INVALID_ARGUMENT,
    PORT_UNAVAILABLE,
    REPLY_TIMEOUT,
    UNEXPECTED_REPLY,
    Attenuator,
    AttenuatorError,
    MotorInfo,
)

from . import access

#: The server's name, whatever the launcher is called: instances are registered under it.
SERVER_NAME = "attenuator-tango"

MAX_DEGREES = 360.0
MAX_STEPS = 143360
#: The device must identify itself within 100 ms of the port opening, which a busy host
#: misses now and then; attenuatorctl tries as often.
CONNECT_ATTEMPTS = 3
#: How long a request made while the device connects waits for the connection to finish;
#: below a client's default time-out of 3 s.
CONNECT_WAIT_S = 2.5
#: How long Stop keeps cancelling until the motion's call has returned (it returns at once).
CANCEL_WAIT_S = 1.0

# The library's transmittance model, T = sin^2(90 deg * (angle - min_angle) / span), with its
# own constant for pi, so that a transmittance derived here from a position read equals the
# one the library would compute from the same read.
_MODEL_PI = 3.14159265359
_MODEL_HALF_PI = 1.57079632679
_MIN_SPAN = 1e-9

_T = TypeVar("_T")


def _float32(value: float) -> float:
    """The value as the library's C float holds it."""
    import ctypes

    return ctypes.c_float(value).value


@dataclass(frozen=True)
class Settings:
    """The device properties, checked."""

    port: str
    timeout_ms: int
    motion_timeout_ms: int
    min_angle: float
    span: float

    @property
    def timeout_s(self) -> float:
        return self.timeout_ms / 1000.0

    @property
    def motion_timeout_s(self) -> float:
        return self.motion_timeout_ms / 1000.0


def check_settings(port: Optional[str], timeout_ms: Optional[int],
                   motion_timeout_ms: Optional[int], min_angle: Optional[float],
                   span: Optional[float]) -> Tuple[Optional[Settings], str]:
    """The settings, or None and what is wrong with the properties, in words."""
    if not port or not port.strip():
        return None, ("property Port is not set: give the device its serial port (with a "
                      "database: tango_admin --add-property DEVICE Port /dev/ttyUSB0; in a "
                      "device file: DEVICE->Port: /dev/ttyUSB0), then run Init")
    for name, value in (("TimeoutMs", timeout_ms), ("MotionTimeoutMs", motion_timeout_ms)):
        if value is None or value <= 0:
            return None, f"property {name} = {value} refused: it must be a number of " \
                          "milliseconds above 0; fix it, then run Init"
    low = 0.0 if min_angle is None else float(min_angle)
    width = 90.0 if span is None else float(span)
    if not (math.isfinite(low) and math.isfinite(width) and abs(width) >= _MIN_SPAN
            and low > -MAX_DEGREES and low + width < MAX_DEGREES):
        return None, (f"properties MinAngle = {low:g}, AngleSpan = {width:g} refused: the "
                      "transmittance model needs MinAngle > -360, MinAngle + AngleSpan < 360 "
                      "and an AngleSpan other than 0; fix them, then run Init")
    return Settings(port.strip(), int(timeout_ms), int(motion_timeout_ms), low, width), ""


def transmittance_at(degrees: float, min_angle: float, span: float) -> float:
    """The model's transmittance at an angle, as the library computes it."""
    k = _MODEL_PI / span
    return _float32(0.5 * math.sin(k * (degrees - min_angle) - _MODEL_HALF_PI) + 0.5)


def explain(error: AttenuatorError, what: str, settings: Settings) -> str:
    """A description of a failed call that tells a person what to do about it."""
    head = f"{what}: {error.name} ({error.code})"
    if error.code == REPLY_TIMEOUT:
        return (f"{head}: no reply from the attenuator on {settings.port} in time; check that "
                "it is powered and cabled, or raise TimeoutMs / MotionTimeoutMs")
    if error.code == UNEXPECTED_REPLY:
        return (f"{head}: the attenuator's answer was not the expected reply (noise on the "
                f"line, another program on {settings.port}, or the line hung up); try again, "
                "and run Init if it persists")
    if error.code == PORT_UNAVAILABLE:
        return (f"{head}: the port {settings.port} is gone or takes no bytes (adapter "
                "unplugged?); plug it in, then run Init")
    if error.code == INVALID_ARGUMENT:
        return f"{head}: the value is outside what the attenuator accepts; nothing was sent"
    if error.code > 0:
        return (f"{head}: the attenuator reported status code {error.code}; see "
                "DeviceStatusCode, then Home the mount or run Init")
    return f"{head}: {error}"


def throw(reason: str, description: str, origin: str) -> None:
    tango.Except.throw_exception(reason, description, f"TorvekAttenuator.{origin}")


class _Session:
    """What one connection owns: the Attenuator, the lock that gives the serial line to one
    caller at a time, and the worker thread with its queue of jobs."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.att: Optional[Attenuator] = None
        self.line = threading.Lock()
        self.closed = False
        #: Set once connecting is over, whatever came of it.
        self.connected = threading.Event()
        #: Set when a motion's call has returned; Stop waits for it. Set and tested under
        #: cancel_lock, so that Stop's cancel can reach the motion's call and nothing after it.
        self.call_returned = threading.Event()
        self.cancel_lock = threading.Lock()
        self.stop_requested = False
        self._jobs: "queue.Queue[Optional[Callable[[], None]]]" = queue.Queue()
        self._thread = threading.Thread(target=self._run, name="attenuator-worker",
                                        daemon=True)
        self._thread.start()

    def submit(self, job: Callable[[], None]) -> None:
        self._jobs.put(job)

    def _run(self) -> None:
        # Events pushed from a thread Tango did not start need an omniORB identity.
        with tango.EnsureOmniThread():
            while True:
                job = self._jobs.get()
                if job is None or self.closed:
                    return
                try:
                    job()
                except Exception as err:  # a bug must not end the worker silently
                    print(f"attenuator-tango: worker job failed: {err!r}", file=sys.stderr)

    def close(self) -> None:
        """Ends the call in progress, the worker and the connection. Called by the device's
        request thread; waits only for the line, which a cancelled call frees at once."""
        self.closed = True
        self._jobs.put(None)
        att = self.att
        if att is not None:
            att.cancel()
        with self.line:
            if self.att is not None:
                self.att.close()


class TorvekAttenuator(Device):
    """A motorised optical attenuator: a rotation mount whose transmittance follows
    sin^2 of its angle, on a serial line.

    Writing Position, Steps or Transmittance, and the commands Home, StartOptimization and
    StartCleaning, start a motion and return at once; the state is MOVING until the device
    answers, then ON (ALARM when it answered with a status code, FAULT when the line failed).
    Stop ends a motion. Init reconnects.
    """

    # Properties.

    Port = device_property(
        dtype=str, mandatory=True,
        doc="Serial port of the attenuator: /dev/ttyUSB0, /dev/serial/by-id/...")
    TimeoutMs = device_property(
        dtype=int, default_value=2000,
        doc="Longest wait in ms for the reply to a query (keep it below the clients' "
            "time-out, 3000 ms by default)")
    MotionTimeoutMs = device_property(
        dtype=int, default_value=60000,
        doc="Longest wait in ms for the end of a move, homing, optimisation or cleaning")
    MinAngle = device_property(
        dtype=float, default_value=0.0,
        doc="Transmittance model: the angle in degrees where the transmittance is 0")
    AngleSpan = device_property(
        dtype=float, default_value=90.0,
        doc="Transmittance model: the rotation in degrees from transmittance 0 to 1")

    # Attributes.

    Position = attribute(
        dtype=float, access=AttrWriteType.READ_WRITE, label="Position", unit="deg",
        standard_unit=1.0, display_unit=1.0, format="%9.4f",
        min_value=-MAX_DEGREES, max_value=MAX_DEGREES,
        doc="Mount angle in degrees; writing starts a move (-360 < angle < 360)")
    Steps = attribute(
        dtype=tango.DevLong, access=AttrWriteType.READ_WRITE, label="Steps", unit="steps",
        format="%7d", min_value=-MAX_STEPS, max_value=MAX_STEPS,
        doc="Mount position in motor steps; writing starts a move")
    Transmittance = attribute(
        dtype=float, access=AttrWriteType.READ_WRITE, label="Transmittance", unit="",
        format="%6.4f", min_value=0.0, max_value=1.0,
        doc="Transmittance 0 to 1 by the model of MinAngle and AngleSpan; writing moves "
            "to the angle that gives it")
    DeviceStatusCode = attribute(
        dtype=tango.DevLong, label="Device status code", format="%3d",
        min_value=0, max_value=255,
        doc="The status code the device reports: 0 is fine, 1 to 255 its own fault codes")
    HomeOffset = attribute(
        dtype=float, label="Home offset", unit="deg", format="%10.6f",
        doc="The device's home offset in degrees, read when it connected")
    DegreesPerRevolution = attribute(
        dtype=tango.DevLong, label="Degrees per revolution", unit="deg", format="%d",
        display_level=DispLevel.EXPERT, doc="The device's scale, from its identification")
    StepsPerRevolution = attribute(
        dtype=tango.DevLong, label="Steps per revolution", unit="steps", format="%d",
        display_level=DispLevel.EXPERT, doc="The device's scale, from its identification")
    IdentA = attribute(dtype=str, label="Identification A", display_level=DispLevel.EXPERT,
                       doc="First identification field (8 characters, as the device sent it)")
    IdentB = attribute(dtype=str, label="Identification B", display_level=DispLevel.EXPERT,
                       doc="Second identification field (4 characters)")
    IdentC = attribute(dtype=str, label="Identification C", display_level=DispLevel.EXPERT,
                       doc="Third identification field (2 characters)")
    IdentD = attribute(dtype=str, label="Identification D", display_level=DispLevel.EXPERT,
                       doc="Fourth identification field (2 characters)")

    _EVENTS = ("State", "Position", "Steps", "Transmittance")

    # Life cycle.

    def init_device(self) -> None:
        self._guard = threading.Lock()  # the fields below; held briefly, never while waiting
        self._session: Optional[_Session] = None
        self._state = DevState.INIT
        self._text = "connecting"
        self._fault_reason = "PortUnavailable"
        self._steps: Optional[int] = None
        self._info: Optional[MotorInfo] = None
        self._status_code = 0
        self._sample: Optional[int] = None
        try:
            super().init_device()
            problem = ""
        except Exception as err:  # a mandatory property is missing
            problem = str(err)
        for name in self._EVENTS:
            self.set_change_event(name, True, False)
        settings, text = check_settings(self.Port, self.TimeoutMs, self.MotionTimeoutMs,
                                        self.MinAngle, self.AngleSpan)
        if settings is None:
            reason = "PortUnavailable" if "Port" in (problem or text) else "InvalidArgument"
            self._change(DevState.FAULT, text, reason)
            return
        self._change(DevState.INIT, f"connecting to the attenuator on {settings.port}")
        session = _Session(settings)
        self._session = session
        session.submit(lambda: self._connect(session))

    def delete_device(self) -> None:
        session, self._session = self._session, None
        if session is None:
            return
        try:
            session.close()
        except Exception as err:  # Init and the server's shutdown must go on regardless
            print(f"attenuator-tango: closing the connection failed: {err!r}", file=sys.stderr)

    def dev_state(self) -> DevState:
        with self._guard:
            return self._state

    def dev_status(self) -> str:
        with self._guard:
            return self._text

    def read_attr_hardware(self, attr_list: List[int]) -> None:
        # Position, Steps and Transmittance read in one request share one position read.
        self._sample = None

    # State, under the guard; pushes are separate.

    def _change(self, state: DevState, text: str, fault_reason: str = "") -> None:
        with self._guard:
            self._state = state
            self._text = text
            if fault_reason:
                self._fault_reason = fault_reason
        self.set_state(state)

    def _push_state(self) -> None:
        with self._guard:
            state = self._state
        self.push_change_event("State", state)

    def _push_positions(self, quality: AttrQuality = AttrQuality.ATTR_VALID) -> None:
        with self._guard:
            steps, info = self._steps, self._info
        now = time.time()
        if steps is None or info is None:
            quality = AttrQuality.ATTR_INVALID
            steps, degrees, transmittance = 0, 0.0, 0.0
        else:
            degrees = self._degrees(steps, info)
            transmittance = self._transmittance(degrees)
        self.push_change_event("Position", degrees, now, quality)
        self.push_change_event("Steps", steps, now, quality)
        self.push_change_event("Transmittance", transmittance, now, quality)

    def _publish(self, session: _Session) -> None:
        """From the worker, once connecting or a motion is over: pushes the current state and
        position under the device's monitor, unless Init has replaced the session meanwhile,
        and makes the set points the position reached, which is where a panel's write field
        should start."""
        with tango.AutoTangoMonitor(self):
            if session is not self._session:
                return
            self._push_state()
            self._push_positions()
            with self._guard:
                steps, info = self._steps, self._info
            if steps is not None and info is not None:
                degrees = self._degrees(steps, info)
                attributes = self.get_device_attr()
                attributes.get_w_attr_by_name("Position").set_write_value(degrees)
                attributes.get_w_attr_by_name("Steps").set_write_value(steps)
                attributes.get_w_attr_by_name("Transmittance").set_write_value(
                    self._transmittance(degrees))

    @staticmethod
    def _degrees(steps: int, info: MotorInfo) -> float:
        # As the library converts: steps / (steps per degree), held in a C float.
        per_degree = info.steps_per_revolution / info.degrees_per_revolution
        return _float32(steps / per_degree)

    def _transmittance(self, degrees: float) -> float:
        settings = self._session.settings if self._session else None
        if settings is None:
            return math.nan
        return transmittance_at(degrees, settings.min_angle, settings.span)

    # The worker's jobs.

    def _connect(self, session: _Session) -> None:
        settings = session.settings
        text, reason = "", ""
        info: Optional[MotorInfo] = None
        steps: Optional[int] = None
        stage = "connect"
        with session.line:
            if session.closed:
                return
            try:
                att = Attenuator(timeout=settings.timeout_s)
                session.att = att
                for attempt in range(CONNECT_ATTEMPTS):
                    try:
                        att.connect(settings.port)
                        break
                    except AttenuatorError:
                        if attempt + 1 == CONNECT_ATTEMPTS or session.closed:
                            raise
                stage = "identification"
                info = att.info()
                stage = "position read"
                steps = att.get_position_steps()
            except AttenuatorError as err:
                reason = err.name
                if info is None and err.operation.startswith("connect"):
                    text = self._connect_problem(settings.port)
                else:
                    text = f"{stage} failed after connecting: " + explain(err, stage, settings)
            except Exception as err:  # the library could not load, a system object refused
                reason, text = "InternalError", f"cannot connect: {err}"
        with self._guard:
            if session is not self._session:
                return
            self._info, self._steps = info, steps
        if text:
            self._change(DevState.FAULT, text + " (then run Init)" if "Init" not in text
                         else text, reason)
        else:
            assert info is not None
            self._change(DevState.ON, self._ready_text(settings))
        session.connected.set()
        self._publish(session)

    @staticmethod
    def _connect_problem(port: str) -> str:
        if not os.path.exists(port):
            return (f"port {port} does not exist: the adapter is unplugged or the Port "
                    "property is wrong; plug it in or fix Port, then run Init")
        if not os.access(port, os.R_OK | os.W_OK):
            return (f"permission denied on {port}: add the server's user to the port's group "
                    "(usually dialout), then run Init")
        return (f"no attenuator identified itself on {port} ({CONNECT_ATTEMPTS} attempts): "
                "check that it is powered and cabled to this port, then run Init")

    def _ready_text(self, settings: Settings, after: str = "") -> str:
        with self._guard:
            steps, info = self._steps, self._info
        where = ""
        if steps is not None and info is not None:
            where = f" at {self._degrees(steps, info):.4f} deg ({steps} steps)"
        done = f"{after} done; " if after else ""
        return f"{done}the attenuator on {settings.port} is ready{where}"

    def _run_motion(self, session: _Session, what: str,
                    call: Callable[[Attenuator, float], None]) -> None:
        settings = session.settings
        failure: Optional[AttenuatorError] = None
        steps: Optional[int] = None
        with session.line:
            if session.closed:
                return
            att = session.att
            assert att is not None
            try:
                if not session.stop_requested:
                    call(att, settings.motion_timeout_s)
            except AttenuatorError as err:
                failure = err
            except Exception as err:  # never leave the state at MOVING
                failure = AttenuatorError(INTERNAL_ERROR, what, repr(err))
            with session.cancel_lock:
                session.call_returned.set()
            if session.stop_requested and (failure is None or failure.code == REPLY_TIMEOUT):
                what = f"{what}, stopped"
                failure = self._stop_after_motion(att, settings)
            if failure is None or failure.code > 0:
                try:
                    steps = self._read_after_stop(att) if session.stop_requested \
                        else att.get_position_steps()
                except AttenuatorError as err:
                    failure = failure or err
        with self._guard:
            if session is not self._session:
                return
            if steps is not None:
                self._steps = steps
        if failure is None:
            with self._guard:
                self._status_code = 0  # the device answered the motion as it should
            self._change(DevState.ON, self._ready_text(settings, what))
        elif failure.code > 0:
            with self._guard:
                self._status_code = failure.code
            self._change(DevState.ALARM, explain(failure, what, settings))
        else:
            self._change(DevState.FAULT, explain(failure, what, settings), failure.name)
        self._publish(session)

    @staticmethod
    def _stop_after_motion(att: Attenuator, settings: Settings) -> Optional[AttenuatorError]:
        """Sends the device's stop once the motion's wait has been cancelled. A device that
        finishes its motion before it takes the stop answers with the motion's position
        first: that reply arrives where the stop's is expected (UnexpectedReply), and the
        stop's own follows; either way the mount is at rest."""
        try:
            att.stop(timeout=settings.motion_timeout_s)
        except AttenuatorError as err:
            if err.code != UNEXPECTED_REPLY:
                return err
        return None

    @staticmethod
    def _read_after_stop(att: Attenuator) -> int:
        # The stop's own reply may still be on its way and land in this read once.
        try:
            return att.get_position_steps()
        except AttenuatorError as err:
            if err.code != UNEXPECTED_REPLY:
                raise
            return att.get_position_steps()

    # Requests: reads and the start of motions, on Tango's threads.

    def _ready(self, what: str, moving_ok: bool = False) -> _Session:
        """The session, connected; otherwise DevFailed saying why not."""
        session = self._session
        if session is not None and not session.connected.is_set():
            session.connected.wait(CONNECT_WAIT_S)
        with self._guard:
            state, text, reason = self._state, self._text, self._fault_reason
        if state == DevState.FAULT or session is None:
            throw(reason, f"{what} refused: the device is in FAULT: {text}", what)
        if state == DevState.INIT:
            throw("Connecting", f"{what} refused: still connecting to {session.settings.port}; "
                  "wait for state ON", what)
        if state == DevState.MOVING and not moving_ok:
            throw("Moving", f"{what} refused: a motion is in progress ({text}); wait for "
                  "state ON, or send Stop", what)
        return session

    def _query(self, what: str, call: Callable[[Attenuator, float], _T]) -> _T:
        """Runs a query on the line with TimeoutMs; a line gone puts the device in FAULT."""
        session = self._ready(what)
        settings = session.settings
        if not session.line.acquire(timeout=settings.timeout_s + 1.0):
            throw("ReplyTimeout", f"{what}: the serial line stayed busy", what)
        try:
            assert session.att is not None
            return call(session.att, settings.timeout_s)
        except AttenuatorError as err:
            text = explain(err, what, settings)
            if err.code == PORT_UNAVAILABLE:
                self._change(DevState.FAULT, text, err.name)
                self._push_state()
            throw(err.name, text, what)
            raise  # not reached: throw raises
        finally:
            session.line.release()

    def _position_sample(self) -> Tuple[int, MotorInfo, AttrQuality]:
        """The position in steps for this request (one read shared by Position, Steps and
        Transmittance), and its quality; during a motion the last known position."""
        with self._guard:
            state, steps, info = self._state, self._steps, self._info
        if state == DevState.MOVING and steps is not None and info is not None:
            return steps, info, AttrQuality.ATTR_CHANGING
        if self._sample is None:
            read = self._query("read Position",
                               lambda att, t: att.get_position_steps(timeout=t))
            with self._guard:
                changed, self._steps = read != self._steps, read
                info = self._info
            self._sample = read
            if changed:
                self._push_positions()
        assert info is not None
        return self._sample, info, AttrQuality.ATTR_VALID

    def _start_motion(self, what: str, call: Callable[[Attenuator, float], None]) -> None:
        session = self._ready(what)
        session.stop_requested = False
        session.call_returned.clear()
        self._change(DevState.MOVING, f"{what} in progress (Stop ends it)")
        self._push_state()
        self._push_positions(AttrQuality.ATTR_CHANGING)
        session.submit(lambda: self._run_motion(session, what, call))

    def _info_value(self, what: str) -> MotorInfo:
        self._ready(what, moving_ok=True)
        with self._guard:
            info = self._info
        if info is None:
            throw("PortUnavailable", f"{what}: the device has not identified itself", what)
        assert info is not None
        return info

    # Attribute methods.

    def read_Position(self) -> Tuple[float, float, AttrQuality]:
        steps, info, quality = self._position_sample()
        return self._degrees(steps, info), time.time(), quality

    def write_Position(self, value: float) -> None:
        degrees = float(value)
        if not (-MAX_DEGREES < degrees < MAX_DEGREES):
            throw("InvalidArgument", f"Position {degrees!r} refused: the mount takes "
                  "-360 < degrees < 360; nothing was sent", "write Position")
        self._start_motion(f"move to {degrees:g} deg",
                           lambda att, t: att.move_to(degrees, timeout=t))

    def read_Steps(self) -> Tuple[int, float, AttrQuality]:
        steps, _, quality = self._position_sample()
        return steps, time.time(), quality

    def write_Steps(self, value: int) -> None:
        steps = int(value)
        if not -MAX_STEPS <= steps <= MAX_STEPS:
            throw("InvalidArgument", f"Steps {steps} refused: the mount takes "
                  f"-{MAX_STEPS} to {MAX_STEPS} steps; nothing was sent", "write Steps")
        self._start_motion(f"move to {steps} steps",
                           lambda att, t: att.move_to_steps(steps, timeout=t))

    def read_Transmittance(self) -> Tuple[float, float, AttrQuality]:
        steps, info, quality = self._position_sample()
        return self._transmittance(self._degrees(steps, info)), time.time(), quality

    def write_Transmittance(self, value: float) -> None:
        wanted = float(value)
        if not 0.0 <= wanted <= 1.0:
            throw("InvalidArgument", f"Transmittance {wanted!r} refused: it is a fraction "
                  "from 0 to 1; nothing was sent", "write Transmittance")
        session = self._ready("write Transmittance")
        low, width = session.settings.min_angle, session.settings.span
        self._start_motion(
            f"move to transmittance {wanted:g}",
            lambda att, t: att.set_transmittance(wanted, min_angle=low, span=width, timeout=t))

    def read_DeviceStatusCode(self) -> Tuple[int, float, AttrQuality]:
        with self._guard:
            state, code = self._state, self._status_code
        if state == DevState.MOVING:
            return code, time.time(), AttrQuality.ATTR_CHANGING

        def ask(att: Attenuator, timeout: float) -> int:
            try:
                att.status(timeout=timeout)
                return 0
            except AttenuatorError as err:
                if err.code > 0:
                    return err.code
                raise

        code = self._query("read DeviceStatusCode", ask)
        with self._guard:
            self._status_code = code
            state = self._state
            settings = self._session.settings if self._session else None
        if settings is not None and code != 0 and state == DevState.ON:
            self._change(DevState.ALARM, f"the attenuator reports status code {code}; Home "
                         "the mount or run Init")
            self._push_state()
        elif settings is not None and code == 0 and state == DevState.ALARM:
            self._change(DevState.ON, self._ready_text(settings))
            self._push_state()
        return code, time.time(), AttrQuality.ATTR_VALID

    def read_HomeOffset(self) -> float:
        return self._info_value("read HomeOffset").home_offset_deg

    def read_DegreesPerRevolution(self) -> int:
        return self._info_value("read DegreesPerRevolution").degrees_per_revolution

    def read_StepsPerRevolution(self) -> int:
        return self._info_value("read StepsPerRevolution").steps_per_revolution

    def read_IdentA(self) -> str:
        return self._info_value("read IdentA").ident_a

    def read_IdentB(self) -> str:
        return self._info_value("read IdentB").ident_b

    def read_IdentC(self) -> str:
        return self._info_value("read IdentC").ident_c

    def read_IdentD(self) -> str:
        return self._info_value("read IdentD").ident_d

    # Commands.

    @command(doc_in="Homes the mount (mechanical calibration); returns at once, state MOVING "
                    "until the device reports it done")
    def Home(self) -> None:
        self._start_motion("homing", lambda att, t: att.home(timeout=t))

    @command(doc_in="Runs the device's motor optimisation; returns at once, state MOVING "
                    "until it is over")
    def StartOptimization(self) -> None:
        self._start_motion("optimisation", lambda att, t: att.optimize(timeout=t))

    @command(doc_in="Runs the device's mechanics cleaning; returns at once, state MOVING "
                    "until it is over")
    def StartCleaning(self) -> None:
        self._start_motion("cleaning", lambda att, t: att.clean(timeout=t))

    @command(doc_in="Stops the mount. During a motion: ends its wait at once and sends the "
                    "device's stop; state MOVING until the device confirms, then ON")
    def Stop(self) -> None:
        with self._guard:
            moving = self._state == DevState.MOVING
        if not moving:
            self._query("Stop", lambda att, t: att.stop(timeout=t))
            return
        session = self._session
        assert session is not None and session.att is not None
        session.stop_requested = True
        # A cancel that comes before the motion's call has begun does not reach it: keep
        # cancelling until the call has returned (a cancelled call returns at once). Once it
        # has, the worker is sending the device's stop, which a second Stop must not cancel.
        deadline = time.monotonic() + CANCEL_WAIT_S
        while True:
            with session.cancel_lock:
                if session.call_returned.is_set():
                    return
                session.att.cancel()
            if time.monotonic() > deadline:
                return
            session.call_returned.wait(0.02)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the server: ``attenuator-tango INSTANCE [-file=PATH] [-ORBendPoint ...]``."""
    args = list(sys.argv if argv is None else argv)
    args[0] = SERVER_NAME
    run((TorvekAttenuator,), args=args,
        post_init_callback=(access.declare_at_start, (TorvekAttenuator.__name__,)))
    return 0
