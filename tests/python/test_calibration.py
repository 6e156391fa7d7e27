"""Calibrating the transmittance model: the fit on synthetic sweeps, the data it refuses, the
command line, and measure() against attenuator-sim."""

from __future__ import annotations

import json
import math
import os
import struct
import subprocess
import sys
from pathlib import Path
from typing import List

import numpy as np
import pytest

import torvek_attenuator
from torvek_attenuator import Attenuator, AttenuatorError
from torvek_attenuator import calibration
from torvek_attenuator.calibrate import main
from torvek_attenuator.calibration import CalibrationError, MeasurementError, fit, measure

# Largest errors allowed by the noise's standard deviation (a share of the peak power): of the
# angles as a share of the span, and of background and amplitude as a share of the peak power.
TOLERANCE = {0.0: (1e-9, 1e-9), 0.01: (0.006, 0.01), 0.05: (0.03, 0.04)}


def sweep(low: float, span: float, start: float, stop: float, noise: float, background: float,
          points: int = 100, seed: int = 7):
    x = np.linspace(start, stop, points)
    y = background + (1 - background) * torvek_attenuator.transmittance_curve(x, low, span)
    return x, y + noise * np.random.default_rng(seed).standard_normal(points)


# Each sweep covers at least two spans. `expected` is the minimum the fit must report: of the
# minima every 2 spans, the one nearest the sweep's middle that SetTransmittance accepts
# (min_angle > -360, min_angle + span < 360).
@pytest.mark.parametrize("low, span, start, stop, noise, background, expected", [
    (10, 90, -20, 200, 0.0, 0.0, 10),
    (10, 90, -20, 200, 0.05, 0.10, 10),
    (0, 90, -50, 170, 0.01, 0.05, 0),          # starts before the minimum
    (0, 90, 30, 250, 0.01, 0.05, 180),         # starts after it: the next one is inside
    (-250, 45, -300, -100, 0.01, 0.05, -160),  # -160 is nearer the middle, -200
    (-340, 20, -355, -300, 0.05, 0.05, -340),  # -380 is out of bounds
    (330, 60, 200, 350, 0.01, 0.0, 210),       # 330 is nearer, but 330 + 60 >= 360
    (300, 3, 290, 305, 0.0, 0.0, 300),
    (5, 4, -10, 10, 0.05, 0.10, -3),
    (200, 120, -100, 340, 0.01, 0.02, 200),
    (-100, 180, -330, 330, 0.05, 0.0, -100),   # 260 is out of bounds
    (45, 180, -300, 340, 0.05, 0.10, 45),
])
def test_recovers_the_model(low, span, start, stop, noise, background, expected) -> None:
    result = fit(*sweep(low, span, start, stop, noise, background))
    angles, powers = TOLERANCE[noise]
    assert abs(result.min_angle - expected) <= angles * span
    assert abs(result.angle_span - span) <= angles * span
    assert abs(result.background - background) <= powers
    assert abs(result.amplitude - (1 - background)) <= powers
    assert abs(result.extinction_ratio - background) <= powers
    assert abs(result.residual_rms - noise) <= max(0.2 * noise, 1e-9)
    if noise:
        # The standard errors are honest: the truth lies within four of them.
        for name, truth in (("min_angle", expected), ("angle_span", span),
                            ("background", background), ("amplitude", 1 - background)):
            assert abs(getattr(result, name) - truth) <= 4 * getattr(result, name + "_err")


def test_the_fitted_model_is_the_attenuators_to_the_bit() -> None:
    result = fit(*sweep(10, 90, -20, 200, 0.01, 0.05))
    reference = np.arange(-20.0, 200.5, 0.5)  # every one exact in a C float
    narrowed = result.transmittance(reference).astype(np.float32).tolist()
    assert narrowed == [torvek_attenuator.transmittance_at(a, result.min_angle, result.angle_span)
                        for a in reference]


def test_readings_in_any_order_with_repeats_give_the_same_fit() -> None:
    x, y = sweep(10, 90, -20, 200, 0.01, 0.05)
    order = np.random.default_rng(1).permutation(len(x))
    ordered, shuffled = fit(x, y), fit(np.r_[x[order], x[:3]], np.r_[y[order], y[:3]])
    assert shuffled.min_angle == pytest.approx(ordered.min_angle, abs=0.05)
    assert shuffled.angle_span == pytest.approx(ordered.angle_span, abs=0.05)


def test_a_sweep_barely_longer_than_a_span_still_fits() -> None:
    result = fit(*sweep(20, 90, 0, 110, 0.01, 0.0))
    assert abs(result.min_angle - 20) <= 0.04 * 90 and abs(result.angle_span - 90) <= 0.04 * 90


@pytest.mark.parametrize("signs", [(1, -1), (-1, 1), (-1, -1)])
def test_negative_amplitude_or_span_become_the_same_curve_with_positive_ones(signs) -> None:
    x = np.linspace(-300, 300, 50)
    p = np.array([0.1, signs[0] * 0.9, 20.0, signs[1] * 70.0])
    normalised = calibration._normalised(p)
    assert normalised[1] == 0.9 and normalised[3] == 70.0
    assert np.allclose(calibration._model(x, *normalised), calibration._model(x, *p))


