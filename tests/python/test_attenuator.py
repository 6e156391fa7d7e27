"""The Python package against the simulated attenuator (attenuator-sim)."""

from __future__ import annotations

import math
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import torvek_attenuator
from torvek_attenuator import Attenuator, AttenuatorError, MotorInfo

REPO = Path(__file__).resolve().parents[2]


def degrees_of(steps: int) -> float:
    return torvek_attenuator.steps_to_degrees(steps)


@pytest.mark.parametrize(
    "code, name",
    [
        (0, "Ok"),
        (-1, "UnexpectedReply"),
        (-2, "ReplyTimeout"),
        (-3, "PortUnavailable"),
        (-4, "InvalidArgument"),
        (-5, "InternalError"),
        (-6, "NoSuchPort"),
        (-13, "AmbiguousPort"),
        (1, "DeviceStatus"),
        (255, "DeviceStatus"),
        (256, "Unknown"),
        (-14, "Unknown"),
    ],
)
def test_status_names_and_hints(code: int, name: str) -> None:
    assert torvek_attenuator.status_name(code) == name
    error = AttenuatorError(code, "op")
    assert (error.code, error.name, error.hint) == (code, name, torvek_attenuator.status_hint(code))
    # The hint goes on a line of its own, as attenuatorctl prints it.
    hint_line = [f"  hint: {error.hint}"] if error.hint else []
    assert str(error).splitlines() == [f"op: {name} ({code})"] + hint_line


def test_library_version_is_major_minor_patch() -> None:
    parts = torvek_attenuator.library_version().split(".")
    assert len(parts) == 3 and all(part.isdigit() for part in parts)


def test_the_package_version_is_the_projects() -> None:
    project = re.search(r"project\(TorvekAttenuator VERSION (\S+)",
                        (REPO / "CMakeLists.txt").read_text()).group(1)
    assert torvek_attenuator.__version__ == project


# Connection and identification.


def test_identification_of_the_default_device(att: Attenuator) -> None:
    assert att.info() == MotorInfo(
        ident_a="1234ABCD",
        ident_b="0102",
        ident_c="03",
        ident_d="04",
        degrees_per_revolution=360,
        steps_per_revolution=143360,
        home_offset_deg=0.0,
    )


def test_identification_of_a_configured_device(start_sim) -> None:
    sim = start_sim("--ident-a", "SIM00042", "--ident-b", "R2D2", "--ident-c", "X1",
                    "--ident-d", "Y2", "--home-offset", "16", "--pulses", "286720")
    with Attenuator(sim.port) as att:
        info = att.info()
        assert info == MotorInfo("SIM00042", "R2D2", "X1", "Y2", 360, 286720, 0.020089)
        # The scale the device reported on connect is what degrees are converted with.
        att.move_to(45.0)
        assert att.position_steps == 35840


@pytest.mark.parametrize("port, code", [
    ("/dev/no-such-attenuator-port", torvek_attenuator.NO_SUCH_PORT),
    ("/dev/null", torvek_attenuator.NOT_A_SERIAL_PORT),
    ("usb:0403:zz", torvek_attenuator.NO_SUCH_PORT),
])
def test_a_port_that_cannot_serve_says_why(port: str, code: int) -> None:
    with pytest.raises(AttenuatorError) as caught:
        Attenuator(port)
    assert caught.value.code == code
    assert caught.value.hint and caught.value.hint in str(caught.value)
    # A missing port comes with the ports there are (or that there is none).
    assert bool(caught.value.detail) == (code == torvek_attenuator.NO_SUCH_PORT)


def test_a_missed_identification_is_tried_again(scripted) -> None:
    device = scripted()
    identification = device.script.pop(0)
    device.script[:0] = [(b"0in", b""), identification]
    with Attenuator(device.port, timeout=1.0) as att:
        assert att.port == device.port


def test_reconnect_after_disconnect(sim) -> None:
    with Attenuator(sim.port) as att:
        att.move_to_steps(500)
        att.disconnect()
        assert att.port is None
        with pytest.raises(AttenuatorError) as caught:
            att.status()
        assert caught.value.name == "PortUnavailable"
        att.connect(sim.port)
        assert att.position_steps == 500


def test_a_closed_attenuator_refuses_calls(sim) -> None:
    with Attenuator(sim.port) as att:
        pass
    with pytest.raises(ValueError):
        att.position_deg
    att.close()


