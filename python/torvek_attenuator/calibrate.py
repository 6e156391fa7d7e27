"""Fits the transmittance model to a sweep's power readings and prints the parameters.

    python3 -m torvek_attenuator.calibrate readings.csv [--plot fit.png] [--json]

The CSV file has a header line naming the columns ``angle_deg`` and ``power`` (other columns
are ignored), then one reading per line; blank lines and everything after a ``#`` are skipped.

Exit codes, in the family of attenuatorctl's: 0 fitted, 2 usage (an unknown or missing option
or argument, a plot name that ends neither in .png nor .svg), 3 the readings file cannot be
read, 8 the output or the plot cannot be written, 9 the readings cannot give a calibration (a
malformed line, or data the fit refuses).
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import sys
from typing import List, NoReturn, Optional, Sequence, TextIO, Tuple

from .calibration import Calibration, CalibrationError, fit, plot, plot_format

NAME = "calibrate"
PROGRAM = "python3 -m torvek_attenuator.calibrate"

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_UNREADABLE = 3
EXIT_OUTPUT = 8
EXIT_UNUSABLE = 9

_HELP_HINT = f"{PROGRAM} --help lists what it takes"
_DATA_HINT = ("the file needs a header line with angle_deg and power, then at least 6 "
              "readings over at least one span of the mount, with contrast above the noise")


class Failure(Exception):
    """Ends the run with an exit code, a message and a hint."""

    def __init__(self, exit_code: int, message: str, hint: str) -> None:
        super().__init__(message)
        self.exit_code = exit_code
        self.hint = hint


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise Failure(EXIT_USAGE, message, _HELP_HINT)


def read_readings(path: str) -> Tuple[List[float], List[float]]:
    """The angle_deg and power columns of a readings file. Raises Failure."""
    try:
        with open(path, encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise Failure(EXIT_UNREADABLE, f"cannot read {path}: {error.strerror or error}",
                      "name an existing, readable CSV file of angle_deg,power readings")
    except UnicodeDecodeError:
        raise Failure(EXIT_UNUSABLE, f"{path} is not UTF-8 text", _DATA_HINT)
    header: Optional[List[str]] = None
    angles: List[float] = []
    powers: List[float] = []
    for number, line in enumerate(lines, 1):
        content = line.split("#", 1)[0].strip()
        if not content:
            continue
        cells = [cell.strip() for cell in content.split(",")]
        if header is None:
            if "angle_deg" not in cells or "power" not in cells:
                raise Failure(EXIT_UNUSABLE,
                              f"{path} line {number}: the header must name the columns "
                              f"angle_deg and power, not {content!r}", _DATA_HINT)
            header = cells
            columns = cells.index("angle_deg"), cells.index("power")
            continue
        if len(cells) != len(header):
            raise Failure(EXIT_UNUSABLE, f"{path} line {number}: {len(cells)} fields, the "
                          f"header has {len(header)}", _DATA_HINT)
        try:
            angles.append(float(cells[columns[0]]))
            powers.append(float(cells[columns[1]]))
        except ValueError:
            raise Failure(EXIT_UNUSABLE, f"{path} line {number}: {content!r} is not two "
                          f"numbers", _DATA_HINT) from None
    if header is None:
        raise Failure(EXIT_UNUSABLE, f"{path} holds no header line (angle_deg,power)",
                      _DATA_HINT)
    return angles, powers


def _finite(value: float) -> Optional[float]:
    return value if math.isfinite(value) else None


def report(result: Calibration, plot_path: Optional[str]) -> str:
    """The parameters and how to use them, for people."""
    rows = [
        ("min angle", result.min_angle, result.min_angle_err, " degrees"),
        ("span", result.angle_span, result.angle_span_err, " degrees"),
        ("background", result.background, result.background_err, ""),
        ("amplitude", result.amplitude, result.amplitude_err, ""),
    ]
    lines = [f"{name:<17} {value:.4f} ± {error:.4f}{unit}" for name, value, error, unit in rows]
    low, high = result.angles.min(), result.angles.max()
    lines += [
        f"{'extinction ratio':<17} {result.extinction_ratio:.4g}",
        f"{'residual rms':<17} {result.residual_rms:.4g} ({len(result.angles)} readings, "
        f"{low:g} to {high:g} degrees)",
    ]
    if plot_path:
        lines.append(f"{'plot':<17} {plot_path}")
    lines += [
        f"attenuatorctl options: {result.attenuatorctl_options()}",
        f"  e.g. attenuatorctl --port PORT transmittance set 0.5 "
        f"{result.attenuatorctl_options()}",
    ]
    return "\n".join(lines)


def _drop_unwritten(stream: TextIO) -> None:
    """After a failed write to `stream`: what could not be written stays in its buffer, and the
    interpreter's own flush at exit would fail on it again and turn the exit code into 120. The
    stream's descriptor is pointed at the null device, so that flush has nowhere to fail."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    try:
        os.dup2(null, stream.fileno())
    except (OSError, ValueError, io.UnsupportedOperation):
        pass  # not a stream with a descriptor (a test's StringIO): nothing is flushed at exit
    finally:
        os.close(null)


