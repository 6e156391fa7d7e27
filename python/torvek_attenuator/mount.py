"""The mount as a device: one attenuator that any number of threads and front-ends share.

    from torvek_attenuator import Mount

    with Mount("/dev/ttyUSB0", min_angle=10.0, span=90.0) as mount:
        mount.subscribe(print)                   # a MountSnapshot at every change
        mount.connect().result(timeout=5)
        motion = mount.set_transmittance(0.25)   # returns at once
        motion.result(timeout=60)                # the snapshot at the end; cancel() stops

The device answers a motion only when it ends, and holds the line until then. So a Mount runs
connecting and motions on one worker thread of its own and answers everyone else at once from
what it knows: the position before the motion, its target, that it moves. Queries at rest
(the position, the status code, a stop) run on the caller's thread, bounded by ``timeout``.
While no call runs, the worker looks at the port every half second without using the line;
a port that went away puts the mount in FAULT, and it connects again by itself once the port
is back. Motions return a :class:`Motion`, a ``concurrent.futures.Future`` that
``asyncio.wrap_future`` takes; cancelling it stops the mount.
"""

from __future__ import annotations

import ctypes
import dataclasses
import enum
import logging
import math
import operator
import os
import queue
import threading
import time
from concurrent.futures import Future, InvalidStateError
from typing import Callable, List, Optional, Tuple, TypeVar

from ._attenuator import (INTERNAL_ERROR, INVALID_ARGUMENT, PORT_UNAVAILABLE, REPLY_TIMEOUT,
                          UNEXPECTED_REPLY, Attenuator, AttenuatorError, MotorInfo, status_name)

#: The device must identify itself within 100 ms of the port opening, which a busy host
#: misses now and then; attenuatorctl tries as often.
CONNECT_ATTEMPTS = 3
#: How often the worker looks at the port while no call runs, in seconds.
WATCH_INTERVAL_S = 0.5
#: The least time between two attempts to connect again to a port that went away.
RECONNECT_INTERVAL_S = 1.0
#: How long a stop keeps cancelling until the motion's call has returned (it returns at once).
CANCEL_WAIT_S = 1.0

_log = logging.getLogger(__name__)
_T = TypeVar("_T")

# The library's rules: the model, the scale, the bounds of a move, connecting and what to do
# about a failed call. Everything the mount takes from them is in this block, so that one edit
# puts the library's own functions in its place.

MAX_DEGREES = 360.0
MAX_STEPS = 143360
_MODEL_PI = 3.14159265359
_MODEL_HALF_PI = 1.57079632679
_MIN_SPAN = 1e-9


def _float32(value: float) -> float:
    return ctypes.c_float(value).value


def _check_model(min_angle: float, span: float) -> None:
    if not (math.isfinite(min_angle) and math.isfinite(span) and abs(span) >= _MIN_SPAN
            and min_angle > -MAX_DEGREES and min_angle + span < MAX_DEGREES):
        raise AttenuatorError(INVALID_ARGUMENT, "check_model")


def _transmittance_at(angle: float, min_angle: float, span: float) -> float:
    k = _MODEL_PI / span
    return _float32(0.5 * math.sin(k * (_float32(angle) - min_angle) - _MODEL_HALF_PI) + 0.5)


def _angle_for(transmittance: float, min_angle: float, span: float) -> float:
    u = (_float32(transmittance) - 0.5) / 0.5
    return _float32(span / _MODEL_PI * (math.asin(u) + _MODEL_HALF_PI) + min_angle)


def _steps_to_degrees(steps: int, degrees_per_revolution: int, steps_per_revolution: int) -> float:
    return _float32(steps / (steps_per_revolution / degrees_per_revolution))


def _degrees_to_steps(degrees: float, degrees_per_revolution: int,
                      steps_per_revolution: int) -> int:
    return math.trunc(degrees * (steps_per_revolution / degrees_per_revolution))


def _connect(att: Attenuator, port: str, attempts: int) -> None:
    for attempt in range(attempts):
        try:
            att.connect(port)
            return
        except AttenuatorError:
            if attempt + 1 == attempts:
                raise


def _port_node(port: str) -> Optional[str]:
    """The file whose presence tells whether the port is there; None for a name the system
    resolves itself (COM3, a usb:VID:PID identity)."""
    return port if os.name == "posix" and "/" in port else None


