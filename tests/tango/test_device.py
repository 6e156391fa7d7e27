"""The TorvekAttenuator device in attenuator-tango, driven through Tango clients against
attenuator-sim."""

from __future__ import annotations

import math
import os
import queue
import signal
import time

import pytest
import tango
from tango import AttrQuality, DevState

from conftest import wait_state
from torvek_attenuator import optical_density

ON, MOVING, FAULT, ALARM = DevState.ON, DevState.MOVING, DevState.FAULT, DevState.ALARM


@pytest.fixture
def device(start_sim, start_server):
    """The device on a default simulator (instant moves, 0 steps), connected."""
    start_sim("--speed", "0")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    return proxy


def test_reads_every_attribute_as_the_device_reports_it(start_sim, start_server):
    start_sim("--position", "35840", "--home-offset", "-1434", "--status", "0",
              "--ident-a", "SN000042", "--ident-b", "FW17", "--ident-c", "R2",
              "--ident-d", "X9")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    values = {name: proxy.read_attribute(name).value for name in (
        "Position", "Steps", "Transmittance", "OpticalDensity", "DeviceStatusCode", "HomeOffset",
        "DegreesPerRevolution", "StepsPerRevolution", "IdentA", "IdentB", "IdentC", "IdentD")}
    assert values == {
        "Position": 90.0, "Steps": 35840, "Transmittance": 1.0, "OpticalDensity": 0.0,
        "DeviceStatusCode": 0,
        "HomeOffset": pytest.approx(-3.601004, abs=1e-6), "DegreesPerRevolution": 360,
        "StepsPerRevolution": 143360, "IdentA": "SN000042", "IdentB": "FW17",
        "IdentC": "R2", "IdentD": "X9"}
    assert "ready at 90.0000 deg (35840 steps)" in proxy.status()


@pytest.mark.parametrize("name, unit, fmt, low, high", [
    ("Position", "deg", "%9.4f", "-360.0", "360.0"),
    ("Steps", "steps", "%7d", "-143360", "143360"),
    ("Transmittance", "", "%6.4f", "0.0", "1.0"),
    ("OpticalDensity", "OD", "%7.4f", "0.0", "Not specified"),
])
def test_attribute_properties_carry_units_formats_and_limits(device, name, unit, fmt, low, high):
    config = device.get_attribute_config(name)
    assert (config.unit, config.format, config.min_value, config.max_value) == (
        unit, fmt, low, high)
    assert config.writable == tango.AttrWriteType.READ_WRITE


# What the Python package itself reads back after the same moves on the same simulator, at
# min angle 10 and span 90 (the README's scan): the server must give exactly these.
@pytest.mark.parametrize("name, value, steps, degrees, transmittance", [
    ("Position", 45.0, 17920, 45.0, 0.3289899230003357),
    ("Position", -359.99, -143356, -359.9899597167969, 0.030093783512711525),
    ("Steps", -1000, -1000, -2.5111606121063232, 0.04692846164107323),
    ("Steps", 143360, 143360, 360.0, 0.03015368990600109),
    ("Transmittance", 0.0, 3982, 9.999442100524902, 9.481265772492975e-11),
    ("Transmittance", 0.5, 21902, 54.99944305419922, 0.4999902844429016),
    ("Transmittance", 1.0, 39822, 99.99944305419922, 1.0),
    ("OpticalDensity", 1.0, 11323, 28.43387222290039, 0.09998872876167297),
])
def test_a_write_moves_and_every_view_of_the_position_follows(
        start_sim, start_server, name, value, steps, degrees, transmittance):
    sim = start_sim("--speed", "0")
    proxy = start_server(MinAngle=10, AngleSpan=90).proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    proxy.write_attribute(name, value)
    assert wait_state(proxy, ON, FAULT, ALARM) == ON, proxy.status()
    assert proxy.Steps == steps
    assert (proxy.Position, proxy.Transmittance) == (degrees, transmittance)
    assert proxy.OpticalDensity == optical_density(transmittance)
    assert f"0ma{steps & 0xFFFFFFFF:08X}" in sim.commands()


@pytest.mark.parametrize("command_name, sent", [
    ("Home", "0ho0"), ("StartOptimization", "0om"), ("StartCleaning", "0cm"),
])
def test_motion_commands_return_at_once_and_end_on(start_sim, start_server, command_name, sent):
    sim = start_sim("--speed", "0", "--position", "500", "--optimize-ms", "300",
                    "--clean-ms", "300")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    proxy.command_inout(command_name)
    assert wait_state(proxy, ON, FAULT, ALARM) == ON, proxy.status()
    assert sim.commands()[-2:] == [sent, "0gp"]
    assert proxy.Steps == (0 if command_name == "Home" else 500)