# Motion: values round-trip through the device.


@pytest.mark.parametrize(
    "degrees, steps",
    [(0.0, 0), (45.0, 17920), (-90.0, -35840), (10.5, 4181), (359.9, 143320), (-359.9, -143320)],
)
def test_move_to_degrees_round_trips(att: Attenuator, degrees: float, steps: int) -> None:
    att.move_to(degrees)
    assert att.position_steps == steps
    assert att.position_deg == degrees_of(steps)
    att.position_deg = 0.0
    att.position_deg = degrees
    assert att.get_position_steps(timeout=1.0) == steps


@pytest.mark.parametrize("steps", [0, 1, -1, 12345, 143360, -143360])
def test_move_to_steps_round_trips(att: Attenuator, steps: int) -> None:
    att.move_to_steps(steps)
    assert att.position_steps == steps
    assert att.get_position_deg(timeout=1.0) == degrees_of(steps)
    att.position_steps = 7
    assert att.position_steps == 7


@pytest.mark.parametrize(
    "transmittance, min_angle, span, steps",
    [
        (0.25, 10.0, 90.0, 15928),  # 40 degrees
        (0.0, 10.0, 90.0, 3982),  # 10 degrees
        (1.0, 10.0, 90.0, 39822),  # 100 degrees
        (0.5, 0.0, 90.0, 17920),  # 45 degrees
        (0.25, 10.0, -90.0, -7964),  # -20 degrees
    ],
)
def test_transmittance_round_trips(att: Attenuator, transmittance: float, min_angle: float,
                                   span: float, steps: int) -> None:
    att.set_transmittance(transmittance, min_angle=min_angle, span=span)
    assert att.position_steps == steps
    read = att.transmittance(min_angle=min_angle, span=span)
    assert read == pytest.approx(transmittance, abs=1e-3)
    # The library's model and conversions give the same numbers without a device.
    angle = torvek_attenuator.angle_for(transmittance, min_angle, span)
    assert torvek_attenuator.degrees_to_steps(angle) == steps
    assert torvek_attenuator.transmittance_at(degrees_of(steps), min_angle, span) == read


def test_home_returns_to_zero(att: Attenuator) -> None:
    att.move_to_steps(1000)
    att.home()
    assert att.position_steps == 0


def test_device_runs_and_status(start_sim) -> None:
    sim = start_sim("--speed", "0", "--optimize-ms", "50", "--clean-ms", "50")
    with Attenuator(sim.port) as att:
        att.optimize()
        att.clean()
        att.stop()
        att.status()


def test_a_device_status_is_raised_with_its_code(start_sim) -> None:
    sim = start_sim("--speed", "0", "--status", "42")
    with Attenuator(sim.port) as att:
        with pytest.raises(AttenuatorError) as caught:
            att.status()
    assert (caught.value.code, caught.value.name) == (42, "DeviceStatus")
    assert str(caught.value).splitlines()[0] == "status: DeviceStatus (42)"


# Arguments the library refuses before anything is sent.


@pytest.mark.parametrize(
    "call",
    [
        lambda att: att.move_to(360.0),
        lambda att: att.move_to(-360.0),
        lambda att: att.move_to(math.nan),
        lambda att: att.move_to(math.inf),
        lambda att: att.move_to_steps(143361),
        lambda att: att.move_to_steps(-143361),
        lambda att: att.move_to_steps(2**40),
        lambda att: att.set_transmittance(1.5, min_angle=0.0, span=90.0),
        lambda att: att.set_transmittance(-0.1, min_angle=0.0, span=90.0),
        lambda att: att.set_transmittance(0.5, min_angle=0.0, span=0.0),
        lambda att: att.set_transmittance(0.5, min_angle=300.0, span=60.0),
        lambda att: att.transmittance(min_angle=-360.0, span=90.0),
        lambda att: att.transmittance(min_angle=math.nan, span=90.0),
        lambda att: att.status(timeout=-1.0),
        lambda att: att.status(timeout=math.nan),
        lambda att: att.move_to(10.0, timeout=math.inf),
    ],
)
def test_invalid_arguments_send_nothing(start_sim, call) -> None:
    # A device that answers nothing after the identification: a call that sent anything would
    # end in ReplyTimeout, not InvalidArgument.
    sim = start_sim("--speed", "0", "--silent-after", "1")
    with Attenuator(sim.port, timeout=2.0) as att:
        with pytest.raises(AttenuatorError) as caught:
            call(att)
    assert (caught.value.code, caught.value.name) == (-4, "InvalidArgument")