@pytest.mark.parametrize("angles, powers, message", [
    (np.arange(5.0) * 40, np.arange(5.0), "too few readings: 5 different angles"),
    (np.repeat(np.arange(5.0) * 40, 4), np.arange(20.0), "too few readings"),
    (np.arange(0, 200.0, 5), np.full(40, 0.3), "no contrast: every power reads 0.3"),
    (np.arange(0, 200.0, 2), np.random.default_rng(3).standard_normal(100),
     "no contrast above the noise"),
    (*sweep(0, 90, 0, 40, 0.0, 0.0, points=30), "less than one span"),
    (*sweep(0, 15, 0, 200, 0.0, 0.0, points=21), "fewer than two readings per span"),
    (*[v[::-1] for v in sweep(0, 15, 0, 200, 0.0, 0.0, points=21)],
     "fewer than two readings per span"),
    (np.arange(10.0), [0, 1, 2, 3, 4, 5, 6, 7, 8, math.nan], "1 power is not a finite number"),
    ([0, 1, 2, 3, 4, 5, math.inf, -math.inf], np.arange(8.0), "2 angles are not a finite number"),
    (np.arange(10.0), np.arange(9.0), "10 angles but 9 powers"),
    (["a"] * 8, np.arange(8.0), "not numbers"),
    (np.ones((8, 2)), np.ones((8, 2)), "sequence of numbers"),
])
def test_refuses_data_that_gives_no_answer(angles, powers, message) -> None:
    with pytest.raises(CalibrationError, match=message):
        fit(angles, powers)


# The command line.

CSV = "# a sweep\nangle_deg,power\n" + "".join(
    f"{a:g},{0.02 + 0.98 * torvek_attenuator.transmittance_curve([a], 10, 90)[0]:.9f}  # ok\n"
    for a in range(-20, 200, 10))


def run(tmp_path: Path, capsys, text: str, *options: str):
    path = tmp_path / "readings.csv"
    path.write_text(text)
    code = main([str(path), *options])
    out, err = capsys.readouterr()
    return code, out, err


def test_command_line_prints_parameters_and_attenuatorctl_options(tmp_path, capsys) -> None:
    code, out, err = run(tmp_path, capsys, CSV)
    assert (code, err) == (0, "")
    assert "min angle         10.0000 ± 0.0000 degrees\n" in out
    assert "span              90.0000 ± 0.0000 degrees\n" in out
    assert "attenuatorctl options: --min-angle 10.0000 --span 90.0000\n" in out

    code, out, err = run(tmp_path, capsys, CSV, "--json")
    values = json.loads(out)
    assert (code, err, list(values)) == (0, "", list(calibration.Calibration.KEYS))
    assert values["min_angle"] == pytest.approx(10, abs=1e-6)
    assert values["extinction_ratio"] == pytest.approx(0.02, abs=1e-6)


@pytest.mark.parametrize("text, options, code, message", [
    (CSV, ["--bogus"], 2, "unrecognized arguments: --bogus"),
    (CSV, ["--plot", "fit.pdf"], 2, "must end in .png or .svg"),
    (CSV, ["--plot", "/no/such/dir/fit.png"], 8, "cannot write the plot"),
    ("angle,power\n0,1\n", [], 9, "line 1: the header must name the columns"),
    ("angle_deg,power\n0,1\n5,x\n", [], 9, "line 3: '5,x' is not two numbers"),
    ("angle_deg,power\n0,1\n5\n", [], 9, "line 3: 1 fields, the header has 2"),
    ("# nothing\n", [], 9, "holds no header line"),
    (CSV.replace("\n50,", "\n50,nan #"), [], 9, "1 power is not a finite number"),
    ("angle_deg,power\n0,1\n10,2\n20,1\n", [], 9, "too few readings"),
])
def test_command_line_failures(tmp_path, capsys, text, options, code, message) -> None:
    got, out, err = run(tmp_path, capsys, text, *options)
    assert (got, out) == (code, "")
    assert err.startswith("calibrate: ") and message in err and "\n  hint: " in err

    got, out, err = run(tmp_path, capsys, text, *options, "--json")
    failure = json.loads(out)
    assert got == code and message in err
    assert (failure["command"], failure["result"], failure["exit_code"]) == (
        "calibrate", "error", code)
    assert message in failure["error"] and failure["hint"]


PACKAGE_PARENT = str(Path(torvek_attenuator.__file__).resolve().parents[1])


def test_a_missing_file_exits_with_3(tmp_path, capsys) -> None:
    assert main([str(tmp_path / "none.csv")]) == 3
    assert "calibrate: cannot read " in capsys.readouterr().err