def _hint(error: AttenuatorError, port: str, attempts: int = CONNECT_ATTEMPTS) -> str:
    if error.operation.startswith("connect"):
        node = _port_node(port)
        if node is not None and not os.path.exists(node):
            return (f"port {port} does not exist: the adapter is unplugged or the port name is "
                    "wrong; plug it in or fix the name")
        if node is not None and not os.access(node, os.R_OK | os.W_OK):
            return (f"permission denied on {port}: add this program's user to the port's group "
                    "(usually dialout)")
        tries = f"{attempts} attempts" if attempts > 1 else "one attempt"
        return (f"no attenuator identified itself on {port} ({tries}): check that it is "
                "powered and cabled to this port")
    if error.code == REPLY_TIMEOUT:
        return (f"no reply from the attenuator on {port} in time; check that it is powered and "
                "cabled, or allow it more time")
    if error.code == UNEXPECTED_REPLY:
        return (f"the attenuator's answer was not the expected reply (noise on the line, "
                f"another program on {port}, or the line hung up); try again, and connect "
                "again if it persists")
    if error.code == PORT_UNAVAILABLE:
        return f"the port {port} is gone or takes no bytes (adapter unplugged?); plug it in"
    if error.code == INVALID_ARGUMENT:
        return "the value is outside what the attenuator accepts; nothing was sent"
    if error.code > 0:
        return f"the attenuator reported status code {error.code}; home the mount"
    return str(error)


# End of the library's rules.


class MountState(enum.Enum):
    """What the mount is doing; the names are those of Tango's states."""

    INIT = "connecting"
    ON = "ready"
    MOVING = "a motion runs"
    ALARM = "the device reported a status code"
    FAULT = "the line or the port failed"


@dataclasses.dataclass(frozen=True)
class MountSnapshot:
    """What the mount knows at one moment. ``steps`` is the last position read (during a
    motion, where it started), ``degrees`` and ``transmittance`` follow from it (the latter by
    the mount's model); ``start`` and ``target`` (steps, None when unknown) describe the motion
    under way. In FAULT and ALARM, ``reason`` names the failure ("PortUnavailable",
    "DeviceStatus", ...) and ``hint`` says what to do about it."""

    state: MountState
    status: str
    port: str
    steps: Optional[int] = None
    degrees: Optional[float] = None
    transmittance: Optional[float] = None
    moving: bool = False
    motion: str = ""
    start: Optional[int] = None
    target: Optional[int] = None
    status_code: int = 0
    info: Optional[MotorInfo] = None
    reason: str = ""
    hint: str = ""


class MountError(Exception):
    """A request the mount refused or a call that failed. ``reason`` is the library's status
    name ("ReplyTimeout", "InvalidArgument", ...) or the mount's own ("Moving", "Connecting",
    "Closed"); ``code`` the library's status code (None for the mount's own reasons); ``hint``
    what to do."""

    def __init__(self, reason: str, text: str, code: Optional[int] = None,
                 hint: str = "") -> None:
        super().__init__(text)
        self.reason, self.text, self.code, self.hint = reason, text, code, hint


class Motion(Future):  # type: ignore[type-arg]
    """A motion started through a Mount: its result is the snapshot at the end, its exception
    a MountError (DeviceStatus, a line failure, Closed). ``cancel()`` stops the mount, as
    :meth:`Mount.stop` does; the future is cancelled at once, the stop goes on. Until the end
    it counts as running and can be cancelled."""

    def __init__(self, mount: "Mount", what: str) -> None:
        super().__init__()
        self._mount = mount
        self.what = what

    def running(self) -> bool:
        return not self.done()

    def cancel(self) -> bool:
        if not super().cancel():
            return False
        self._mount._stop_motion(self)
        return True


def _resolve(future: Optional[Future], result: object = None,
             error: Optional[BaseException] = None) -> None:
    if future is None:
        return
    try:
        if error is not None:
            future.set_exception(error)
        else:
            future.set_result(result)
    except InvalidStateError:  # cancelled, or closed, meanwhile
        pass


def _done(result: object) -> Future:
    future: Future = Future()
    future.set_result(result)
    return future


_Item = Tuple[int, MountSnapshot]


