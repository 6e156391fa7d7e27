#!/usr/bin/python3
"""Calibrates the transmittance model on a simulated attenuator with a simulated power meter:
sweeps the mount, fits the model to the readings, then sets a transmittance with the parameters
found; draws the fit when asked.

    attenuator-sim --baud 0 --speed 0 &        # prints its port, e.g. /dev/pts/3
    /usr/bin/python3 examples/calibrate.py /dev/pts/3 --plot /tmp/fit.png

Debian's interpreter, /usr/bin/python3, has the numpy, scipy and matplotlib it needs.

The meter plays a beam through an attenuator whose model the fit is not told (min angle 14.2
degrees, span 87.5 degrees, 2.5 mW at most, a background of 1.5 % of that): it asks the device
for the mount's angle and returns the power there, with 1 % noise. With a real attenuator,
read_power is your meter's read function.
"""

import argparse
import sys

import numpy as np

from torvek_attenuator import Attenuator, AttenuatorError, transmittance_curve
from torvek_attenuator.calibrate import report
from torvek_attenuator.calibration import CalibrationError, fit, measure, plot

MIN_ANGLE, SPAN, PEAK_MW, BACKGROUND, NOISE = 14.2, 87.5, 2.5, 0.015, 0.01


class SimulatedMeter:
    """Power in mW at the mount's actual angle."""

    def __init__(self, att: Attenuator, seed: int) -> None:
        self.att = att
        self.rng = np.random.default_rng(seed)

    def __call__(self) -> float:
        angle = self.att.position_deg
        transmittance = transmittance_curve([angle], MIN_ANGLE, SPAN)[0]
        clean = PEAK_MW * (BACKGROUND + (1 - BACKGROUND) * transmittance)
        return clean + PEAK_MW * NOISE * float(self.rng.standard_normal())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="serial port of the attenuator, e.g. /dev/pts/3")
    parser.add_argument("--start", type=float, default=-30.0, help="first angle (default -30)")
    parser.add_argument("--stop", type=float, default=210.0, help="last angle (default 210)")
    parser.add_argument("--step", type=float, default=3.0, help="degrees between readings (3)")
    parser.add_argument("--settle", type=float, default=0.0,
                        help="seconds to wait after each move before reading (default 0)")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw the readings, the fitted curve and the residuals into FILE "
                             "(PNG or SVG, by its extension); without it nothing is drawn")
    parser.add_argument("--csv", metavar="FILE",
                        help="also write the readings into FILE (angle_deg,power)")
    parser.add_argument("--seed", type=int, default=1, help="the meter's noise (default 1)")
    args = parser.parse_args()
    if not args.step > 0 or not args.stop > args.start:
        parser.error("the sweep needs --stop > --start and --step > 0")
    angles = np.arange(args.start, args.stop + args.step / 2, args.step)

    try:
        with Attenuator(args.port) as att:
            meter = SimulatedMeter(att, args.seed)
            readings = measure(att, meter, angles, settle=args.settle)
            # The angles the mount reported: the asked ones truncated to whole motor steps.
            result = fit([r.angle_read for r in readings], [r.power for r in readings])
            if args.plot:
                plot(result, args.plot)
            print(report(result, args.plot))
            print(f"(the meter's model: min angle {MIN_ANGLE}, span {SPAN}, background "
                  f"{PEAK_MW * BACKGROUND:g}, amplitude {PEAK_MW * (1 - BACKGROUND):g})")
            att.set_transmittance(0.5, min_angle=result.min_angle, span=result.angle_span)
            print(f"set_transmittance(0.5): at {att.position_deg:.3f} degrees the meter reads "
                  f"{meter():.4f} mW, the fit expects {float(result.power(att.position_deg)):.4f}")
    except (AttenuatorError, CalibrationError) as error:
        print(f"calibrate: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as interrupt:
        taken = len(getattr(interrupt, "readings", []))
        print(f"calibrate: interrupted after {taken} readings", file=sys.stderr)
        return 130
    if args.csv:
        with open(args.csv, "w", encoding="utf-8") as stream:
            stream.write("# angle the mount reported, power in mW\nangle_deg,power\n")
            stream.writelines(f"{r.angle_read!r},{r.power!r}\n" for r in readings)
    return 0


if __name__ == "__main__":
    sys.exit(main())