def test_module_writes_png_and_svg_plots_and_fails_on_a_full_output(tmp_path) -> None:
    (tmp_path / "r.csv").write_text(CSV)
    for name in ("fit.png", "fit.svg"):
        done = subprocess.run([sys.executable, "-m", "torvek_attenuator.calibrate", "r.csv",
                               "--plot", name], cwd=tmp_path, capture_output=True, text=True,
                              env={**os.environ, "PYTHONPATH": PACKAGE_PARENT})
        assert (done.returncode, done.stderr) == (0, "")
        assert f"plot              {name}\n" in done.stdout
    png = (tmp_path / "fit.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR"
    assert struct.unpack(">II", png[16:24]) == (960, 560)
    assert 10_000 < len(png) < 300_000
    assert b"<svg" in (tmp_path / "fit.svg").read_bytes()[:1000]
    # Buffered, as on a plain machine: what cannot be written stays in the buffer, and the
    # interpreter's flush at exit must not fail on it again.
    buffered = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "torvek_attenuator.calibrate", "r.csv"],
                              cwd=tmp_path, stdout=full, stderr=subprocess.PIPE, text=True,
                              env={**buffered, "PYTHONPATH": PACKAGE_PARENT})
    assert (done.returncode, done.stderr) == (
        8, "calibrate: cannot write the output: No space left on device\n")


# measure() against the simulator.

LOW, SPAN, BACKGROUND = 12.5, 85.0, 0.03


def meter(att: Attenuator):
    """A power meter in the beam: the model at the mount's actual angle."""
    def read() -> float:
        angle = att.position_deg
        return BACKGROUND + torvek_attenuator.transmittance_curve([angle], LOW, SPAN)[0]
    return read


ANGLES = [float(a) for a in range(-10, 200, 7)]


def test_measure_sweeps_and_the_fit_finds_the_model(att, capsys) -> None:
    readings = measure(att, meter(att), ANGLES)
    assert [r.angle for r in readings] == ANGLES
    for r in readings:
        steps = torvek_attenuator.degrees_to_steps(r.angle)
        assert r.angle_read == torvek_attenuator.steps_to_degrees(steps)
        assert r.power == BACKGROUND + torvek_attenuator.transmittance_curve(
            [r.angle_read], LOW, SPAN)[0]
    result = fit([r.angle_read for r in readings], [r.power for r in readings])
    assert (result.min_angle, result.angle_span) == pytest.approx((LOW, SPAN), abs=1e-4)
    assert capsys.readouterr().err == ""  # no progress bar off a terminal


def test_measure_settles_and_shows_progress_on_a_terminal(att, capsys, monkeypatch) -> None:
    monkeypatch.setattr(calibration, "_stderr_is_terminal", lambda: True)
    slept: List[float] = []
    monkeypatch.setattr(calibration.time, "sleep", slept.append)
    measure(att, meter(att), ANGLES[:3], settle=0.25)
    assert slept == [0.25] * 3
    assert "sweep" in capsys.readouterr().err


@pytest.mark.parametrize("fault, name", [
    ("--silent-after", "ReplyTimeout"), ("--hangup-after", "PortUnavailable")])
def test_a_failed_move_stops_the_sweep_with_the_readings_so_far(start_sim, fault, name) -> None:
    # Connect, then per point a move and two position reads: the third move meets the fault.
    sim = start_sim("--speed", "0", fault, "7")
    with Attenuator(sim.port, timeout=0.3) as att:
        with pytest.raises(MeasurementError) as caught:
            measure(att, meter(att), ANGLES)
    error = caught.value
    assert isinstance(error, AttenuatorError) and isinstance(error.__cause__, AttenuatorError)
    assert (error.name, error.operation, error.angle) == (name, f"move_to({ANGLES[2]!r})",
                                                          ANGLES[2])
    assert [r.angle for r in error.readings] == ANGLES[:2]
    assert f"after 2 of {len(ANGLES)} readings" in str(error)


@pytest.mark.parametrize("exception", [KeyboardInterrupt, OSError])
def test_an_interrupted_sweep_propagates_with_the_readings_so_far(att, exception) -> None:
    powers: List[float] = [0.1, 0.2]

    def read() -> float:
        if not powers:
            raise exception()
        return powers.pop(0)

    with pytest.raises(exception) as caught:
        measure(att, read, ANGLES)
    assert [(r.angle, r.power) for r in caught.value.readings] == [(-10.0, 0.1), (-3.0, 0.2)]


def test_the_calibrate_example_draws_only_when_asked(sim, tmp_path) -> None:
    script = Path(__file__).resolve().parents[2] / "examples" / "calibrate.py"
    command = [sys.executable, str(script), sim.port, "--step", "10"]
    env = {**os.environ, "PYTHONPATH": PACKAGE_PARENT}
    quiet = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120,
                           env=env)
    assert quiet.returncode == 0, quiet.stderr
    assert list(tmp_path.iterdir()) == [] and "\nplot " not in quiet.stdout
    drawn = subprocess.run(command + ["--plot", "fit.svg"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=120, env=env)
    assert drawn.returncode == 0, drawn.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["fit.svg"]
    assert "\nplot              fit.svg\n" in drawn.stdout