@pytest.mark.parametrize("name, value, reason", [
    ("Position", 360.0, "InvalidArgument"),
    ("Position", -360.0, "InvalidArgument"),
    ("Position", 360.5, "API_WAttrOutsideLimit"),
    ("Position", math.nan, "API_WAttrOutsideLimit"),
    ("Position", math.inf, "API_WAttrOutsideLimit"),
    ("Steps", 143361, "API_WAttrOutsideLimit"),
    ("Steps", -143361, "API_WAttrOutsideLimit"),
    ("Transmittance", 1.0001, "API_WAttrOutsideLimit"),
    ("Transmittance", -0.0001, "API_WAttrOutsideLimit"),
    ("Transmittance", math.nan, "API_WAttrOutsideLimit"),
    ("OpticalDensity", 8.72, "InvalidArgument"),  # beyond the model's 8.7165
    ("OpticalDensity", -0.1, "API_WAttrOutsideLimit"),
    ("OpticalDensity", math.inf, "API_WAttrOutsideLimit"),  # Tango takes no inf in a write
])
def test_refused_values_send_nothing(start_sim, start_server, name, value, reason):
    sim = start_sim("--speed", "0")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    before = sim.commands()
    with pytest.raises(tango.DevFailed) as caught:
        proxy.write_attribute(name, value)
    assert caught.value.args[0].reason == reason
    assert proxy.state() == ON and sim.commands() == before


def test_no_light_is_an_infinite_optical_density_of_quality_alarm(device):
    reading = device.read_attribute("OpticalDensity")  # at min angle 0, transmittance 0
    assert (reading.value, reading.quality) == (math.inf, AttrQuality.ATTR_ALARM)


def test_two_clients_one_moves_the_other_follows_by_events(start_sim, start_server):
    sim = start_sim("--speed", "35840")  # 45 degrees take half a second
    server = start_server()
    mover, watcher = server.proxy(), server.proxy()
    assert wait_state(watcher, ON, FAULT) == ON, watcher.status()
    events: "queue.Queue[tuple]" = queue.Queue()

    def collect(event: tango.EventData) -> None:
        if not event.err:
            name = event.attr_name.split("/")[-1].split("#")[0].lower()
            events.put((name, event.attr_value.value, event.attr_value.quality))

    ids = [watcher.subscribe_event(name, tango.EventType.CHANGE_EVENT, collect)
           for name in ("State", "Position")]
    first = [events.get(timeout=10) for _ in range(2)]  # the values at subscription
    assert sorted(first) == [("position", 0.0, AttrQuality.ATTR_VALID),
                             ("state", ON, AttrQuality.ATTR_VALID)]
    mover.Position = 45.0
    during = watcher.read_attribute("Position")
    assert (during.value, during.quality) in [(0.0, AttrQuality.ATTR_CHANGING),
                                              (45.0, AttrQuality.ATTR_VALID)]
    seen = [events.get(timeout=10) for _ in range(4)]
    assert seen == [("state", MOVING, AttrQuality.ATTR_VALID),
                    ("position", 0.0, AttrQuality.ATTR_CHANGING),
                    ("state", ON, AttrQuality.ATTR_VALID),
                    ("position", 45.0, AttrQuality.ATTR_VALID)]
    assert watcher.Position == 45.0 and watcher.state() == ON
    for event_id in ids:
        watcher.unsubscribe_event(event_id)
    assert sim.commands().count("0ma00004600") == 1


def test_a_read_that_finds_the_mount_moved_pushes_events(start_sim, start_server):
    sim = start_sim("--speed", "0")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    events: "queue.Queue[tuple]" = queue.Queue()
    subscription = proxy.subscribe_event(
        "Steps", tango.EventType.CHANGE_EVENT,
        lambda e: events.put(None if e.err else (e.attr_value.value, e.attr_value.quality)))
    assert events.get(timeout=10) == (0, AttrQuality.ATTR_VALID)
    # Another program on the same line moves the mount behind the server's back.
    from torvek_attenuator import Attenuator
    with Attenuator(sim.port) as other:
        other.move_to_steps(5000)
    assert proxy.Position == pytest.approx(12.5558, abs=1e-4)
    assert events.get(timeout=10) == (5000, AttrQuality.ATTR_VALID)
    proxy.unsubscribe_event(subscription)


def test_a_second_motion_while_moving_is_refused(start_sim, start_server):
    start_sim("--speed", "14336")  # 36 degrees a second: 90 degrees take 2.5 s
    server = start_server()
    first, second = server.proxy(), server.proxy()
    assert wait_state(first, ON, FAULT) == ON, first.status()
    first.Position = 90.0
    for attempt in (lambda: second.write_attribute("Steps", 5),
                    lambda: second.command_inout("Home")):
        with pytest.raises(tango.DevFailed) as caught:
            attempt()
        assert caught.value.args[0].reason == "Moving"
    first.Stop()
    assert wait_state(first, ON, FAULT, ALARM) == ON, first.status()


