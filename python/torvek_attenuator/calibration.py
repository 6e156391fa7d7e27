"""Calibrating the transmittance model from measured power.

The library's transmittance calls need the model's two parameters, ``min_angle`` (where the
transmittance is 0) and ``angle_span`` (the rotation from 0 to 1). Sweep the mount with a power
meter in the beam, fit, and pass the result on:

    from torvek_attenuator import Attenuator
    from torvek_attenuator.calibration import fit, measure, plot

    with Attenuator("/dev/ttyUSB0") as att:
        readings = measure(att, meter.read, range(-20, 200, 2), settle=0.2)
        result = fit([r.angle_read for r in readings], [r.power for r in readings])
        plot(result, "fit.png")
        att.set_transmittance(0.5, min_angle=result.min_angle, span=result.angle_span)

The power follows P = background + amplitude * sin^2(90 * (angle - min_angle) / angle_span),
angles in degrees. Needs numpy and scipy; ``plot`` needs matplotlib, ``measure``'s progress
bar tqdm: Debian's packages python3-numpy, python3-scipy, python3-matplotlib and python3-tqdm,
which Debian's own interpreter /usr/bin/python3 has.
"""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import (TYPE_CHECKING, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence,
                    Tuple, Union)

from ._attenuator import Attenuator
from . import _model as _numbers
from ._model import transmittance_curve
from ._requires import require
from ._status import AttenuatorError

if TYPE_CHECKING:
    import numpy as np
else:
    np = require("numpy", "python3-numpy", __name__)

__all__ = [
    "Calibration",
    "CalibrationError",
    "MIN_POINTS",
    "MeasurementError",
    "Reading",
    "fit",
    "measure",
    "plot",
]

#: The fewest different angles a fit takes: four parameters, and readings left over to judge
#: the fit by.
MIN_POINTS = 6

# A sweep must cover at least this share of the span found: less than one span shows a part of
# the curve that other spans fit nearly as well.
_MIN_SWEEP_SPANS = 0.9
# Fewer readings per span than this and a faster curve (an alias) fits the same points.
_MIN_POINTS_PER_SPAN = 2.0
# The fitted curve must explain at least this share of the readings' variance.
_MIN_EXPLAINED = 0.5
# The coarse search tries spans up to this many times the sweep's length, so that a sweep far
# shorter than the span is found out rather than fitted at the longest span tried.
_LONGEST_SPAN_SWEEPS = 3.0
# Frequency step of the coarse search, in cycles over the sweep: the phase at the sweep's ends
# is off by at most a quarter of pi between neighbouring candidates.
_FREQUENCY_STEP = 1.0 / 8.0
# At most this many candidates: dense sweeps give up the shortest spans (below about 1/1000 of
# the sweep) rather than the step.
_MAX_CANDIDATES = 8192
# Candidates times readings worked on at once, which bounds the memory the search takes.
_BLOCK = 1 << 20
# The best local minima of the coarse search that are refined; noise can put the true one
# second.
_REFINED = 3



# Measuring.


class Reading(NamedTuple):
    """One point of a sweep: the angle asked for, the angle the mount reported after the move
    (both in degrees) and the power the meter read there."""

    angle: float
    angle_read: float
    power: float


class MeasurementError(AttenuatorError):
    """A move or a position read failed during :func:`measure`.

    ``code``, ``name`` and ``operation`` are the failed call's (see AttenuatorError; the
    original error is the ``__cause__``); ``readings`` holds the readings taken before it and
    ``angle`` the angle the sweep was at.
    """

    def __init__(self, error: AttenuatorError, readings: List[Reading], angle: float,
                 total: int) -> None:
        stopped = (f"the sweep stopped at {angle:g} degrees after {len(readings)} of {total} "
                   "readings")
        super().__init__(error.code, error.operation,
                         f"{error.detail}; {stopped}" if error.detail else stopped)
        self.readings = readings
        self.angle = angle


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced by an object without a descriptor, closed
        return False


