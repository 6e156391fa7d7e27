#!/usr/bin/python3
"""How well and how fast torvek_attenuator.calibration.fit recovers the transmittance model.

    PYTHONPATH=build/python /usr/bin/python3 bench/calibration_fit.py [--quick]

Synthetic sweeps of 100 readings over a grid of models (min angle, span), sweep lengths,
sweep starts on either side of a minimum, backgrounds and noise levels; for each, the error of
the recovered min angle (to the nearest equivalent minimum: they repeat every 2 spans) and span,
and how often the error exceeds four of the fit's own standard errors. Then the time of one
fit of 100 readings. About 15 s (--quick: 2 s).
"""

from __future__ import annotations

import argparse
import itertools
import os
import statistics
import time

import numpy as np

from torvek_attenuator import transmittance_curve
from torvek_attenuator.calibration import CalibrationError, fit

MIN_ANGLES = [-300.0, -150.0, -20.0, 0.0, 45.0, 170.0, 280.0]
SPANS = [3.0, 8.0, 20.0, 45.0, 90.0, 135.0, 180.0]
SWEEP_SPANS = [1.2, 2.0, 3.0]
STARTS = [-0.3, 0.3]  # the sweep starts this many spans before (-) or after (+) a minimum
BACKGROUNDS = [0.0, 0.05, 0.10]  # of the greatest power
NOISES = [0.0, 0.01, 0.05]  # standard deviation, of the greatest power
POINTS = 100


def sweep(low: float, span: float, start_spans: float, sweep_spans: float) -> np.ndarray:
    start = low + start_spans * span
    stop = start + sweep_spans * span
    # Kept within the mount's -360..360 by whole periods: the curve looks the same.
    period = 2.0 * span
    while stop > 359.0:
        start, stop = start - period, stop - period
    while start < -359.0:
        start, stop = start + period, stop + period
    return np.linspace(start, stop, POINTS)


def powers(x: np.ndarray, low: float, span: float, background: float, noise: float,
           rng: np.random.Generator) -> np.ndarray:
    clean = background + (1.0 - background) * transmittance_curve(x, low, span)
    return clean + noise * rng.standard_normal(x.size)


def angle_error(found: float, low: float, span: float) -> float:
    period = 2.0 * span
    return abs((found - low + span) % period - span)


def errors(rows: list) -> str:
    """Median / worst of the min angle's and the span's errors, as shares of the span."""
    low, span = [row[1] for row in rows], [row[3] for row in rows]
    return (f"{statistics.median(low):9.1e} / {max(low):7.1e} "
            f"{statistics.median(span):9.1e} / {max(span):7.1e}")


# Sweep kinds of the summary: (sweep length in spans, start) -> chosen.
KINDS = {
    "2 or 3 spans": lambda spans, start: spans >= 2,
    "1.2 spans, a minimum inside": lambda spans, start: spans < 2 and start < 0,
    "1.2 spans, no minimum inside": lambda spans, start: spans < 2 and start > 0,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small grid and few timings")
    args = parser.parse_args()
    rng = np.random.default_rng(20261208)
    spans = SPANS[::3] if args.quick else SPANS
    lows = MIN_ANGLES[::3] if args.quick else MIN_ANGLES

    print(f"load average at start: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    groups = {}
    refused = []
    for low, span, sweep_spans, start, background, noise in itertools.product(
            lows, spans, SWEEP_SPANS, STARTS, BACKGROUNDS, NOISES):
        x = sweep(low, span, start, sweep_spans)
        try:
            result = fit(x, powers(x, low, span, background, noise, rng))
        except CalibrationError as error:
            refused.append((low, span, sweep_spans, start, background, noise, str(error)))
            continue
        d_low = angle_error(result.min_angle, low, span)
        d_span = abs(result.angle_span - span)
        beyond = noise > 0 and (d_low > 4 * result.min_angle_err
                                or d_span > 4 * result.angle_span_err)
        groups.setdefault((sweep_spans, start, noise), []).append(
            (d_low, d_low / span, d_span, d_span / span, beyond))

    print(f"\nRecovery: {len(lows)} min angles x {len(spans)} spans ({', '.join(map(str, spans))}"
          f" degrees) x {len(STARTS)} starts x {len(BACKGROUNDS)} backgrounds (0 to 10 %), "
          f"{POINTS} readings each")
    print("errors as a share of the span, median / worst; 'beyond': fits off by more than four")
    print("of their own standard errors")
    print("sweep: its length in spans, and where it starts: 0.3 spans before a minimum or after")
    print(f"{'sweep':>15} {'noise':>6} {'fits':>5} {'min angle':>19} {'span':>19} {'beyond':>7}")
    for (sweep_spans, start, noise), rows in sorted(groups.items()):
        side = "before" if start < 0 else "after"
        print(f"{sweep_spans:5.1f} s {side:>7} {noise:6.0%} {len(rows):5d} {errors(rows)} "
              f"{sum(row[4] for row in rows):7d}")
    print("\nthe same, gathered")
    for kind, chosen in KINDS.items():
        for noise in NOISES:
            rows = [row for (sweep_spans, start, level), group in groups.items()
                    if level == noise and chosen(sweep_spans, start) for row in group]
            print(f"{kind:>28} {noise:4.0%} {len(rows):5d} {errors(rows)}")
    everything = [row for rows in groups.values() for row in rows]
    low, span = [row[0] for row in everything], [row[2] for row in everything]
    print(f"all {len(everything)} fits, in degrees: min angle median "
          f"{statistics.median(low):.2e} worst {max(low):.2e}; span median "
          f"{statistics.median(span):.2e} worst {max(span):.2e}")
    print(f"refused: {len(refused)}")
    for case in refused:
        print("  ", case)

    x = np.linspace(-20.0, 200.0, POINTS)
    cpu = time.process_time()
    y = powers(x, 10.0, 90.0, 0.02, 0.01, rng)
    fit(x, y)  # imports scipy
    times = []
    for _ in range(20 if args.quick else 200):
        begin = time.perf_counter()
        fit(x, y)
        times.append((time.perf_counter() - begin) * 1e3)
    cpu = (time.process_time() - cpu) / (len(times) + 1) * 1e3
    times.sort()
    print(f"\nOne fit of {POINTS} readings ({len(times)} fits): median "
          f"{statistics.median(times):.2f} ms, p90 {times[int(0.9 * len(times)) - 1]:.2f} ms, "
          f"max {times[-1]:.2f} ms; CPU time {cpu:.2f} ms per fit")
    print(f"load average at end: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