def test_stop_ends_the_wait_at_once_and_sends_the_device_stop(start_sim, start_server):
    sim = start_sim("--speed", "7168")  # 90 degrees take 5 s
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    proxy.Position = 90.0
    deadline = time.monotonic() + 10
    while "0ma00008C00" not in sim.commands() and time.monotonic() < deadline:
        time.sleep(0.01)
    proxy.Stop()
    proxy.Stop()  # an impatient second press must not cancel the device's stop
    assert wait_state(proxy, ON, FAULT, ALARM) == ON, proxy.status()
    trace = [line.split()[1:] for line in sim.trace().splitlines() if len(line.split()) == 3]
    move, stop = trace.index(["host", "0ma00008C00"]), trace.index(["host", "0st"])
    # The stop went out while the device still moved: the move's wait had been cancelled.
    assert all(who == "host" for who, _ in trace[move:stop])
    # The device answers the move it cut short with the position where it stands.
    stood = int(trace[stop + 1][1][3:11], 16)
    assert 0 <= stood < 35840 and proxy.Steps == stood and "stopped" in proxy.status()


def test_a_hang_up_faults_and_init_recovers_on_a_fresh_device(start_sim, start_server):
    # Connecting takes 4 commands (0in, then 0in and 0go, then 0gp); the 5th hangs up.
    start_sim("--speed", "0", "--hangup-after", "4")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    proxy.Position = 10.0
    assert wait_state(proxy, ON, FAULT, ALARM) == FAULT
    assert "PortUnavailable" in proxy.status() and "Init" in proxy.status()
    for attempt in (lambda: proxy.Position, lambda: proxy.write_attribute("Steps", 1)):
        with pytest.raises(tango.DevFailed) as caught:
            attempt()
        assert caught.value.args[0].reason == "PortUnavailable"
        assert "FAULT" in caught.value.args[0].desc
    start_sim("--speed", "0", "--position", "1234")
    proxy.Init()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    assert proxy.Steps == 1234


def test_an_unplugged_adapter_faults_by_itself_and_comes_back_on(start_sim, start_server):
    # Nobody calls: the server's own watch notices the port gone, and reconnects once it is back.
    sim = start_sim("--speed", "0", "--position", "1234")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    os.kill(sim.process.pid, signal.SIGUSR1)
    assert wait_state(proxy, FAULT, bound=20.0) == FAULT
    assert "went away" in proxy.status()
    os.kill(sim.process.pid, signal.SIGUSR1)
    assert wait_state(proxy, ON, bound=20.0) == ON, proxy.status()
    assert proxy.Steps == 1234


def test_a_silent_device_times_out_a_read_and_faults_a_motion(start_sim, start_server):
    start_sim("--speed", "0", "--silent-after", "4")
    proxy = start_server(TimeoutMs=300, MotionTimeoutMs=300).proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    with pytest.raises(tango.DevFailed) as caught:
        proxy.Position
    assert caught.value.args[0].reason == "ReplyTimeout"
    assert "TimeoutMs" in caught.value.args[0].desc and proxy.state() == ON
    proxy.Steps = 100
    assert wait_state(proxy, ON, FAULT, ALARM) == FAULT
    assert proxy.status().startswith("move to 100 steps: ReplyTimeout (-2)")


def test_a_device_status_code_puts_alarm(start_sim, start_server):
    start_sim("--speed", "0", "--status", "31")
    proxy = start_server().proxy()
    assert wait_state(proxy, ON, FAULT) == ON, proxy.status()
    assert proxy.DeviceStatusCode == 31
    assert proxy.state() == ALARM and "status code 31" in proxy.status()


def test_faults_that_need_a_person_say_what_to_do(tmp_path, start_sim, start_server):
    start_sim("--speed", "0")
    master, slave = os.openpty()  # a serial port on which nothing answers
    silent = os.ttyname(slave)
    server = start_server({
        "lab/attenuator/noport": {"TimeoutMs": 500},
        "lab/attenuator/unplugged": {"Port": tmp_path / "ttyUSB9"},
        "lab/attenuator/silent": {"Port": silent},
        "lab/attenuator/model": {"Port": tmp_path / "ttyATT", "AngleSpan": 0},
        "lab/attenuator/ok": {"Port": tmp_path / "ttyATT"},
    })
    expected = {
        "noport": "property Port is not set",
        "unplugged": f"port {tmp_path / 'ttyUSB9'} does not exist",
        "silent": f"no attenuator identified itself on {silent}",
        "model": "MinAngle = 0, AngleSpan = 0 refused",
    }
    for name, text in expected.items():
        proxy = server.proxy(f"lab/attenuator/{name}")
        assert wait_state(proxy, ON, FAULT) == FAULT
        assert text in proxy.status() and "Init" in proxy.status()
        with pytest.raises(tango.DevFailed):
            proxy.Home()
    assert wait_state(server.proxy("lab/attenuator/ok"), ON, FAULT) == ON
    os.close(master)
    os.close(slave)