def measure(att: Attenuator, read_power: Callable[[], float], angles: Iterable[float],
            settle: float = 0.0, *, timeout: Optional[float] = None) -> List[Reading]:
    """Moves the mount to each angle in turn (degrees, -360 < angle < 360, in the order given),
    waits ``settle`` seconds, calls ``read_power()`` and reads the mount's angle back.

    Returns a :class:`Reading` per angle. ``timeout`` is each call's time-out in seconds
    (default: the attenuator's). On a terminal a progress bar shows on stderr.

    A failed move or position read raises :class:`MeasurementError` (an AttenuatorError with
    the failed call's code) at once. Whatever else ends the sweep early (Ctrl-C, an error of the
    meter) propagates as it is. Either way the exception's ``readings`` attribute holds the
    readings taken so far.
    """
    targets = [float(angle) for angle in angles]
    settle = float(settle)
    if not (settle >= 0.0 and math.isfinite(settle)):
        raise ValueError(f"settle {settle!r} is not a number of seconds >= 0")
    tqdm = require("tqdm", "python3-tqdm", __name__).tqdm

    readings: List[Reading] = []
    progress = tqdm(total=len(targets), desc="sweep", unit="point", file=sys.stderr,
                    disable=not _stderr_is_terminal(), leave=False, dynamic_ncols=True)
    try:
        for angle in targets:
            try:
                att.move_to(angle, timeout=timeout)
                if settle:
                    time.sleep(settle)
                power = float(read_power())
                angle_read = att.get_position_deg(timeout=timeout)
            except AttenuatorError as error:
                raise MeasurementError(error, list(readings), angle, len(targets)) from error
            readings.append(Reading(angle, angle_read, power))
            progress.set_postfix_str(f"{angle_read:.2f} deg, power {power:.4g}", refresh=False)
            progress.update()
    except BaseException as error:
        if not isinstance(error, MeasurementError):
            try:
                error.readings = list(readings)  # type: ignore[attr-defined]
            except AttributeError:  # an exception type that takes no attributes
                pass
        raise
    finally:
        progress.close()
    return readings


# Fitting.


class CalibrationError(ValueError):
    """The readings cannot give the model's parameters; the message says why."""


@dataclass(frozen=True, eq=False)
class Calibration:
    """The fitted model P = background + amplitude * sin^2(90 * (angle - min_angle) /
    angle_span), with each parameter's standard error (``*_err``, from the fit's covariance
    scaled by the residuals), and the readings it was fitted to.

    ``min_angle`` and ``angle_span`` are what SetTransmittance / set_transmittance take.
    ``extinction_ratio`` is background / (background + amplitude), the least share of the
    greatest power the attenuator lets through; ``residual_rms`` is in the meter's unit.
    """

    min_angle: float
    angle_span: float
    background: float
    amplitude: float
    extinction_ratio: float
    residual_rms: float
    min_angle_err: float
    angle_span_err: float
    background_err: float
    amplitude_err: float
    angles: np.ndarray = field(repr=False)
    powers: np.ndarray = field(repr=False)

    #: The keys of :meth:`parameters`, in order.
    KEYS = ("min_angle", "angle_span", "background", "amplitude", "extinction_ratio",
            "residual_rms", "min_angle_err", "angle_span_err", "background_err", "amplitude_err")

    def transmittance(self, angles: Union[float, Sequence[float], np.ndarray]) -> np.ndarray:
        """The model's transmittance (0 to 1) at ``angles`` (degrees): the library's model,
        in double precision (the attenuator narrows it to a C float)."""
        return transmittance_curve(np.asarray(angles, dtype=float), self.min_angle,
                                   self.angle_span)

    def power(self, angles: Union[float, Sequence[float], np.ndarray]) -> np.ndarray:
        """The fitted power at ``angles`` (degrees)."""
        return self.background + self.amplitude * self.transmittance(angles)

    def residuals(self) -> np.ndarray:
        """Readings minus the fitted power, in the order of ``angles``."""
        return self.powers - self.power(self.angles)

    def parameters(self) -> Dict[str, float]:
        """The fitted values and standard errors by name (see ``KEYS``)."""
        return {key: float(getattr(self, key)) for key in self.KEYS}

    def model(self) -> Tuple[float, float]:
        """(min_angle, angle_span) as the settings give them, to four decimals: what
        :meth:`attenuatorctl_options` and a Tango property line would set."""
        return round(float(self.min_angle), 4), round(float(self.angle_span), 4)

    def attenuatorctl_options(self) -> str:
        """The model options for attenuatorctl's transmittance commands."""
        return "--min-angle {:.4f} --span {:.4f}".format(*self.model())


