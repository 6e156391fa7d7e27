"""The calibration sweep, on a thread of its own: the calibration module's measure(), one
angle at a time so that each reading and the fit so far reach the window as they come.

It moves the mount through the window's Mount, not through an Attenuator of its own. A second
handler on the port would fight the Mount for the line (the device answers whoever asks last),
and closing the Mount for the sweep would leave the window blind and without its Stop. Through
the Mount, every point is a motion like any other: the state, the dial and Stop work as they
always do, and a Stop ends the motion under way and, with it, the sweep."""

from __future__ import annotations

import queue
import threading
from concurrent.futures import CancelledError
from typing import Callable, List, Optional, Sequence, Tuple

from .. import Mount, MountError, transmittance_curve
from ..calibration import Calibration, CalibrationError, Reading, fit, measure

Meter = Callable[[], float]


class SweepStopped(Exception):
    """Stop, or the window closing, ended the sweep."""


class MountAsAttenuator:
    """What measure() asks of an attenuator, done through the Mount: ``move_to`` is a Mount
    motion, waited for; ``get_position_deg`` the position the Mount read back when that motion
    ended (measure reads the angle after the meter, and nothing moves the mount in between, so
    the line is not asked a second time)."""

    def __init__(self, mount: Mount) -> None:
        self.mount = mount

    def move_to(self, degrees: float, *, timeout: Optional[float] = None) -> None:
        # The Mount ends every motion within its own motion_timeout; this bound only keeps a
        # fault of ours from holding the sweep's thread for good.
        self.mount.move_to(degrees).result(timeout=self.mount.motion_timeout + 5.0)

    def get_position_deg(self, *, timeout: Optional[float] = None) -> float:
        degrees = self.mount.snapshot().degrees
        if degrees is None:
            raise MountError("NoValue", "the mount knows no position after the move")
        return degrees


class SimulatedMeter:
    """A power meter in a beam through an attenuator whose model the fit is not told (that of
    examples/calibrate.py): the power at the angle the mount reports, in mW, with noise."""

    MIN_ANGLE, SPAN, PEAK_MW, BACKGROUND, NOISE = 14.2, 87.5, 2.5, 0.015, 0.01

    def __init__(self, mount: Mount, seed: int = 1) -> None:
        import numpy as np

        self.mount = mount
        self._random = np.random.default_rng(seed)

    def __call__(self) -> float:
        degrees = self.mount.snapshot().degrees
        transmittance = transmittance_curve([degrees], self.MIN_ANGLE, self.SPAN)[0]
        clean = self.PEAK_MW * (self.BACKGROUND + (1.0 - self.BACKGROUND) * transmittance)
        return clean + self.PEAK_MW * self.NOISE * float(self._random.standard_normal())

    def cancel(self) -> None:
        pass


class TypedMeter:
    """The power a person reads off a meter and types in: at each point the sweep asks
    (``ask(degrees)``) and waits for :meth:`enter`, or for :meth:`cancel`."""

    def __init__(self, mount: Mount, ask: Callable[[float], None]) -> None:
        self.mount, self.ask = mount, ask
        self._values: "queue.Queue[Optional[float]]" = queue.Queue()

    def __call__(self) -> float:
        self.ask(self.mount.snapshot().degrees)
        value = self._values.get()
        if value is None:
            raise SweepStopped()
        return value

    def enter(self, power: float) -> None:
        self._values.put(float(power))

    def cancel(self) -> None:
        self._values.put(None)


def fitted(readings: Sequence[Reading]) -> Tuple[Optional[Calibration], str]:
    """The fit of the readings so far, or why there is none yet."""
    try:
        return fit([r.angle_read for r in readings], [r.power for r in readings]), ""
    except CalibrationError as err:
        return None, str(err)


class Sweep:
    """Moves to each angle in turn, reads the meter there and fits after every reading.
    ``on_point(readings, fit, why_no_fit)`` after each reading, ``on_end(readings, fit,
    why_no_fit, why_ended)`` once at the end: the fit of everything read, and why the sweep
    ended early ("" when it did not). Both are called on the sweep's thread."""

    def __init__(self, mount: Mount, angles: Sequence[float], meter: Meter, settle: float,
                 on_point: Callable[[List[Reading], Optional[Calibration], str], None],
                 on_end: Callable[[List[Reading], Optional[Calibration], str, str], None]
                 ) -> None:
        self.mount, self.angles, self.meter, self.settle = mount, list(angles), meter, settle
        self.on_point, self.on_end = on_point, on_end
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._run, name="attenuator-gui sweep",
                                        daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Ends the sweep after the reading under way (the mount's Stop ends a motion)."""
        self._stopped.set()
        cancel = getattr(self.meter, "cancel", None)
        if cancel is not None:
            cancel()

    def join(self, bound: float) -> None:
        self._thread.join(bound)

    def _run(self) -> None:
        readings: List[Reading] = []
        attenuator = MountAsAttenuator(self.mount)
        why = ""
        try:
            for angle in self.angles:
                if self._stopped.is_set():
                    raise SweepStopped()
                readings += measure(attenuator, self.meter, [angle], self.settle)  # type: ignore
                self.on_point(list(readings), *fitted(readings))
        except (SweepStopped, CancelledError):
            why = f"stopped after {len(readings)} of {len(self.angles)} readings"
        except MountError as err:
            why = err.text + (f"\nWhat to do: {err.hint}" if err.hint else "")
        except Exception as err:  # the meter's own failure ends the sweep, said as it is
            why = f"the sweep ended: {err!r}"
        self.on_end(list(readings), *fitted(readings), why)
