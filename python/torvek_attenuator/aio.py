"""The attenuator for asyncio programs: every operation a coroutine that never blocks the
event loop.

    import asyncio
    from torvek_attenuator.aio import AsyncAttenuator

    async def main() -> None:
        async with AsyncAttenuator("/dev/ttyUSB0") as att:
            await att.move_to(45.0)
            await att.set_optical_density(2.0, min_angle=10.0, span=90.0)   # T = 1 %
            print(await att.optical_density(min_angle=10.0, span=90.0))
            async for snapshot in att.changes():     # MountSnapshot after every change
                ...

    asyncio.run(main())

An AsyncAttenuator runs on a :class:`~torvek_attenuator.Mount`: connecting and motions wait
on the mount's worker thread, queries on the loop's executor, and the loop awaits their
futures. The methods have the names, arguments, results and exceptions of
:class:`~torvek_attenuator.Attenuator`'s (AttenuatorError with the library's codes and hints;
ValueError once closed). Calls on one AsyncAttenuator run one at a time, in the order they
were awaited, as on an Attenuator; :meth:`AsyncAttenuator.stop` alone does not queue: it
stops the motion in progress at once. A motion that outlasts its time-out is stopped and
raises "ReplyTimeout" (where an Attenuator's device would finish it). After a failure of the
line (ReplyTimeout or UnexpectedReply from the device, the mount in FAULT) every call raises
that failure until :meth:`AsyncAttenuator.connect`; a port that went away is waited for and
connected again by the mount itself.

Cancelling the task that awaits a call (``task.cancel()``, ``asyncio.wait_for`` running out)
ends the library's wait at once; a motion is then stopped (the device's stop goes out at
once), and the CancelledError reaches the caller once the device has answered the stop. The
attenuator stays usable.
"""

from __future__ import annotations

import asyncio
import collections
import functools
import math
import os
import weakref
from typing import Callable, Deque, Optional, Tuple, TypeVar

from ._attenuator import DEFAULT_TIMEOUT, MotorInfo
from ._model import check_model, optical_density, transmittance_at
from ._status import (INTERNAL_ERROR, INVALID_ARGUMENT, NO_SUCH_PORT, PORT_UNAVAILABLE,
                      RANGE_DEGREES, RANGE_MODEL, RANGE_STEPS, RANGE_TRANSMITTANCE,
                      REPLY_TIMEOUT, AttenuatorError, invalid_argument, status_name)
from .mount import Motion, Mount, MountError, MountSnapshot

__all__ = ["AsyncAttenuator", "Changes"]

#: How many snapshots a :meth:`AsyncAttenuator.changes` iterator holds for a reader that
#: lags; beyond it the oldest are dropped.
CHANGES_BOUND = 256
#: The mount's own bound on a motion exceeds the call's by this much (seconds): the loop
#: stops a motion when the call's time-out runs out; the mount's bound only backs it up.
_MOTION_MARGIN_S = 1.0
_INT32_MAX_S = (2**31 - 1) / 1000.0

_T = TypeVar("_T")


def _code_of(reason: str) -> Optional[int]:
    """The library's code of a status name (a mount's reason); None for the mount's own."""
    for code in range(-1, -64, -1):
        if status_name(code) == reason:
            return code
    return None