def _checked(angles: object, powers: object) -> Tuple[np.ndarray, np.ndarray]:
    try:
        x = np.array(angles, dtype=float)
        y = np.array(powers, dtype=float)
    except (TypeError, ValueError) as error:
        raise CalibrationError(f"the readings are not numbers: {error}") from None
    if x.ndim != 1 or y.ndim != 1:
        raise CalibrationError("angles and powers must each be a sequence of numbers")
    if len(x) != len(y):
        raise CalibrationError(f"{len(x)} angles but {len(y)} powers")
    for name, values in (("angle", x), ("power", y)):
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            raise CalibrationError(
                f"{bad.size} {name}{'s are' if bad.size > 1 else ' is'} not a finite number "
                f"(the first is reading {bad[0] + 1}: {values[bad[0]]})")
    distinct = np.unique(x).size
    if distinct < MIN_POINTS:
        raise CalibrationError(
            f"too few readings: {distinct} different angles, at least {MIN_POINTS} needed")
    if np.ptp(y) == 0.0:
        raise CalibrationError(f"no contrast: every power reads {y[0]:g}")
    return x, y


def _model(x: np.ndarray, background: float, amplitude: float, low: float,
           span: float) -> np.ndarray:
    return background + amplitude * transmittance_curve(x, low, span)


def _jacobian(x: np.ndarray, background: float, amplitude: float, low: float,
              span: float) -> np.ndarray:
    """The model's derivatives by its four parameters, by central differences of the
    library's model: the fit needs no formula of its own."""
    p = np.array([background, amplitude, low, span], dtype=float)
    columns = []
    for i in range(4):
        step = 1e-6 * max(abs(p[i]), 1.0)
        up, down = p.copy(), p.copy()
        up[i] += step
        down[i] -= step
        columns.append((_model(x, *up) - _model(x, *down)) / (2.0 * step))
    return np.column_stack(columns)