def test_steps_must_be_whole_numbers(att: Attenuator) -> None:
    with pytest.raises(TypeError):
        att.move_to_steps(1.5)  # type: ignore[arg-type]


# Faults of the device and the line.


def test_a_silent_device_times_out_after_the_calls_own_time_out(start_sim) -> None:
    sim = start_sim("--speed", "0", "--silent-after", "1")
    with Attenuator(sim.port, timeout=60.0) as att:
        start = time.monotonic()
        with pytest.raises(AttenuatorError) as caught:
            att.get_position_deg(timeout=0.3)
        took = time.monotonic() - start
    assert (caught.value.code, caught.value.name) == (-2, "ReplyTimeout")
    assert caught.value.operation == "position_deg"
    # The call's time-out, not the attenuator's 60 s. Loose: the machine is shared.
    assert 0.25 <= took < 30.0


def test_a_move_that_outlasts_its_time_out(start_sim) -> None:
    sim = start_sim("--speed", "71680")  # half a revolution per second
    with Attenuator(sim.port) as att:
        with pytest.raises(AttenuatorError) as caught:
            att.move_to(180.0, timeout=0.05)
        assert caught.value.name == "ReplyTimeout"
        # The device finishes the move; the next request waits for it.
        assert att.get_position_steps(timeout=5.0) == 71680


def test_a_vanished_device(start_sim) -> None:
    sim = start_sim("--speed", "0")
    with Attenuator(sim.port, timeout=1.0) as att:
        att.move_to_steps(10)
        sim.stop()
        with pytest.raises(AttenuatorError) as caught:
            att.status()
    assert (caught.value.code, caught.value.name) == (-3, "PortUnavailable")


def test_a_device_that_hangs_up(start_sim) -> None:
    sim = start_sim("--speed", "0", "--hangup-after", "2")
    with Attenuator(sim.port, timeout=1.0) as att:
        att.status()
        # The line closes while the reply is awaited: the device went away, at once.
        with pytest.raises(AttenuatorError) as caught:
            att.status()
        assert (caught.value.code, caught.value.name) == (-3, "PortUnavailable")
        assert "went away" in caught.value.hint
        with pytest.raises(AttenuatorError) as caught:
            att.status()
    assert (caught.value.code, caught.value.name) == (-3, "PortUnavailable")


# A status frame of code 0 where a value was expected: the library reports Ok but delivers
# nothing, and the package must not make a value up.


@pytest.mark.parametrize(
    "script, call",
    [
        ([(b"0gp", b"0GS00\r\n")], lambda att: att.position_deg),
        ([(b"0gp", b"0GS00\r\n")], lambda att: att.position_steps),
        ([(b"0gp", b"0GS00\r\n")], lambda att: att.transmittance(min_angle=0.0, span=90.0)),
        ([(b"0in", b"0GS00\r\n"), (b"0go", b"0HO00000000\r\n")], lambda att: att.info()),
    ],
)
def test_a_status_instead_of_a_value_raises(scripted, script, call) -> None:
    device = scripted(*script)
    with Attenuator(device.port, timeout=2.0) as att:
        with pytest.raises(AttenuatorError) as caught:
            call(att)
    assert (caught.value.code, caught.value.name) == (-1, "UnexpectedReply")
    assert "status instead of" in str(caught.value)


def test_exact_commands_on_the_wire(scripted) -> None:
    device = scripted(
        (b"0ma00004600", b"0PO00004600\r\n"),
        (b"0maFFFFFC18", b"0POFFFFFC18\r\n"),
        (b"0ma00003E38", b"0PO00003E38\r\n"),
        (b"0ho0", b"0PO00000000\r\n"),
        (b"0om", b"0GS00\r\n"),
        (b"0cm", b"0GS00\r\n"),
        (b"0st", b"0GS00\r\n"),
        (b"0gs", b"0GS00\r\n"),
    )
    with Attenuator(device.port, timeout=2.0) as att:
        att.move_to(45.0)
        att.move_to_steps(-1000)
        att.set_transmittance(0.25, min_angle=10.0, span=90.0)
        att.home()
        att.optimize()
        att.clean()
        att.stop()
        att.status()