def _emit_failure(failure: Failure, as_json: bool, stdout: TextIO, stderr: TextIO) -> int:
    if as_json:
        text = json.dumps({"command": NAME, "result": "error", "error": str(failure),
                           "hint": failure.hint, "exit_code": failure.exit_code},
                          separators=(",", ":"))
        try:
            print(text, file=stdout, flush=True)
        except OSError:
            _drop_unwritten(stdout)  # the message below says what went wrong
    print(f"{NAME}: {failure}", file=stderr)
    if failure.hint:
        print(f"  hint: {failure.hint}", file=stderr)
    return failure.exit_code


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None,
         stderr: Optional[TextIO] = None) -> int:
    """Runs the command line; returns the exit code."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    # A usage error can come before --json is parsed; a script that asked for JSON gets it.
    as_json = "--json" in arguments[:arguments.index("--")] if "--" in arguments \
        else "--json" in arguments
    parser = _Parser(prog=PROGRAM, description=__doc__.splitlines()[0],
                     epilog="Exit codes: 0 fitted, 2 usage, 3 the readings file cannot be "
                            "read, 8 the output or the plot cannot be written, 9 the "
                            "readings cannot give a calibration.")
    parser.add_argument("readings", help="CSV file with the columns angle_deg,power")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw the readings, the fit and the residuals (.png or .svg)")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object on stdout, for scripts")
    try:
        args = parser.parse_args(arguments)
        if args.plot is not None:
            try:
                plot_format(args.plot)
            except ValueError as error:
                raise Failure(EXIT_USAGE, str(error), _HELP_HINT) from None
        angles, powers = read_readings(args.readings)
        try:
            result = fit(angles, powers)
        except CalibrationError as error:
            raise Failure(EXIT_UNUSABLE, f"{args.readings}: {error}", _DATA_HINT) from None
        if args.plot is not None:
            try:
                plot(result, args.plot)
            except OSError as error:
                raise Failure(EXIT_OUTPUT, f"cannot write the plot {args.plot}: "
                              f"{error.strerror or error}",
                              "name a file in a directory that exists and that you may write "
                              "to") from None
        if as_json:
            text = json.dumps({key: _finite(value)
                               for key, value in result.parameters().items()},
                              separators=(",", ":"))
        else:
            text = report(result, args.plot)
    except Failure as failure:
        return _emit_failure(failure, as_json, stdout, stderr)
    try:
        print(text, file=stdout, flush=True)
    except OSError as error:
        _drop_unwritten(stdout)
        print(f"{NAME}: cannot write the output: {error.strerror or error}", file=stderr)
        return EXIT_OUTPUT
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
