#!/usr/bin/env python3
"""Sweeps the attenuator's transmittance from 0 to 1 and prints what the device reports at
each point: the transmittance asked for, the angle and motor step it moved to, and the
transmittance the model gives there.

    python3 examples/scan.py /dev/ttyUSB0 --min-angle 10 --span 90 --points 11

Run it against the simulated device: start `attenuator-sim --baud 0` and pass the port it
prints.
"""

import argparse
import sys

from torvek_attenuator import Attenuator, AttenuatorError


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="serial port of the attenuator, e.g. /dev/ttyUSB0 or COM3")
    parser.add_argument("--min-angle", type=float, default=0.0,
                        help="angle of zero transmittance, degrees (default 0)")
    parser.add_argument("--span", type=float, default=90.0,
                        help="rotation from zero to full transmittance, degrees (default 90)")
    parser.add_argument("--points", type=int, default=11, help="points of the sweep (default 11)")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="longest wait for each reply, seconds (default 10)")
    args = parser.parse_args()
    if args.points < 2:
        parser.error("--points must be at least 2")

    model = {"min_angle": args.min_angle, "span": args.span}
    try:
        with Attenuator(args.port, timeout=args.timeout) as att:
            info = att.info()
            print(f"# {info.ident_a} {info.ident_b}: {info.steps_per_revolution} steps per "
                  f"{info.degrees_per_revolution} degrees")
            print(f"{'set':>7} {'angle_deg':>10} {'steps':>8} {'measured':>9}")
            for i in range(args.points):
                wanted = i / (args.points - 1)
                att.set_transmittance(wanted, **model)
                print(f"{wanted:7.3f} {att.position_deg:10.4f} {att.position_steps:8d} "
                      f"{att.transmittance(**model):9.5f}")
    except AttenuatorError as err:
        print(f"scan: {err}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