def test_threads_share_one_attenuator(att: Attenuator) -> None:
    att.move_to_steps(4242)
    readings: list = []
    errors: list = []

    def read() -> None:
        try:
            for _ in range(20):
                readings.append(att.position_steps)
        except Exception as err:  # collected, so the main thread fails the test
            errors.append(err)

    threads = [threading.Thread(target=read) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert errors == []
    assert readings == [4242] * 60


# Finding the library.


def run_python(code: str, env: dict, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=60)


def test_the_environment_variable_names_the_only_file_tried(tmp_path: Path) -> None:
    package_parent = str(Path(torvek_attenuator.__file__).resolve().parents[1])
    env = dict(os.environ, TORVEK_ATTENUATOR_LIBRARY=str(tmp_path / "libnothing.so"),
               PYTHONPATH=package_parent)
    result = run_python("import torvek_attenuator as t; t.library_version()", env, tmp_path)
    assert result.returncode != 0
    assert "LibraryNotFoundError" in result.stderr
    assert f"{tmp_path / 'libnothing.so'} (no such file)" in result.stderr
    assert "libtorvek_attenuator" not in result.stderr


def test_a_library_next_to_the_package_is_found_first(tmp_path: Path) -> None:
    source = Path(torvek_attenuator.__file__).parent
    copy = tmp_path / "torvek_attenuator"
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("_layout.py", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k != "TORVEK_ATTENUATOR_LIBRARY"}
    env["PYTHONPATH"] = str(tmp_path)
    env.pop("LD_LIBRARY_PATH", None)
    code = "import torvek_attenuator as t; t.library_version()"

    missing = run_python(code, env, tmp_path)
    assert missing.returncode != 0
    assert f"{copy / 'libtorvek_attenuator.so.1'} (no such file)" in missing.stderr
    assert "TORVEK_ATTENUATOR_LIBRARY" in missing.stderr

    import torvek_attenuator._library as library

    shutil.copy(library.load()._name, copy / "libtorvek_attenuator.so.1")
    found = run_python(code + "; print(t._library.load()._name)", env, tmp_path)
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == str(copy / "libtorvek_attenuator.so.1")


# The example script.


def test_scan_example_prints_the_sweep(sim) -> None:
    script = Path(__file__).resolve().parents[2] / "examples" / "scan.py"
    result = subprocess.run(
        [sys.executable, str(script), sim.port, "--min-angle", "10", "--span", "90",
         "--points", "5"],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[2:]]
    assert [row[0] for row in rows] == ["0.000", "0.250", "0.500", "0.750", "1.000"]
    assert [int(row[2]) for row in rows] == [3982, 15928, 21902, 27875, 39822]


def test_optical_density_and_decibels_are_the_librarys() -> None:
    assert torvek_attenuator.optical_density(0.01) == 2.0
    assert torvek_attenuator.optical_density(0.0) == math.inf
    assert torvek_attenuator.attenuation_db(0.1) == 10.0
    assert torvek_attenuator.transmittance_of_density(math.inf) == 0.0
    assert torvek_attenuator.density_limit(10.0, 45.0) == pytest.approx(
        torvek_attenuator.density_limit(0.0, 90.0) - 2 * math.log10(2), abs=1e-6)
    for refused in (lambda: torvek_attenuator.transmittance_of_density(-1.0),
                    lambda: torvek_attenuator.optical_density(1.5)):
        with pytest.raises(AttenuatorError) as caught:
            refused()
        assert caught.value.code == torvek_attenuator.INVALID_ARGUMENT
        assert caught.value.detail.startswith("accepted: ")
    assert torvek_attenuator.transmittance_for_density(2.0, 0.0, 90.0) == 0.01
    assert torvek_attenuator.transmittance_for_density(math.inf, 0.0, 90.0) == 0.0


def test_an_optical_density_is_set_by_the_device_s_scale(start_sim) -> None:
    sim = start_sim("--speed", "0", "--pulses", "286720")  # twice the default: 9.3186 OD
    model = {"min_angle": 10.0, "span": 90.0}
    with Attenuator(sim.port) as att:
        att.set_optical_density(9.3185, **model)
        assert att.position_steps == 7965  # one step past min_angle's 7964
        assert att.optical_density(**model) == torvek_attenuator.optical_density(
            att.transmittance(**model))
        with pytest.raises(AttenuatorError) as caught:
            att.set_optical_density(9.3186, **model)
        assert caught.value.detail.endswith("optical density <= 9.3185, or inf")
        assert att.position_steps == 7965