class Mount:
    """One attenuator shared by threads and front-ends; see the module's description.

    ``timeout`` bounds a query's wait for its reply, ``motion_timeout`` the wait for the end of
    a motion (seconds); ``min_angle`` and ``span`` are the transmittance model (degrees). A
    request made while the mount connects waits up to ``connect_wait`` seconds for it. Nothing
    goes on the line before :meth:`connect`.
    """

    def __init__(self, port: str, *, timeout: float = 2.0, motion_timeout: float = 60.0,
                 min_angle: float = 0.0, span: float = 90.0, connect_wait: float = 2.5) -> None:
        for name, value in (("timeout", timeout), ("motion_timeout", motion_timeout),
                            ("connect_wait", connect_wait)):
            if not (math.isfinite(value) and value > 0):
                raise MountError("InvalidArgument", f"{name} = {value!r} refused: a number of "
                                 "seconds above 0", INVALID_ARGUMENT)
        try:
            _check_model(float(min_angle), float(span))
        except AttenuatorError as err:
            raise MountError(err.name, f"model min_angle = {min_angle:g}, span = {span:g} "
                             "refused: it needs min_angle > -360, min_angle + span < 360 and "
                             "a span other than 0", err.code) from None
        self.port = str(port)
        self.timeout, self.motion_timeout = float(timeout), float(motion_timeout)
        self.min_angle, self.span, self.connect_wait = float(min_angle), float(span), connect_wait
        self._att = Attenuator(timeout=self.timeout)
        self._guard = threading.Lock()  # the fields below; never held while waiting
        self._line = threading.Lock()  # the serial line, one call at a time
        self._notify_lock = threading.RLock()
        self._snap = MountSnapshot(MountState.INIT, f"not connected to {self.port} yet",
                                   self.port)
        self._seq = self._delivered = 0
        self._subscribers: List[Callable[[MountSnapshot], None]] = []
        self._motion: Optional[Motion] = None
        self._stopping: Optional[Future] = None
        self._stop_requested = False
        # Set when a motion's call has returned, and tested, under _cancel_lock: a stop's
        # cancel then reaches the motion's call and nothing after it.
        self._cancel_lock = threading.Lock()
        self._call_returned = threading.Event()
        self._connecting: Optional[Future] = None
        self._settled = threading.Event()  # connecting is over, whatever came of it
        self._closed = False
        self._lost = False  # the port went away: connect again once it is back
        self._held = False  # the handle may hold a port open
        self._last_attempt = -math.inf
        self._jobs: "queue.Queue[Optional[Callable[[], None]]]" = queue.Queue()
        self._worker = threading.Thread(target=self._run, name=f"mount {self.port}",
                                        daemon=True)
        self._worker.start()

    # Life cycle and changes.

    def connect(self) -> "Future[MountSnapshot]":
        """Connects (again), on the worker: state INIT, then ON, or FAULT with the reason. The
        future ends with the snapshot, or MountError when the connection failed."""
        with self._guard:
            self._refuse_if(self._closed, "Closed", "connect refused: the mount is closed")
            if self._connecting is not None:
                return self._connecting
            self._refuse_if(self._snap.moving, "Moving",
                            f"connect refused: {self._snap.motion} runs; stop it first")
            future: Future = Future()
            self._connecting, self._lost = future, False
            self._settled.clear()
            item = self._commit(state=MountState.INIT, reason="", hint="",
                                status=f"connecting to the attenuator on {self.port}")
        self._deliver(item)
        self._jobs.put(lambda: self._connect_job(CONNECT_ATTEMPTS))
        return future

    def close(self) -> None:
        """Ends the call in progress (a motion goes on: :meth:`stop` first to stop it), the
        worker and the connection. Pending futures end with MountError "Closed". Harmless
        twice."""
        with self._guard:
            if self._closed:
                return
            self._closed = True
            pending = [self._motion, self._stopping, self._connecting]
            self._motion = self._stopping = self._connecting = None
        self._jobs.put(None)
        # A cancel made just before a call begins does not reach it: keep cancelling until
        # the line is free, which a cancelled call makes it at once.
        while not self._line.acquire(timeout=0.02):
            self._att.cancel()
        try:
            self._att.close()
        finally:
            self._line.release()
        for future in pending:
            _resolve(future, error=MountError("Closed", "the mount was closed"))
        self._settled.set()
        if threading.current_thread() is not self._worker:
            self._worker.join(timeout=CANCEL_WAIT_S)

    def __enter__(self) -> "Mount":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Mount {self.port!r} {self._snap.state.name}>"

    def subscribe(self, callback: Callable[[MountSnapshot], None]) -> Callable[[], None]:
        """Calls ``callback(snapshot)`` after every change, in order, on the thread that made
        it (the worker or a caller): it must return quickly and not wait for the mount. Returns
        the function that ends the subscription. :meth:`snapshot` gives the current one."""
        with self._notify_lock:
            self._subscribers.append(callback)

        def unsubscribe() -> None:
            with self._notify_lock:
                if callback in self._subscribers:
                    self._subscribers.remove(callback)

        return unsubscribe

    def snapshot(self) -> MountSnapshot:
        """What the mount knows now; never uses the line."""
        with self._guard:
            return self._snap

    def _commit(self, **changes: object) -> _Item:
        """Under the guard: applies the changes and numbers the snapshot for delivery."""
        snap = dataclasses.replace(self._snap, **changes)  # type: ignore[arg-type]
        if snap.steps is not None and snap.info is not None:
            degrees = _steps_to_degrees(snap.steps, snap.info.degrees_per_revolution,
                                        snap.info.steps_per_revolution)
            snap = dataclasses.replace(snap, degrees=degrees, transmittance=_transmittance_at(
                degrees, self.min_angle, self.span))
        self._snap = snap
        self._seq += 1
        return self._seq, snap

    def _deliver(self, item: Optional[_Item]) -> None:
        if item is None:
            return
        with self._notify_lock:
            # A later change delivered first already told subscribers more.
            if self._closed or item[0] <= self._delivered:
                return
            self._delivered = item[0]
            for callback in list(self._subscribers):
                try:
                    callback(item[1])
                except Exception:  # one subscriber's fault must not stop the others
                    _log.exception("mount %s: a subscriber failed", self.port)

    # Requests on the caller's thread.

    @staticmethod
    def _refuse_if(condition: bool, reason: str, text: str) -> None:
        if condition:
            raise MountError(reason, text)

    def ready(self, what: str = "request", *, moving_ok: bool = False) -> MountSnapshot:
        """The snapshot when the mount can serve ``what``; otherwise MountError saying why not:
        the fault's reason in FAULT, "Connecting" (after waiting up to ``connect_wait``),
        "Moving" (unless ``moving_ok``), "Closed"."""
        if not self._settled.is_set():
            self._settled.wait(self.connect_wait)
        snap = self.snapshot()
        self._refuse(snap, what, moving_ok)
        return snap

    def _refuse(self, snap: MountSnapshot, what: str, moving_ok: bool) -> None:
        self._refuse_if(self._closed, "Closed", f"{what} refused: the mount is closed")
        if snap.state is MountState.FAULT:
            raise MountError(snap.reason, f"{what} refused: the device is in FAULT: "
                             f"{snap.status}", hint=snap.hint)
        self._refuse_if(snap.state is MountState.INIT, "Connecting",
                        f"{what} refused: still connecting to {self.port}; wait for state ON"
                        if self._connecting else f"{what} refused: not connected yet")
        self._refuse_if(snap.moving and not moving_ok, "Moving",
                        f"{what} refused: a motion is in progress ({snap.status}); wait for "
                        "state ON, or send Stop")

    def _query(self, what: str, call: Callable[[Attenuator, float], _T]) -> _T:
        """A call on the line within ``timeout``; a port gone puts the mount in FAULT."""
        self.ready(what)
        if not self._line.acquire(timeout=self.timeout + 1.0):
            raise MountError("ReplyTimeout", f"{what}: the serial line stayed busy")
        try:
            self._refuse_if(self._closed, "Closed", f"{what} refused: the mount is closed")
            return call(self._att, self.timeout)
        except AttenuatorError as err:
            failure = err
        finally:
            self._line.release()
        self._refuse_if(self._closed, "Closed", f"{what}: the mount was closed")
        if failure.code == PORT_UNAVAILABLE:
            self._deliver(self._fail(failure, what))
        raise MountError(failure.name, self._explain(failure, what), failure.code,
                         _hint(failure, self.port))

    def read_position(self) -> MountSnapshot:
        """The snapshot with the position read now; during a motion, at once, the one the
        mount has (``moving`` set), without the line."""
        snap = self.ready("position read", moving_ok=True)
        if snap.moving:
            return snap
        steps = self._query("position read", lambda att, t: att.get_position_steps(timeout=t))
        with self._guard:
            item = self._commit(steps=steps) if steps != self._snap.steps else None
            snap = self._snap
        self._deliver(item)
        return snap

    def read_status_code(self) -> MountSnapshot:
        """The snapshot with the device's status code read now (0gs); a code other than 0
        puts the mount in ALARM, 0 back to ON. During a motion, at once, the last one."""
        snap = self.ready("status read", moving_ok=True)
        if snap.moving:
            return snap

        def ask(att: Attenuator, timeout: float) -> int:
            try:
                att.status(timeout=timeout)
                return 0
            except AttenuatorError as err:
                if err.code > 0:
                    return err.code
                raise

        code = self._query("status read", ask)
        with self._guard:
            state, changes = self._snap.state, {"status_code": code}
            if code and state is MountState.ON:
                changes.update(state=MountState.ALARM, reason=status_name(code),
                               status=f"the attenuator reports status code {code}",
                               hint=_hint(AttenuatorError(code, "status"), self.port))
            elif not code and state is MountState.ALARM:
                changes.update(state=MountState.ON, status=self._ready_text(), reason="",
                               hint="")
            changed = len(changes) > 1 or code != self._snap.status_code
            item = self._commit(**changes) if changed else None
            snap = self._snap
        self._deliver(item)
        return snap

    def stop(self) -> "Future[MountSnapshot]":
        """Stops the mount. During a motion: cancels it (its future ends cancelled at once),
        ends its wait and sends the device's stop; the future returned ends when the device
        has answered and the position is read back. A second stop leaves the first one's be.
        At rest: sends the stop and waits for its reply here (MountError on failure)."""
        with self._guard:
            motion = self._motion
        if motion is not None:
            motion.cancel()
            stopping = self._stop_motion(motion)
            if stopping is not None:
                return stopping
        self._query("stop", lambda att, t: att.stop(timeout=t))
        return _done(self.snapshot())

    def _stop_motion(self, motion: Motion) -> Optional[Future]:
        with self._guard:
            if self._motion is not motion:
                return self._stopping
            first = self._stopping is None
            if first:
                self._stopping, self._stop_requested = Future(), True
            stopping = self._stopping
        if first:
            # A cancel made before the motion's call has begun does not reach it: keep
            # cancelling until the call has returned (a cancelled call returns at once). Once
            # it has, the worker is sending the device's stop, which nothing may cancel.
            deadline = time.monotonic() + CANCEL_WAIT_S
            while True:
                with self._cancel_lock:
                    if self._call_returned.is_set():
                        break
                    self._att.cancel()
                if self._call_returned.wait(0.02) or time.monotonic() > deadline:
                    break
        return stopping

    # Motions: checked and started here, run on the worker.

    def move_to(self, degrees: float) -> Motion:
        """Moves to an absolute angle, -360 < degrees < 360 (as a C float)."""
        value = _float32(float(degrees))
        what = f"move to {float(degrees):g} deg"
        self._refuse_if(not -MAX_DEGREES < value < MAX_DEGREES, "InvalidArgument",
                        f"{what} refused: the mount takes -360 < degrees < 360; nothing was "
                        "sent")
        return self._start(what, lambda att, t: att.move_to(value, timeout=t),
                           lambda info: _degrees_to_steps(value, info.degrees_per_revolution,
                                                          info.steps_per_revolution))

    def move_to_steps(self, steps: int) -> Motion:
        """Moves to an absolute position in motor steps, -143360 to 143360."""
        value = operator.index(steps)
        what = f"move to {value} steps"
        self._refuse_if(not -MAX_STEPS <= value <= MAX_STEPS, "InvalidArgument",
                        f"{what} refused: the mount takes -{MAX_STEPS} to {MAX_STEPS} steps; "
                        "nothing was sent")
        return self._start(what, lambda att, t: att.move_to_steps(value, timeout=t),
                           lambda info: value)

    def set_transmittance(self, transmittance: float) -> Motion:
        """Moves to the angle where the mount's model gives ``transmittance`` (0 to 1)."""
        value = _float32(float(transmittance))
        what = f"move to transmittance {float(transmittance):g}"
        self._refuse_if(not 0.0 <= value <= 1.0, "InvalidArgument",
                        f"{what} refused: it is a fraction from 0 to 1; nothing was sent")
        low, width = self.min_angle, self.span
        return self._start(
            what,
            lambda att, t: att.set_transmittance(value, min_angle=low, span=width, timeout=t),
            lambda info: _degrees_to_steps(_angle_for(value, low, width),
                                           info.degrees_per_revolution,
                                           info.steps_per_revolution))

    def home(self) -> Motion:
        """Homes the mount (mechanical calibration); it ends at step 0."""
        return self._start("homing", lambda att, t: att.home(timeout=t), lambda info: 0)

    def optimize(self) -> Motion:
        """Runs the device's motor optimisation."""
        return self._start("optimisation", lambda att, t: att.optimize(timeout=t), None)

    def clean(self) -> Motion:
        """Runs the device's mechanics cleaning."""
        return self._start("cleaning", lambda att, t: att.clean(timeout=t), None)

    def _start(self, what: str, call: Callable[[Attenuator, float], None],
               target: Optional[Callable[[MotorInfo], int]]) -> Motion:
        self.ready(what)
        motion = Motion(self, what)
        with self._guard:
            snap = self._snap
            # Again under the guard: another thread may have started a motion meanwhile.
            self._refuse(snap, what, moving_ok=False)
            self._motion, self._stopping, self._stop_requested = motion, None, False
            self._call_returned.clear()
            goal = target(snap.info) if target is not None and snap.info is not None else None
            item = self._commit(state=MountState.MOVING, moving=True, motion=what,
                                start=snap.steps, target=goal,
                                status=f"{what} in progress (Stop ends it)")
        # Delivered before the worker can end the motion: subscribers see MOVING first.
        self._deliver(item)
        self._jobs.put(lambda: self._run_motion(motion, what, call))
        return motion

    # The worker.

    def _run(self) -> None:
        due = time.monotonic() + WATCH_INTERVAL_S
        while True:
            try:
                job = self._jobs.get(timeout=max(0.0, due - time.monotonic()))
            except queue.Empty:
                job, due = self._watch, time.monotonic() + WATCH_INTERVAL_S
            if job is None or self._closed:
                return
            try:
                job()
            except Exception:  # a fault of ours must not end the worker silently
                _log.exception("mount %s: the worker's job failed", self.port)

    def _connect_job(self, attempts: int) -> None:
        stage, failure = "connect", None
        info: Optional[MotorInfo] = None
        steps: Optional[int] = None
        with self._line:
            if self._closed:
                return
            try:
                _connect(self._att, self.port, attempts)
                self._held = True
                stage = "identification"
                info = self._att.info()
                stage = "position read"
                steps = self._att.get_position_steps()
            except AttenuatorError as err:
                failure = err
            except Exception as err:  # the system refused what a call needs
                failure = AttenuatorError(INTERNAL_ERROR, stage, repr(err))
        if failure is None:
            changes = dict(state=MountState.ON, reason="", hint="", status_code=0)
        elif stage == "connect":
            hint = _hint(failure, self.port, attempts)
            changes = dict(state=MountState.FAULT, reason=failure.name, hint=hint, status=hint)
        else:
            changes = dict(state=MountState.FAULT, reason=failure.name,
                           hint=_hint(failure, self.port),
                           status=f"{stage} failed after connecting: "
                                  f"{self._explain(failure, stage)}")
        with self._guard:
            if self._closed:
                return
            node = _port_node(self.port)
            # Automatic attempts go on; a port missing from the start is waited for too.
            self._lost = failure is not None and (
                self._lost or (node is not None and not os.path.exists(node)))
            if self._lost:
                changes["status"] += "; the mount connects by itself once the port is there"
            item = self._commit(info=info, steps=steps, **changes)  # type: ignore[arg-type]
            if failure is None:
                item = self._commit(status=self._ready_text())
            connecting, self._connecting = self._connecting, None
        self._settled.set()
        self._deliver(item)
        if failure is None:
            _resolve(connecting, item[1])
        else:
            _resolve(connecting, error=MountError(failure.name, item[1].status, failure.code,
                                                  item[1].hint))

    def _watch(self) -> None:
        """Between jobs: a port that went away puts the mount in FAULT and releases it; once
        it is back, the mount connects again, at most once a second. Never uses the line."""
        node = _port_node(self.port)
        missing = node is not None and not os.path.exists(node)
        item = None
        with self._guard:
            snap = self._snap
            if missing and not self._lost and (
                    snap.state in (MountState.ON, MountState.ALARM)
                    or (snap.state is MountState.FAULT and self._held)):
                self._lost = True
                if snap.state is MountState.FAULT:
                    status = f"{snap.status}; the port is gone too"
                else:
                    status = (f"the port {self.port} went away (adapter unplugged, or the "
                              "device switched off)")
                gone = AttenuatorError(PORT_UNAVAILABLE, "watch")
                item = self._commit(state=MountState.FAULT, reason=snap.reason or gone.name,
                                    hint=snap.hint or _hint(gone, self.port),
                                    status=f"{status}; the mount connects by itself once it "
                                           "is back")
            lost = self._lost and snap.state is MountState.FAULT
        self._deliver(item)
        if lost and self._held:
            # Held open, a USB port that comes back would come back under another name.
            with self._line:
                try:
                    self._att.disconnect()
                except (AttenuatorError, ValueError):
                    pass
            self._held = False
        if lost and not missing and time.monotonic() - self._last_attempt >= \
                RECONNECT_INTERVAL_S:
            self._last_attempt = time.monotonic()
            self._connect_job(1)

    def _run_motion(self, motion: Motion, what: str,
                    call: Callable[[Attenuator, float], None]) -> None:
        failure: Optional[AttenuatorError] = None
        steps: Optional[int] = None
        with self._line:
            if self._closed:
                return
            att = self._att
            try:
                if not self._stop_requested:
                    call(att, self.motion_timeout)
            except AttenuatorError as err:
                failure = err
            except Exception as err:  # never leave the mount MOVING
                failure = AttenuatorError(INTERNAL_ERROR, what, repr(err))
            with self._cancel_lock:
                self._call_returned.set()
            if self._closed:
                return
            stopped = self._stop_requested
            if stopped and (failure is None or failure.code == REPLY_TIMEOUT):
                what, failure = f"{what} stopped", self._stop_after_motion(att)
            if failure is None or failure.code > 0:
                try:
                    steps = self._read_after_stop(att) if stopped else att.get_position_steps()
                except AttenuatorError as err:
                    failure = failure or err
        with self._guard:
            if self._closed:
                return
            if steps is not None:
                self._snap = dataclasses.replace(self._snap, steps=steps)
            stopping, self._motion, self._stopping = self._stopping, None, None
        rest = dict(moving=False, motion="", start=None, target=None)
        if failure is None:
            with self._guard:
                item = self._commit(state=MountState.ON, status_code=0, reason="", hint="",
                                    **rest)  # type: ignore[arg-type]
                item = self._commit(status=self._ready_text(f"{what} done"
                                                            if not stopped else what))
        elif failure.code > 0:
            with self._guard:
                item = self._commit(state=MountState.ALARM, status_code=failure.code,
                                    reason=failure.name, hint=_hint(failure, self.port),
                                    status=self._explain(failure, what),
                                    **rest)  # type: ignore[arg-type]
        else:
            item = self._fail(failure, what, **rest)
        self._deliver(item)
        snap = item[1]
        error = None if failure is None else MountError(failure.name, snap.status, failure.code,
                                                        snap.hint)
        _resolve(motion, snap, error)
        _resolve(stopping, snap, error)

    def _stop_after_motion(self, att: Attenuator) -> Optional[AttenuatorError]:
        """Sends the device's stop once the motion's wait has been cancelled. A device that
        finishes its motion before it takes the stop answers with the motion's position
        first: that reply arrives where the stop's is expected (UnexpectedReply), and the
        stop's own follows; either way the mount is at rest."""
        try:
            att.stop(timeout=self.motion_timeout)
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

    # Texts and faults.

    def _fail(self, failure: AttenuatorError, what: str, **changes: object) -> _Item:
        """FAULT for a failed call; a port unavailable is waited for, as one that went away."""
        with self._guard:
            self._lost = self._lost or failure.code == PORT_UNAVAILABLE
            return self._commit(state=MountState.FAULT, reason=failure.name,
                                hint=_hint(failure, self.port),
                                status=self._explain(failure, what), **changes)

    def _explain(self, error: AttenuatorError, what: str) -> str:
        return f"{what}: {error.name} ({error.code}): {_hint(error, self.port)}"

    def _ready_text(self, after: str = "") -> str:
        """Under the guard."""
        snap, where = self._snap, ""
        if snap.steps is not None and snap.degrees is not None:
            where = f" at {snap.degrees:.4f} deg ({snap.steps} steps)"
        done = f"{after}; " if after else ""
        return f"{done}the attenuator on {self.port} is ready{where}"