class Changes:
    """An async iterator of the mount's snapshots, one after every change (a motion's start
    and end, a fault, a reconnection), from the moment it was made. A reader that lags loses
    the oldest beyond ``bound`` (``dropped`` counts them). It ends when the attenuator
    disconnects, connects again or closes, or :meth:`aclose` is called; an iterator abandoned unfinished (a ``break``) ends its
    subscription when it is collected."""

    def __init__(self, mount: Mount, bound: int) -> None:
        if bound < 1:
            raise ValueError(f"bound = {bound!r}: a reader keeps at least 1 snapshot")
        self._loop = asyncio.get_running_loop()
        self._pending: Deque[Optional[MountSnapshot]] = collections.deque()
        self._bound = bound
        self._wakeup: Optional[asyncio.Future] = None
        self._ended = False
        #: Snapshots dropped because the reader lagged more than the bound.
        self.dropped = 0
        ref = weakref.ref(self)
        loop = self._loop

        def arrive(item: Optional[MountSnapshot]) -> None:
            target = ref()
            if target is not None:
                target._arrive(item)

        def deliver(snapshot: MountSnapshot) -> None:
            # On the mount's thread: only a hop to the loop, which must never wait.
            try:
                loop.call_soon_threadsafe(arrive, snapshot)
            except RuntimeError:  # the loop is closed: nobody reads any more
                unsubscribe()

        unsubscribe = mount.subscribe(deliver)
        self._unsubscribe = unsubscribe
        weakref.finalize(self, unsubscribe)

    def _arrive(self, item: Optional[MountSnapshot]) -> None:
        if self._ended:
            return
        if item is not None and len(self._pending) >= self._bound:
            self._pending.popleft()
            self.dropped += 1
        self._pending.append(item)
        if self._wakeup is not None and not self._wakeup.done():
            self._wakeup.set_result(None)

    def _end(self) -> None:
        """On the loop: no more snapshots; the reader gets those it has, then the end."""
        self._unsubscribe()
        self._arrive(None)
        self._ended = True

    def __aiter__(self) -> "Changes":
        return self

    async def __anext__(self) -> MountSnapshot:
        while not self._pending:
            if self._ended:
                raise StopAsyncIteration
            self._wakeup = self._loop.create_future()
            await self._wakeup
        item = self._pending.popleft()
        if item is None:
            self._pending.clear()
            raise StopAsyncIteration
        return item

    async def aclose(self) -> None:
        """Ends the subscription; the iteration ends."""
        self._end()
        self._pending.clear()


