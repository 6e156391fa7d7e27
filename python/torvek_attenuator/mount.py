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

import dataclasses
import enum
import logging
import math
import operator
import queue
import threading
import time
from concurrent.futures import Future, InvalidStateError
from typing import Callable, List, Optional, Tuple, TypeVar

from ._attenuator import Attenuator, MotorInfo
from . import _model
from ._model import (angle_for, check_model, degrees_to_steps, steps_to_degrees, transmittance_at,
                     transmittance_for_density)
from ._status import (INTERNAL_ERROR, INVALID_ARGUMENT, NO_SUCH_PORT, PORT_UNAVAILABLE,
                      RANGE_STEPS, REPLY_TIMEOUT, UNEXPECTED_REPLY, AttenuatorError,
                      invalid_argument, status_hint, status_name)

#: How often the worker looks at the port while no call runs, in seconds.
WATCH_INTERVAL_S = 0.5
#: The least time between two attempts to connect again to a port that went away.
RECONNECT_INTERVAL_S = 1.0
#: How long a stop keeps cancelling until the motion's call has returned (it returns at once).
CANCEL_WAIT_S = 1.0

_log = logging.getLogger(__name__)
_T = TypeVar("_T")

#: What a refused connect found, with the port's name; what to do is the library's hint.
_CONNECT_FAILURES = {
    "NoSuchPort": "port {port} does not exist",
    "AccessDenied": "permission denied on {port}",
    "PortBusy": "port {port} is held by another program",
    "NotASerialPort": "{port} is not a serial port",
    "NoIdentification": "no attenuator identified itself on {port}",
    "BadIdentification": "what answered on {port} is not an attenuator",
    "AmbiguousPort": "{port} names more than one adapter",
}


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
    what to do; ``detail`` what the library said of a refused value (the values accepted)."""

    def __init__(self, reason: str, text: str, code: Optional[int] = None,
                 hint: str = "", detail: str = "") -> None:
        super().__init__(text)
        self.reason, self.text, self.code, self.hint = reason, text, code, hint
        self.detail = detail


class Motion(Future):  # type: ignore[type-arg]
    """A motion started through a Mount: its result is the snapshot at the end, its exception
    a MountError (DeviceStatus, a line failure, Closed). ``cancel()`` stops the mount, as
    :meth:`Mount.stop` does; the future is cancelled at once, the stop goes on. Until the end
    it counts as running and can be cancelled. ``settled`` is a future that ends when the mount
    is at rest after the motion, however it ended (stopped too): with the snapshot then, or
    the MountError."""

    def __init__(self, mount: "Mount", what: str) -> None:
        super().__init__()
        self._mount = mount
        self.what = what
        self.settled: "Future[MountSnapshot]" = Future()

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
        self.check_model(min_angle, span)
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
        self._last_attempt = -math.inf
        self._jobs: "queue.Queue[Optional[Callable[[], None]]]" = queue.Queue()
        self._worker = threading.Thread(target=self._run, name=f"mount {self.port}",
                                        daemon=True)
        self._worker.start()

    # Life cycle and changes.

    def connect(self, *, attempts: Optional[int] = None) -> "Future[MountSnapshot]":
        """Connects (again), on the worker, trying a missed identification up to ``attempts``
        times (the library's CONNECT_ATTEMPTS by default): state INIT, then ON, or FAULT with
        the reason. The future ends with the snapshot, or MountError when the connection
        failed."""
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
        tries = _model.CONNECT_ATTEMPTS if attempts is None else int(attempts)
        self._jobs.put(lambda: self._connect_job(tries))
        return future

    def close(self) -> None:
        """Ends the call in progress (a motion goes on: :meth:`stop` first to stop it), the
        worker and the connection. Pending futures end with MountError "Closed". Harmless
        twice."""
        with self._guard:
            if self._closed:
                return
            self._closed = True
            pending = [self._motion, self._stopping, self._connecting,
                       self._motion.settled if self._motion else None]
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

    @staticmethod
    def check_model(min_angle: float, span: float) -> None:
        """Refuses a transmittance model the library does not accept, with MountError."""
        try:
            check_model(min_angle, span)
        except AttenuatorError as err:
            raise MountError(err.name, f"model min_angle = {min_angle:g}, span = {span:g} "
                             f"refused: {err.detail}", err.code, err.hint, err.detail) from None

    def set_model(self, min_angle: float, span: float) -> MountSnapshot:
        """Takes another transmittance model (degrees), checked as the constructor checks it
        (MountError "InvalidArgument", the model unchanged). Subscribers get the snapshot with
        the transmittance by the new model at once; nothing goes on the line. A motion under
        way keeps the target it started with."""
        self.check_model(min_angle, span)
        with self._guard:
            self.min_angle, self.span = float(min_angle), float(span)
            item = self._commit()
            snap = self._snap
        self._deliver(item)
        return snap

    def _commit(self, **changes: object) -> _Item:
        """Under the guard: applies the changes and numbers the snapshot for delivery."""
        snap = dataclasses.replace(self._snap, **changes)  # type: ignore[arg-type]
        if snap.steps is not None and snap.info is not None:
            degrees = steps_to_degrees(snap.steps, snap.info.degrees_per_revolution,
                                       snap.info.steps_per_revolution)
            snap = dataclasses.replace(snap, degrees=degrees, transmittance=transmittance_at(
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

    @staticmethod
    def _bound(what: str, timeout: Optional[float], default: float) -> float:
        """A call's time-out in seconds: ``default`` when None, else 0 or more."""
        bound = default if timeout is None else float(timeout)
        if not (math.isfinite(bound) and bound >= 0):
            raise MountError("InvalidArgument", f"{what} refused: time-out {timeout!r} is not "
                             "a number of seconds >= 0", INVALID_ARGUMENT)
        return bound

    def _query(self, what: str, call: Callable[[Attenuator, float], _T],
               timeout: Optional[float] = None) -> _T:
        """A call on the line within ``timeout`` (the mount's when None); a port gone puts the
        mount in FAULT."""
        self.ready(what)
        bound = self._bound(what, timeout, self.timeout)
        if not self._line.acquire(timeout=bound + 1.0):
            raise MountError("ReplyTimeout", f"{what}: the serial line stayed busy")
        try:
            self._refuse_if(self._closed, "Closed", f"{what} refused: the mount is closed")
            return call(self._att, bound)
        except AttenuatorError as err:
            failure = err
        finally:
            self._line.release()
        self._refuse_if(self._closed, "Closed", f"{what}: the mount was closed")
        text = self._explain(failure, what)
        if failure.code == PORT_UNAVAILABLE:
            self._deliver(self._fail(failure, text))
        raise MountError(failure.name, text, failure.code, failure.hint)

    def cancel_query(self) -> None:
        """Ends at once the wait of a query in progress on a caller's thread (a read, a stop
        at rest), which then raises MountError "ReplyTimeout"; the mount stays ON. A motion is
        left alone: :meth:`stop` stops it."""
        with self._guard:
            if self._motion is not None:
                return
            # Under the guard no motion starts, and a cancel never reaches a later call.
            self._att.cancel()

    def read_position(self, *, timeout: Optional[float] = None) -> MountSnapshot:
        """The snapshot with the position read now, waiting up to ``timeout`` seconds for the
        reply (the mount's ``timeout`` when None); during a motion, at once, the one the mount
        has (``moving`` set), without the line."""
        snap = self.ready("position read", moving_ok=True)
        if snap.moving:
            return snap
        steps = self._query("position read", lambda att, t: att.get_position_steps(timeout=t),
                            timeout)
        with self._guard:
            item = self._commit(steps=steps) if steps != self._snap.steps else None
            snap = self._snap
        self._deliver(item)
        return snap

    def read_status_code(self, *, timeout: Optional[float] = None) -> MountSnapshot:
        """The snapshot with the device's status code read now (0gs), within ``timeout`` as
        :meth:`read_position`; a code other than 0 puts the mount in ALARM, 0 back to ON. During
        a motion, at once, the last one."""
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

        code = self._query("status read", ask, timeout)
        with self._guard:
            state, changes = self._snap.state, {"status_code": code}
            if code and state is MountState.ON:
                changes.update(state=MountState.ALARM, reason=status_name(code),
                               hint=status_hint(code),
                               status=f"the attenuator reports status code {code}: "
                                      f"{status_hint(code)}")
            elif not code and state is MountState.ALARM:
                changes.update(state=MountState.ON, status=self._ready_text(), reason="",
                               hint="")
            changed = len(changes) > 1 or code != self._snap.status_code
            item = self._commit(**changes) if changed else None
            snap = self._snap
        self._deliver(item)
        return snap

    def stop(self, *, timeout: Optional[float] = None) -> "Future[MountSnapshot]":
        """Stops the mount. During a motion: cancels it (its future ends cancelled at once),
        ends its wait and sends the device's stop; the future returned ends when the device
        has answered and the position is read back. A second stop leaves the first one's be.
        At rest: sends the stop and waits here for its reply, up to ``timeout`` as
        :meth:`read_position` (MountError on failure)."""
        with self._guard:
            motion = self._motion
        if motion is not None:
            motion.cancel()
            stopping = self._stop_motion(motion)
            if stopping is not None:
                return stopping
        self._query("stop", lambda att, t: att.stop(timeout=t), timeout)
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

    # Every motion takes ``timeout``: the longest wait in seconds for its end, and for the
    # device's stop after it (the mount's ``motion_timeout`` when None).

    def move_to(self, degrees: float, *, timeout: Optional[float] = None) -> Motion:
        """Moves to an absolute angle, -360 < degrees < 360."""
        value = float(degrees)
        return self._start(f"move to {value:g} deg",
                           lambda att, t: att.move_to(value, timeout=t),
                           lambda info: degrees_to_steps(value, info.degrees_per_revolution,
                                                         info.steps_per_revolution), timeout)

    def move_to_steps(self, steps: int, *, timeout: Optional[float] = None) -> Motion:
        """Moves to an absolute position in motor steps, -143360 to 143360."""
        value = operator.index(steps)
        what = f"move to {value} steps"
        if not -_model.MAX_STEPS <= value <= _model.MAX_STEPS:
            raise self._refused(what, invalid_argument(what, RANGE_STEPS))
        return self._start(what, lambda att, t: att.move_to_steps(value, timeout=t),
                           lambda info: value, timeout)

    def set_transmittance(self, transmittance: float, *, min_angle: Optional[float] = None,
                          span: Optional[float] = None,
                          timeout: Optional[float] = None) -> Motion:
        """Moves to the angle where the model gives ``transmittance`` (0 to 1): the mount's
        model, or for this motion the ``min_angle`` and ``span`` given."""
        low, width = self._model(min_angle, span)
        return self._to_transmittance(f"move to transmittance {float(transmittance):g}",
                                      lambda info: float(transmittance), low, width, timeout)

    def set_optical_density(self, density: float, *, min_angle: Optional[float] = None,
                            span: Optional[float] = None,
                            timeout: Optional[float] = None) -> Motion:
        """Moves to the transmittance of an optical density, 10^-OD, by the model as
        :meth:`set_transmittance`. The model reaches densities from 0 up to the library's
        :func:`density_limit` at the device's scale, and ``math.inf`` (T = 0); any other is
        refused (MountError "InvalidArgument", naming that range) before anything is sent."""
        low, width = self._model(min_angle, span)
        return self._to_transmittance(
            f"move to optical density {float(density):g}",
            lambda info: transmittance_for_density(density, low, width,
                                                   info.degrees_per_revolution,
                                                   info.steps_per_revolution), low, width,
            timeout)

    def _model(self, min_angle: Optional[float], span: Optional[float]) -> Tuple[float, float]:
        with self._guard:  # the pair as one, against a set_model meanwhile
            low = self.min_angle if min_angle is None else float(min_angle)
            width = self.span if span is None else float(span)
        return low, width

    def _to_transmittance(self, what: str, wanted: Callable[[MotorInfo], float], low: float,
                          width: float, timeout: Optional[float]) -> Motion:
        # The transmittance becomes known with the device's scale, in _start, under the guard.
        chosen: List[float] = []

        def target(info: MotorInfo) -> int:
            chosen.append(wanted(info))
            return degrees_to_steps(angle_for(chosen[0], low, width),
                                    info.degrees_per_revolution, info.steps_per_revolution)

        return self._start(
            what, lambda att, t: att.set_transmittance(chosen[0], min_angle=low, span=width,
                                                       timeout=t), target, timeout)

    def home(self, *, timeout: Optional[float] = None) -> Motion:
        """Homes the mount (mechanical calibration); it ends at step 0."""
        return self._start("homing", lambda att, t: att.home(timeout=t), lambda info: 0,
                           timeout)

    def optimize(self, *, timeout: Optional[float] = None) -> Motion:
        """Runs the device's motor optimisation."""
        return self._start("optimisation", lambda att, t: att.optimize(timeout=t), None,
                           timeout)

    def clean(self, *, timeout: Optional[float] = None) -> Motion:
        """Runs the device's mechanics cleaning."""
        return self._start("cleaning", lambda att, t: att.clean(timeout=t), None, timeout)

    @staticmethod
    def _refused(what: str, error: AttenuatorError) -> MountError:
        return MountError(error.name, f"{what} refused: {error.detail}; nothing was sent",
                          error.code, error.hint, error.detail)

    def _start(self, what: str, call: Callable[[Attenuator, float], None],
               target: Optional[Callable[[MotorInfo], int]],
               timeout: Optional[float] = None) -> Motion:
        bound = self._bound(what, timeout, self.motion_timeout)
        self.ready(what)
        motion = Motion(self, what)
        with self._guard:
            snap = self._snap
            # Again under the guard: another thread may have started a motion meanwhile.
            self._refuse(snap, what, moving_ok=False)
            try:  # the library's own checks of the value, at the device's scale
                goal = None if target is None or snap.info is None else target(snap.info)
            except AttenuatorError as err:
                raise self._refused(what, err) from None
            self._motion, self._stopping, self._stop_requested = motion, None, False
            self._call_returned.clear()
            item = self._commit(state=MountState.MOVING, moving=True, motion=what,
                                start=snap.steps, target=goal,
                                status=f"{what} in progress (Stop ends it)")
        # Delivered before the worker can end the motion: subscribers see MOVING first.
        self._deliver(item)
        self._jobs.put(lambda: self._run_motion(motion, what, call, bound))
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

    def _connect_job(self, attempts: int, automatic: bool = False) -> None:
        stage, failure = "connect", None
        info: Optional[MotorInfo] = None
        steps: Optional[int] = None
        with self._line:
            if self._closed:
                return
            try:
                self._att.connect(self.port, attempts=attempts)
                stage = "identification"
                info = self._att.info()
                stage = "position read"
                steps = self._att.get_position_steps()
            except AttenuatorError as err:
                failure = err
            except Exception as err:  # the system refused what a call needs
                failure = AttenuatorError(INTERNAL_ERROR, stage, repr(err))
        if failure is not None and automatic:
            return  # the fault that started the attempts stays what the mount says
        if failure is None:
            with self._guard:
                if self._closed:
                    return
                self._lost = False
                self._commit(state=MountState.ON, info=info, steps=steps, status_code=0,
                             reason="", hint="")
                item: Optional[_Item] = self._commit(status=self._ready_text())
        elif stage == "connect":
            found = _CONNECT_FAILURES.get(failure.name, "connect to {port}: " + failure.name)
            # The library's hint, and what this machine adds (the ports there are, the group).
            advice = f"; {failure.detail}" if failure.detail else ""
            item = self._fail(failure, f"{found.format(port=self.port)}: {failure.hint}{advice}",
                              info=None, steps=None)
        else:
            item = self._fail(failure, f"{stage} failed after connecting: "
                              f"{self._explain(failure, stage)}", info=info, steps=steps)
        if item is None:
            return  # closed meanwhile
        with self._guard:
            connecting, self._connecting = self._connecting, None
        self._settled.set()
        self._deliver(item)
        _resolve(connecting, item[1], None if failure is None else MountError(
            failure.name, item[1].status, failure.code, failure.hint, failure.detail))

    def _watch(self) -> None:
        """Between jobs: asks the library whether the port is still there, which uses no line
        (a call in progress finds out itself); in FAULT for a port gone or missing, connects
        again, at most once a second."""
        with self._guard:
            snap, lost = self._snap, self._lost
        if snap.state in (MountState.ON, MountState.ALARM) and not lost:
            if not self._line.acquire(blocking=False):
                return
            try:
                gone = not self._closed and not self._att.check_port()
            finally:
                self._line.release()
            if gone:
                error = AttenuatorError(PORT_UNAVAILABLE, "watch")
                self._deliver(self._fail(error, self._explain(error, f"watching {self.port}")))
        elif lost and snap.state is MountState.FAULT and \
                time.monotonic() - self._last_attempt >= RECONNECT_INTERVAL_S:
            self._last_attempt = time.monotonic()
            self._connect_job(_model.CONNECT_ATTEMPTS, automatic=True)

    def _run_motion(self, motion: Motion, what: str,
                    call: Callable[[Attenuator, float], None], bound: float) -> None:
        failure: Optional[AttenuatorError] = None
        steps: Optional[int] = None
        with self._line:
            if self._closed:
                return
            att = self._att
            try:
                if not self._stop_requested:
                    call(att, bound)
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
                what, failure = f"{what} stopped", self._stop_after_motion(att, bound)
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
        rest: dict = dict(moving=False, motion="", start=None, target=None)
        if failure is None:
            with self._guard:
                self._commit(state=MountState.ON, status_code=0, reason="", hint="", **rest)
                item = self._commit(status=self._ready_text(what if stopped else f"{what} done"))
        elif failure.code > 0:
            with self._guard:
                item = self._commit(state=MountState.ALARM, status_code=failure.code,
                                    reason=failure.name, hint=failure.hint,
                                    status=self._explain(failure, what), **rest)
        else:
            item = self._fail(failure, self._explain(failure, what), **rest)  # type: ignore
            if item is None:  # closed meanwhile, after close() had looked for the motion
                for future in (motion, stopping, motion.settled):
                    _resolve(future, error=MountError("Closed", "the mount was closed"))
                return
        self._deliver(item)
        snap = item[1]
        error = None if failure is None else MountError(failure.name, snap.status, failure.code,
                                                        snap.hint)
        _resolve(motion, snap, error)
        _resolve(stopping, snap, error)
        _resolve(motion.settled, snap, error)

    def _stop_after_motion(self, att: Attenuator, bound: float) -> Optional[AttenuatorError]:
        """Sends the device's stop once the motion's wait has been cancelled. A device that
        finishes its motion before it takes the stop answers with the motion's position
        first: that reply arrives where the stop's is expected (UnexpectedReply), and the
        stop's own follows; either way the mount is at rest."""
        try:
            att.stop(timeout=bound)
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

    def _fail(self, failure: AttenuatorError, status: str,
              **changes: object) -> Optional[_Item]:
        """FAULT for a failed call. A port gone or missing is waited for: the mount connects
        again by itself once it is back."""
        with self._guard:
            if self._closed:
                return None
            self._lost = self._lost or failure.code in (NO_SUCH_PORT, PORT_UNAVAILABLE)
            if self._lost:
                status += "; the mount connects by itself once the port is back"
            return self._commit(state=MountState.FAULT, reason=failure.name, hint=failure.hint,
                                status=status, **changes)

    @staticmethod
    def _explain(error: AttenuatorError, what: str) -> str:
        return f"{what}: {error.name} ({error.code}): {error.hint}"

    def _ready_text(self, after: str = "") -> str:
        """Under the guard."""
        snap, where = self._snap, ""
        if snap.steps is not None and snap.degrees is not None:
            where = f" at {snap.degrees:.4f} deg ({snap.steps} steps)"
        done = f"{after}; " if after else ""
        return f"{done}the attenuator on {self.port} is ready{where}"