def _coarse_search(x: np.ndarray, y: np.ndarray, length: float,
                   spacing: float) -> List[np.ndarray]:
    """Spans where a sinusoid of period 2*span fits best, each with (background, amplitude,
    min_angle) from linear least squares: P = c0 + c1 cos(w x) + c2 sin(w x) is linear in c for
    a given w = pi / span. Frequencies in cycles per degree, from the longest span tried to
    about one reading per span (beyond that, aliases fit as well)."""
    step = _FREQUENCY_STEP / length
    lowest = 1.0 / (2.0 * _LONGEST_SPAN_SWEEPS * length)
    count = min(_MAX_CANDIDATES, max(16, math.ceil((0.5 / spacing - lowest) / step) + 1))
    frequencies = lowest + step * np.arange(count)
    chunk = max(1, _BLOCK // len(x))
    yc = y - y.mean()
    total = float(yc @ yc)
    left = np.empty(count)
    coefficients = np.empty((count, 2))
    for start in range(0, count, chunk):
        f = frequencies[start:start + chunk, None]
        c = np.cos(2.0 * np.pi * f * x)
        s = np.sin(2.0 * np.pi * f * x)
        c -= c.mean(axis=1, keepdims=True)
        s -= s.mean(axis=1, keepdims=True)
        cc, ss, cs = (c * c).sum(1), (s * s).sum(1), (c * s).sum(1)
        yc_c, yc_s = c @ yc, s @ yc
        det = cc * ss - cs * cs
        usable = det > 1e-12 * np.maximum(cc * ss, 1e-300)
        det = np.where(usable, det, 1.0)
        c1 = (ss * yc_c - cs * yc_s) / det
        c2 = (cc * yc_s - cs * yc_c) / det
        explained = np.where(usable, c1 * yc_c + c2 * yc_s, 0.0)
        left[start:start + chunk] = total - explained
        coefficients[start:start + chunk] = np.column_stack([c1, c2])
    # Local minima of what is left unexplained, best first.
    padded = np.concatenate([[np.inf], left, [np.inf]])
    minima = np.flatnonzero((padded[1:-1] <= padded[:-2]) & (padded[1:-1] < padded[2:]))
    minima = minima[np.argsort(left[minima], kind="stable")][:_REFINED]
    starts = []
    for index in minima:
        f = frequencies[index]
        c1, c2 = coefficients[index]
        span = 0.5 / f
        amplitude = 2.0 * math.hypot(c1, c2)
        # c1 cos(wx) + c2 sin(wx) = -(amplitude/2) cos(w (x - low))
        low = math.atan2(-c2, -c1) / (2.0 * np.pi * f)
        mean_cos = float(np.mean(np.cos(2.0 * np.pi * f * (x - low))))
        background = float(y.mean()) - amplitude / 2.0 + amplitude / 2.0 * mean_cos
        starts.append(np.array([background, amplitude, low, span]))
    return starts


def _refine(x: np.ndarray, y: np.ndarray, start: np.ndarray) -> Optional[np.ndarray]:
    least_squares = require("scipy.optimize", "python3-scipy", __name__).least_squares

    def residuals(p: np.ndarray) -> np.ndarray:
        return _model(x, *p) - y

    def jacobian(p: np.ndarray) -> np.ndarray:
        return _jacobian(x, *p)

    try:
        solution = least_squares(residuals, start, jac=jacobian, method="lm", x_scale="jac",
                                 xtol=1e-12, ftol=1e-12, gtol=1e-12, max_nfev=2000)
    except (ValueError, np.linalg.LinAlgError):
        return None
    if not np.all(np.isfinite(solution.x)) or solution.x[3] == 0.0:
        return None
    return solution.x


def _normalised(p: np.ndarray) -> np.ndarray:
    """The same curve with span > 0 and amplitude >= 0."""
    background, amplitude, low, span = p
    span = abs(span)  # sin^2 is even
    if amplitude < 0:
        # b + a sin^2(t) = (b + a) + |a| sin^2(t + pi/2): the minima are the old maxima.
        background, amplitude, low = background + amplitude, -amplitude, low - span
    return np.array([background, amplitude, low, span])


def _chosen_minimum(low: float, span: float, middle: float) -> float:
    """Among the equivalent minima low + 2 * span * k, the one nearest the sweep's middle
    that SetTransmittance accepts (min_angle > -360, min_angle + span < 360), or the nearest
    to the middle when none does. The nearest to the middle lies inside the sweep whenever any
    accepted one does; a tie goes to the larger angle."""
    period = 2.0 * span
    limit = _numbers.MAX_DEGREES  # SetTransmittance's: min_angle > -limit, min_angle + span < limit
    nearest = math.floor((middle - low) / period + 0.5)
    first = math.floor((-limit - low) / period) + 1
    last = math.ceil((limit - span - low) / period) - 1
    if first <= last:
        nearest = min(max(nearest, first), last)
    return low + period * nearest


def fit(angles: Sequence[float], powers: Sequence[float]) -> Calibration:
    """Fits P = background + amplitude * sin^2(90 * (angle - min_angle) / angle_span) to
    readings (angles in degrees, in any order, repeats allowed; powers in any unit).

    No starting values are needed: a search over spans, linear in the other parameters,
    finds them. The answer is unique: span > 0, amplitude >= 0, and of the minima that repeat
    every 2 * span, the one nearest the middle of the sweep that SetTransmittance accepts
    (min_angle > -360 and min_angle + span < 360; then it lies inside the sweep whenever such a
    minimum does), or the nearest to the middle when none is accepted.

    Raises CalibrationError for readings that cannot give an answer: mismatched lengths, NaN or
    infinite values, fewer than MIN_POINTS different angles, no contrast (every power alike,
    or a best curve that explains less than half of their variation), a sweep shorter than
    about one span, or fewer than two readings per span.
    """
    x, y = _checked(angles, powers)
    low_end, high_end = float(x.min()), float(x.max())
    length = high_end - low_end
    middle = 0.5 * (low_end + high_end)
    spacing = float(np.median(np.diff(np.unique(x))))
    # Angles about the sweep's middle: min_angle then moves least with the span, and the fit
    # and its covariance stay well conditioned for sweeps far from 0.
    xc = x - middle

    best: Optional[np.ndarray] = None
    best_cost = math.inf
    for start in _coarse_search(xc, y, length, spacing):
        solution = _refine(xc, y, start)
        if solution is None:
            continue
        cost = float(np.sum((_model(xc, *solution) - y) ** 2))
        if cost < best_cost:
            best, best_cost = solution, cost
    if best is None:
        raise CalibrationError("the fit did not converge")
    background, amplitude, low, span = _normalised(best)
    low = _chosen_minimum(low + middle, span, middle) - middle
    p = np.array([background, amplitude, low, span])

    residual = y - _model(xc, *p)
    total = float(np.sum((y - y.mean()) ** 2))
    explained = 1.0 - float(residual @ residual) / total
    if explained < _MIN_EXPLAINED:
        raise CalibrationError(
            f"no contrast above the noise: the best curve explains {explained:.0%} of the "
            f"readings' variation")

    if length < _MIN_SWEEP_SPANS * span:
        raise CalibrationError(
            f"the sweep covers {length:g} degrees, less than one span (about {span:.3g} "
            f"degrees): sweep at least one span, better two")
    if span < _MIN_POINTS_PER_SPAN * spacing:
        raise CalibrationError(
            f"fewer than two readings per span: {spacing:g} degrees between readings for a "
            f"span of about {span:.3g} degrees; sweep in smaller steps")
    # Standard errors from the Jacobian at the chosen minimum: its distance from the sweep
    # grows the min_angle error with the span's.
    dof = len(y) - 4
    variance = float(residual @ residual) / dof if dof > 0 else math.inf
    pseudo_inverse = np.linalg.pinv(_jacobian(xc, *p))
    errors = np.sqrt(variance * np.sum(pseudo_inverse ** 2, axis=1))
    if not np.all(np.isfinite(errors)):
        raise CalibrationError("the readings do not determine every parameter")
    peak = background + amplitude
    return Calibration(
        min_angle=float(low + middle),
        angle_span=float(span),
        background=float(background),
        amplitude=float(amplitude),
        extinction_ratio=float(background / peak) if peak != 0 else math.inf,
        residual_rms=float(math.sqrt(residual @ residual / len(y))),
        min_angle_err=float(errors[2]),
        angle_span_err=float(errors[3]),
        background_err=float(errors[0]),
        amplitude_err=float(errors[1]),
        angles=x,
        powers=y,
    )


# Plotting.

_FORMATS = {".png": "png", ".svg": "svg"}


def plot_format(path: "Union[str, os.PathLike[str]]") -> str:
    """"png" or "svg" by the file's extension; ValueError for any other."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in _FORMATS:
        raise ValueError(f"{os.fspath(path)!r}: the plot's file name must end in .png or .svg")
    return _FORMATS[suffix]


def plot(result: Calibration, path: "Union[str, os.PathLike[str]]") -> None:
    """Draws the readings and the fitted curve above, the residuals below, into ``path``: PNG
    or SVG by its extension. No display is needed."""
    file_format = plot_format(path)
    # Draws with Agg, without pyplot's global state.
    Figure = require("matplotlib.figure", "python3-matplotlib", __name__).Figure

    figure = Figure(figsize=(9.6, 5.6), dpi=100, layout="constrained")
    top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    low_end, high_end = float(result.angles.min()), float(result.angles.max())
    margin = 0.02 * (high_end - low_end)
    curve = np.linspace(low_end - margin, high_end + margin, 1000)

    summary = (
        f"fit: min angle {result.min_angle:.3f} ± {result.min_angle_err:.3f}°\n"
        f"span {result.angle_span:.3f} ± {result.angle_span_err:.3f}°\n"
        f"background {result.background:.4g} ± {result.background_err:.2g}\n"
        f"amplitude {result.amplitude:.4g} ± {result.amplitude_err:.2g}\n"
        f"extinction ratio {result.extinction_ratio:.3g}")
    top.plot(result.angles, result.powers, "o", color="tab:orange", ms=4, mec="none",
             label=f"{len(result.angles)} readings", zorder=3)
    top.plot(curve, result.power(curve), "-", color="tab:blue", lw=1.6, label=summary,
             zorder=2)
    for angle, text in ((result.min_angle, "min angle"),
                        (result.min_angle + result.angle_span, "min angle + span")):
        if low_end - margin <= angle <= high_end + margin:
            top.axvline(angle, color="0.4", ls="--", lw=0.9, zorder=1)
            top.annotate(text, (angle, 1.0), xycoords=("data", "axes fraction"),
                         xytext=(3, -3), textcoords="offset points", va="top", fontsize=8,
                         color="0.3")
    top.set_ylabel("power")
    top.set_title("Transmittance model P = background + amplitude sin²(90° (angle − min angle)"
                  " / span)", fontsize=10)
    # Beside the plot, where it hides no reading.
    top.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    top.grid(alpha=0.3)

    bottom.axhline(0.0, color="tab:blue", lw=1.0)
    bottom.plot(result.angles, result.residuals(), "o", color="tab:orange", ms=3, mec="none")
    bottom.set_ylabel("residual")
    bottom.set_xlabel("mount angle (degrees)")
    bottom.grid(alpha=0.3)
    bottom.text(1.02, 1.0, f"readings − fit\nrms {result.residual_rms:.3g}",
                transform=bottom.transAxes, ha="left", va="top", fontsize=8)
    figure.savefig(os.fspath(path), format=file_format)