class AsyncAttenuator:
    """One attenuator on a serial port, for asyncio; see the module's description.

    ``port`` is connected by ``async with`` or :meth:`connect`. ``timeout`` (seconds) is the
    time-out of a call given none, as for Attenuator. ``min_angle`` and ``span`` are the model
    by which :meth:`changes`' snapshots give their ``transmittance``; the transmittance and
    density calls take their own, as on Attenuator.
    """

    def __init__(self, port: "Optional[str | os.PathLike[str]]" = None, *,
                 timeout: float = DEFAULT_TIMEOUT, min_angle: float = 0.0,
                 span: float = 90.0) -> None:
        self._seconds(timeout, "AsyncAttenuator")
        try:
            check_model(min_angle, span)
        except AttenuatorError:
            raise invalid_argument("AsyncAttenuator", RANGE_MODEL) from None
        #: The time-out in seconds of a call that is given none.
        self.timeout = float(timeout)
        self._wanted = None if port is None else os.fspath(port)
        self._model = (float(min_angle), float(span))
        self._mount: Optional[Mount] = None
        self._closed = False
        self._lock: Optional[asyncio.Lock] = None
        # A motion cut short whose stop is still on its way: the next call waits for it.
        self._halting: Optional[asyncio.Future] = None
        self._changes: "weakref.WeakSet[Changes]" = weakref.WeakSet()
        #: The port of the last successful connect, None after disconnect or close.
        self.port: Optional[str] = None

    # Life cycle.

    async def __aenter__(self) -> "AsyncAttenuator":
        if self._wanted is not None and self._mount is None:
            await self.connect(self._wanted)
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def __repr__(self) -> str:
        state = f"on {self.port!r}" if self.port else "not connected"
        return f"<AsyncAttenuator {state}>"

    @property
    def mount(self) -> Optional[Mount]:
        """The Mount it runs on while connected: its snapshot, its subscribers."""
        return self._mount

    async def connect(self, port: "Optional[str | os.PathLike[str]]" = None, *,
                      attempts: Optional[int] = None) -> None:
        """Opens ``port`` (by default the one given to the constructor) and identifies the
        device, as :meth:`Attenuator.connect`, trying a missed identification up to
        ``attempts`` times (the library's CONNECT_ATTEMPTS by default). An earlier connection
        is closed first."""
        name = self._wanted if port is None else os.fspath(port)
        operation = f"connect({name!r})"
        if name is None:
            raise AttenuatorError(NO_SUCH_PORT, operation, "no port given")
        if "\0" in name:
            raise AttenuatorError(NO_SUCH_PORT, operation,
                                  "a port name cannot hold a NUL character")
        async with self._turn():
            await self._release()
            # Cheap: the library is loaded already, and the worker only starts.
            mount = Mount(name, timeout=max(self.timeout, 1e-3), min_angle=self._model[0],
                          span=self._model[1], motion_timeout=_INT32_MAX_S)
            try:
                await asyncio.wrap_future(mount.connect(attempts=attempts))
            except BaseException as err:
                await asyncio.shield(asyncio.to_thread(mount.close))
                if isinstance(err, MountError):
                    raise self._error(err, operation) from None
                raise
            self._mount, self.port, self._wanted = mount, name, name

    async def disconnect(self) -> None:
        """Closes the port; the attenuator can connect again."""
        async with self._turn():
            await self._release()

    async def close(self) -> None:
        """Closes the port and releases the attenuator for good; iterators of :meth:`changes`
        end. Harmless twice."""
        if self._closed:
            return
        async with self._turn():
            await self._release()
            self._closed = True

    async def _release(self) -> None:
        mount, self._mount, self.port = self._mount, None, None
        for changes in list(self._changes):
            changes._end()
        if mount is not None:
            await asyncio.to_thread(mount.close)

    def changes(self, *, bound: int = CHANGES_BOUND) -> Changes:
        """An async iterator of the mount's snapshots from now on (a motion's start, with its
        ``target``, and its end; faults; reconnections); see :class:`Changes`. Made on the
        loop, while connected."""
        mount = self._connected("changes")
        changes = Changes(mount, bound)
        self._changes.add(changes)
        return changes

    # Queries.

    async def get_position_deg(self, *, timeout: Optional[float] = None) -> float:
        """Reads the mount's angle in degrees."""
        snap = await self._read("position_deg", timeout)
        assert snap.degrees is not None
        return snap.degrees

    async def get_position_steps(self, *, timeout: Optional[float] = None) -> int:
        """Reads the mount's position in motor steps."""
        snap = await self._read("position_steps", timeout)
        assert snap.steps is not None
        return snap.steps

    async def transmittance(self, *, min_angle: float, span: float,
                            timeout: Optional[float] = None) -> float:
        """The transmittance (0 to 1) at the mount's angle, by the model
        T = sin^2(90 * (angle - min_angle) / span), as :meth:`Attenuator.transmittance`."""
        self._check_model("transmittance", min_angle, span)
        snap = await self._read("transmittance", timeout)
        assert snap.degrees is not None
        return transmittance_at(snap.degrees, min_angle, span)

    async def optical_density(self, *, min_angle: float, span: float,
                              timeout: Optional[float] = None) -> float:
        """The optical density at the mount's angle, -log10(T) by the model (see
        :meth:`transmittance`); ``math.inf`` where the model's T is 0."""
        self._check_model("optical_density", min_angle, span)
        snap = await self._read("optical_density", timeout)
        assert snap.degrees is not None
        return optical_density(transmittance_at(snap.degrees, min_angle, span))

    async def status(self, *, timeout: Optional[float] = None) -> None:
        """Asks the device for its status: returns when it reports 0, otherwise raises
        AttenuatorError whose ``code`` is the device's status code (1 to 255)."""
        snap = await self._query("status", timeout, Mount.read_status_code)
        if snap.status_code:
            raise AttenuatorError(snap.status_code, "status")

    async def info(self, *, timeout: Optional[float] = None) -> MotorInfo:
        """The device's identification and home offset, as it gave them when it connected
        (nothing is sent)."""
        self._seconds(timeout, "info")
        async with self._turn():
            try:
                snap = self._connected("info").ready("info", moving_ok=True)
            except MountError as err:
                raise self._error(err, "info") from None
        if snap.info is None:
            raise AttenuatorError(INTERNAL_ERROR, "info", "the device gave no identification")
        return snap.info

    # Motions.

    async def move_to(self, degrees: float, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute angle, -360 < degrees < 360, truncated to whole motor steps.
        A motion that outlasts ``timeout`` is stopped, then raises "ReplyTimeout"."""
        value = float(degrees)
        await self._motion(f"move_to({degrees!r})", timeout,
                           lambda m, t: m.move_to(value, timeout=t), (RANGE_DEGREES,))

    async def move_to_steps(self, steps: int, *, timeout: Optional[float] = None) -> None:
        """Moves to an absolute position in motor steps, -143360 <= steps <= 143360."""
        value = steps.__index__()
        await self._motion(f"move_to_steps({steps!r})", timeout,
                           lambda m, t: m.move_to_steps(value, timeout=t), (RANGE_STEPS,))

    async def set_transmittance(self, transmittance: float, *, min_angle: float, span: float,
                                timeout: Optional[float] = None) -> None:
        """Moves to the angle where the model (see :meth:`transmittance`) gives
        ``transmittance``, 0 to 1 inclusive."""
        value, low, width = float(transmittance), float(min_angle), float(span)
        await self._motion(
            f"set_transmittance({transmittance!r})", timeout,
            lambda m, t: m.set_transmittance(value, min_angle=low, span=width, timeout=t),
            (RANGE_TRANSMITTANCE, RANGE_MODEL))

    async def set_optical_density(self, density: float, *, min_angle: float, span: float,
                                  timeout: Optional[float] = None) -> None:
        """Moves to the transmittance 10^-OD by the model (see :meth:`transmittance`): 0 up
        to the library's ``density_limit`` at the device's scale, or ``math.inf`` (T = 0);
        another density raises "InvalidArgument" naming that range, and nothing is sent."""
        value, low, width = float(density), float(min_angle), float(span)
        await self._motion(
            f"set_optical_density({density!r})", timeout,
            lambda m, t: m.set_optical_density(value, min_angle=low, span=width, timeout=t),
            (RANGE_MODEL,))

    async def home(self, *, timeout: Optional[float] = None) -> None:
        """Homes the mount (mechanical calibration); returns when the device reports done."""
        await self._motion("home", timeout, lambda m, t: m.home(timeout=t))

    async def optimize(self, *, timeout: Optional[float] = None) -> None:
        """Runs the device's motor optimisation."""
        await self._motion("optimize", timeout, lambda m, t: m.optimize(timeout=t))

    async def clean(self, *, timeout: Optional[float] = None) -> None:
        """Runs the device's mechanics cleaning."""
        await self._motion("clean", timeout, lambda m, t: m.clean(timeout=t))

    async def stop(self, *, timeout: Optional[float] = None) -> None:
        """Stops the mount. Unlike the other calls it waits for none: a motion in progress
        (awaited by another task) is stopped at once, and that call raises "ReplyTimeout", as
        an Attenuator's call cut short by cancel() does; this one returns once the device has
        answered. At rest it sends the stop and waits for its reply."""
        seconds = self._seconds(timeout, "stop")
        mount = self._connected("stop")
        try:
            stopping = await self._in_thread(mount, lambda: mount.stop(timeout=seconds))
            await asyncio.shield(asyncio.wrap_future(stopping))
        except MountError as err:
            raise self._error(err, "stop") from None

    # Plumbing.

    def _turn(self) -> asyncio.Lock:
        """One call at a time, in the order they were awaited; made on the loop."""
        if self._lock is None:
            self._lock = asyncio.Lock()
        return self._lock

    def _connected(self, operation: str) -> Mount:
        if self._closed:
            raise ValueError("the attenuator is closed")
        if self._mount is None:
            raise AttenuatorError(PORT_UNAVAILABLE, operation, "not connected")
        return self._mount

    def _seconds(self, timeout: Optional[float], operation: str) -> float:
        seconds = getattr(self, "timeout", DEFAULT_TIMEOUT) if timeout is None else timeout
        if not (isinstance(seconds, (int, float)) and seconds >= 0 and math.isfinite(seconds)):
            raise AttenuatorError(INVALID_ARGUMENT, operation,
                                  f"time-out {timeout!r} is not a number of seconds >= 0")
        return min(float(seconds), _INT32_MAX_S)

    @staticmethod
    def _check_model(operation: str, min_angle: float, span: float) -> None:
        try:
            check_model(min_angle, span)
        except AttenuatorError:
            raise invalid_argument(operation, RANGE_MODEL) from None

    @staticmethod
    def _error(err: MountError, operation: str,
               accepted: Tuple[int, ...] = ()) -> BaseException:
        """The mount's failure as Attenuator raises it."""
        if err.reason == "Closed":
            return ValueError("the attenuator is closed")
        code = err.code if err.code is not None else _code_of(err.reason)
        if code == INVALID_ARGUMENT:
            return (AttenuatorError(code, operation, err.detail) if err.detail or not accepted
                    else invalid_argument(operation, *accepted))
        if code is None:  # the mount's own refusals, which calls taken in turn never meet
            return AttenuatorError(INTERNAL_ERROR, operation, f"{err.reason}: {err.text}")
        # A refusal in FAULT says so; a call that failed on the line is said as Attenuator
        # says it.
        return AttenuatorError(code, operation, err.text if err.code is None else err.detail)

    async def _settle(self) -> None:
        """Waits for a motion cut short to be at rest."""
        halting = self._halting
        if halting is not None and not halting.done():
            await asyncio.shield(halting)

    @staticmethod
    async def _in_thread(mount: Mount, call: Callable[[], _T]) -> _T:
        """A query of the mount on the loop's executor. A cancellation ends the library's wait
        at once; the caller gets CancelledError when the query has returned."""
        future = asyncio.get_running_loop().run_in_executor(None, call)
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            # A cancel made before the call has begun does not reach it: again until it has
            # returned, which a cancelled call does at once.
            while not future.done():
                mount.cancel_query()
                try:
                    await asyncio.wait({future}, timeout=0.02)
                except asyncio.CancelledError:
                    continue
            future.cancelled() or future.exception()
            raise

    async def _query(self, operation: str, timeout: Optional[float],
                     read: Callable[..., MountSnapshot]) -> MountSnapshot:
        seconds = self._seconds(timeout, operation)
        async with self._turn():
            await self._settle()
            mount = self._connected(operation)
            try:
                return await self._in_thread(mount, functools.partial(read, mount,
                                                                      timeout=seconds))
            except MountError as err:
                raise self._error(err, operation) from None

    async def _read(self, operation: str, timeout: Optional[float]) -> MountSnapshot:
        snap = await self._query(operation, timeout, Mount.read_position)
        if snap.steps is None or snap.degrees is None:
            raise AttenuatorError(INTERNAL_ERROR, operation, "the mount knows no position")
        return snap

    async def _motion(self, operation: str, timeout: Optional[float],
                      start: Callable[[Mount, float], Motion],
                      accepted: Tuple[int, ...] = ()) -> None:
        seconds = self._seconds(timeout, operation)
        async with self._turn():
            await self._settle()
            mount = self._connected(operation)
            try:
                motion = start(mount, seconds + _MOTION_MARGIN_S)
            except MountError as err:
                raise self._error(err, operation, accepted) from None
            ended = asyncio.wrap_future(motion)
            # Read whatever comes of it, also after this call has gone.
            ended.add_done_callback(lambda f: f.cancelled() or f.exception())
            try:
                done, _ = await asyncio.wait({ended}, timeout=seconds)
            except asyncio.CancelledError:
                await self._halt(motion)
                raise
            if not done:
                await self._halt(motion)
                raise AttenuatorError(REPLY_TIMEOUT, operation,
                                      "the motion outlasted its time-out and was stopped")
            if ended.cancelled():
                await self._settle_motion(motion)
                raise AttenuatorError(REPLY_TIMEOUT, operation, "stopped by stop()")
            error = ended.exception()
            if isinstance(error, MountError):
                raise self._error(error, operation, accepted) from None
            if error is not None:
                raise error

    async def _halt(self, motion: Motion) -> None:
        """Cuts a motion short: its wait ends and the device's stop goes out at once (off the
        loop: the mount makes sure the cancel reaches the call); returns once the device has
        answered, or after the attenuator's time-out for a device that does not. The stop goes
        on regardless, and the next call waits for it."""

        async def halt() -> None:
            await asyncio.to_thread(motion.cancel)
            await self._settle_motion(motion)

        self._halting = asyncio.ensure_future(halt())
        await asyncio.wait({self._halting}, timeout=self.timeout)

    @staticmethod
    async def _settle_motion(motion: Motion) -> None:
        try:
            await asyncio.shield(asyncio.wrap_future(motion.settled))
        except MountError:
            pass  # the motion's end says it all: the mount's state and snapshot
