"""The Mount device layer against attenuator-sim: connecting, motions and what is known during
them, Stop, change snapshots, closing, and a port that goes away and comes back."""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import math
import os
import queue
import select
import shutil
import signal
import threading
from concurrent.futures import Future
from typing import Callable, Iterator, List

import pytest

from conftest import BOUND, Trace
from torvek_attenuator import (Mount, MountError, MountSnapshot, MountState, MotorInfo,
                               density_limit, status_hint, status_name)

ON, MOVING, FAULT = MountState.ON, MountState.MOVING, MountState.FAULT


@pytest.fixture
def open_mount() -> Iterator[Callable[..., Mount]]:
    """open_mount(port, **options): a Mount, not connected yet; closed after the test."""
    made: List[Mount] = []

    def make(port: str, **options: object) -> Mount:
        made.append(Mount(str(port), **options))  # type: ignore[arg-type]
        return made[-1]

    yield make
    for mount in made:
        mount.close()


def watch(mount: Mount) -> "queue.Queue[MountSnapshot]":
    changes: "queue.Queue[MountSnapshot]" = queue.Queue()
    mount.subscribe(changes.put)
    return changes


def awaited(future: "Future[MountSnapshot]", bound: float) -> MountSnapshot:
    """The future's result as an asyncio client gets it, waiting at most ``bound`` seconds."""

    async def wait() -> MountSnapshot:
        return await asyncio.wait_for(asyncio.wrap_future(future), bound)

    return asyncio.run(wait())


def next_in(changes: "queue.Queue[MountSnapshot]", state: MountState) -> MountSnapshot:
    while True:
        snap = changes.get(timeout=BOUND)
        if snap.state is state:
            return snap


def test_connect_adopts_the_identification_and_reads_the_position(start_sim, open_mount):
    sim = start_sim("--speed", "0", "--trace", "--position", "35840", "--ident-a", "SN000042",
                    "--ident-b", "FW17", "--ident-c", "R2", "--ident-d", "X9")
    snap = open_mount(sim.port).connect().result(timeout=BOUND)
    assert (snap.state, snap.steps, snap.degrees, snap.transmittance, snap.status_code,
            snap.moving, snap.reason, snap.hint) == (ON, 35840, 90.0, 1.0, 0, False, "", "")
    assert snap.info == MotorInfo("SN000042", "FW17", "R2", "X9", 360, 143360, 0.0)
    assert [command for who, command in Trace(sim).finished() if who == "host"] == [
        "0in", "0in", "0go", "0gp"]


@pytest.mark.parametrize("port, reason", [
    ("missing", "NoSuchPort"),
    ("/dev/null", "NotASerialPort"),
    ("silent", "NoIdentification"),  # a pseudo-terminal nothing answers on
])
def test_a_refused_connect_faults_with_the_library_s_reason(tmp_path, open_mount, port, reason):
    master, slave = os.openpty()
    try:
        name = {"missing": str(tmp_path / "ttyUSB9"), "silent": os.ttyname(slave)}.get(port, port)
        mount = open_mount(name)
        with pytest.raises(MountError) as caught:
            mount.connect().result(timeout=BOUND)
        snap = mount.snapshot()
    finally:
        os.close(master)
        os.close(slave)
    code = caught.value.code
    assert (snap.state, snap.reason, caught.value.reason, status_name(code)) == (
        FAULT, reason, reason, reason)
    assert snap.hint == caught.value.hint == status_hint(code) and name in snap.status
    # What the machine adds to a missing port's hint: the ports there are, or that there is none.
    assert ("port" in snap.status.split(status_hint(code))[1]) == (reason == "NoSuchPort")
    with pytest.raises(MountError) as refused:
        mount.move_to(1.0)
    assert refused.value.reason == reason


def test_a_missing_port_is_waited_for(tmp_path, start_sim, open_mount):
    link = str(tmp_path / "ttyATT")
    mount = open_mount(link)
    changes = watch(mount)
    with pytest.raises(MountError):
        mount.connect().result(timeout=BOUND)
    start_sim("--speed", "0", "--link", link, "--position", "100")
    back = next_in(changes, ON)
    assert (back.steps, back.reason, back.hint) == (100, "", "")


def test_an_unplugged_port_faults_and_after_the_replug_the_mount_is_back(
        tmp_path, start_sim, open_mount):
    link = str(tmp_path / "ttyATT")
    sim = start_sim("--speed", "14336", "--trace", "--link", link)  # 90 degrees take 2.5 s
    trace = Trace(sim)
    mount = open_mount(link)
    changes = watch(mount)
    mount.connect().result(timeout=BOUND)
    for moving in (False, True):  # nobody calls; a motion's call is waiting
        motion = mount.move_to(90.0) if moving else None
        if moving:
            trace.wait_for("host", "0ma00008C00")
        os.kill(sim.process.pid, signal.SIGUSR1)  # pulls the adapter out
        gone = next_in(changes, FAULT)
        assert (gone.reason, gone.hint) == ("PortUnavailable", status_hint(-3))
        if motion is not None:
            assert motion.exception(timeout=BOUND).reason == "PortUnavailable"  # type: ignore
        os.kill(sim.process.pid, signal.SIGUSR1)  # plugs it back in, on a new pseudo-terminal
        assert select.select([sim.process.stdout], [], [], BOUND)[0]
        assert sim.process.stdout.readline().strip()  # the new port's path
        back = next_in(changes, ON)
        assert back.steps == mount.read_position().steps and 0 <= back.steps < 35840


def adapter(root, tty: str, target: str) -> None:
    """A USB adapter with its sysfs entry under the machine tree `root`, its node a link to
    `target`."""
    usb = root / "sys/devices/usb1/1-1"
    port = usb / "1-1:1.0" / tty
    port.mkdir(parents=True)
    for name, value in (("idVendor", "0403"), ("idProduct", "6001"), ("serial", "TA0001")):
        (usb / name).write_text(value + "\n")
    (root / "sys/class/tty" / tty).mkdir(parents=True)
    (root / "sys/class/tty" / tty / "device").symlink_to(port)
    (root / "dev").mkdir(exist_ok=True)
    (root / "dev" / tty).symlink_to(target)


def test_a_stable_identity_finds_the_adapter_again_under_a_new_node(
        tmp_path, monkeypatch, start_sim, open_mount):
    root = tmp_path / "machine"
    monkeypatch.setenv("TORVEK_ATTENUATOR_SYSROOT", str(root))
    link = str(tmp_path / "ttyATT")
    sim = start_sim("--speed", "0", "--link", link, "--position", "77")
    adapter(root, "ttyUSB0", link)
    mount = open_mount("usb:0403:6001:TA0001")
    changes = watch(mount)
    assert mount.connect().result(timeout=BOUND).steps == 77
    os.kill(sim.process.pid, signal.SIGUSR1)  # pulled out...
    assert next_in(changes, FAULT).reason == "PortUnavailable"
    shutil.rmtree(root)
    adapter(root, "ttyUSB1", link)  # ...and plugged into another socket
    os.kill(sim.process.pid, signal.SIGUSR1)
    assert next_in(changes, ON).steps == 77


# What the Python package itself reads back after the same moves (see tests/tango), at min
# angle 10 and span 90, from 500 steps. A tuple is the arguments and the keywords.
@pytest.mark.parametrize("method, argument, target, steps, degrees, transmittance", [
    ("move_to", 45.0, 17920, 17920, 45.0, 0.3289899230003357),
    ("move_to", -359.99, -143356, -143356, -359.9899597167969, 0.030093783512711525),
    ("move_to_steps", -1000, -1000, -1000, -2.5111606121063232, 0.04692846164107323),
    ("set_transmittance", 0.5, 21902, 21902, 54.99944305419922, 0.4999902844429016),
    ("set_transmittance", 1.0, 39822, 39822, 99.99944305419922, 1.0),
    # The motion's own model; the snapshot's transmittance stays the mount's.
    ("set_transmittance", ((0.5,), {"min_angle": 0.0, "span": 90.0}), 17920, 17920, 45.0,
     0.3289899230003357),
    ("set_optical_density", 1.0, 11323, 11323, 28.43387222290039, 0.09998872876167297),
    ("set_optical_density", math.inf, 3982, 3982, 9.999442100524902, 9.481265772492975e-11),
    ("home", None, 0, 0, 0.0, 0.03015368990600109),
    ("optimize", None, None, 500, 1.2555803060531616, 0.02311224676668644),
])
def test_a_motion_announces_its_target_and_ends_there(start_sim, open_mount, method, argument,
                                                      target, steps, degrees, transmittance):
    sim = start_sim("--speed", "0", "--position", "500", "--optimize-ms", "100")
    mount = open_mount(sim.port, min_angle=10, span=90)
    mount.connect().result(timeout=BOUND)
    changes = watch(mount)
    args, keywords = argument if isinstance(argument, tuple) else (
        [] if argument is None else [argument], {})
    motion = getattr(mount, method)(*args, **keywords)
    start = changes.get(timeout=BOUND)
    assert (start.state, start.moving, start.start, start.target, start.steps) == (
        MOVING, True, 500, target, 500)
    end = motion.result(timeout=BOUND)
    assert changes.get(timeout=BOUND) == end and changes.empty()
    assert (end.state, end.moving, end.start, end.target) == (ON, False, None, None)
    assert (end.steps, end.degrees, end.transmittance) == (steps, degrees, transmittance)


def test_a_new_model_gives_the_transmittance_at_once_and_the_next_target(start_sim, open_mount):
    sim = start_sim("--speed", "0", "--position", "17920")
    mount = open_mount(sim.port)
    assert mount.connect().result(timeout=BOUND).transmittance == 0.5
    changes = watch(mount)
    snap = mount.set_model(10, 90)  # the values of the table above
    assert changes.get(timeout=BOUND) == snap
    assert (snap.state, snap.steps, snap.transmittance) == (ON, 17920, 0.3289899230003357)
    with pytest.raises(MountError) as caught:
        mount.set_model(10, 0)
    assert caught.value.reason == "InvalidArgument" and changes.empty()
    assert mount.set_transmittance(0.5).result(timeout=BOUND).steps == 21902


def test_during_a_motion_the_mount_answers_without_the_line(start_sim, open_mount):
    sim = start_sim("--speed", "14336", "--trace")  # 90 degrees take 2.5 s
    mount = open_mount(sim.port)
    mount.connect().result(timeout=BOUND)
    motion = mount.move_to(90.0)
    for read in (mount.read_position, mount.read_status_code, mount.snapshot):
        snap = read()
        assert (snap.state, snap.moving, snap.steps, snap.start, snap.target) == (
            MOVING, True, 0, 0, 35840)
    for refused in (lambda: mount.move_to_steps(5), mount.home, mount.connect):
        with pytest.raises(MountError) as caught:
            refused()
        assert caught.value.reason == "Moving"
    assert motion.running() and motion.result(timeout=BOUND).steps == 35840
    assert [command for who, command in Trace(sim).finished() if who == "host"] == [
        "0in", "0in", "0go", "0gp", "0ma00008C00", "0gp"]


@pytest.mark.parametrize("how", ["mount.stop", "motion.cancel", "asyncio time-out"])
def test_stop_cancels_the_motion_and_sends_the_device_stop_at_once(start_sim, open_mount, how):
    sim = start_sim("--speed", "14336", "--trace")
    trace = Trace(sim)
    mount = open_mount(sim.port)
    mount.connect().result(timeout=BOUND)
    changes = watch(mount)
    motion = mount.move_to(90.0)
    trace.wait_for("host", "0ma00008C00")
    if how == "mount.stop":
        stopping = mount.stop()
        assert mount.stop() is stopping  # a second stop leaves the first one's be
    elif how == "motion.cancel":
        assert motion.cancel()
    else:
        with pytest.raises(asyncio.TimeoutError):
            awaited(motion, 0.05)
    assert motion.cancelled()
    end = next_in(changes, ON)
    assert motion.settled.result(timeout=BOUND) == end
    lines = trace.finished()
    move, stop = lines.index(("host", "0ma00008C00")), lines.index(("host", "0st"))
    # The stop went out while the device still owed the move its reply.
    assert move < stop and all(who == "host" for who, _ in lines[move:stop])
    # The device answers the move it cut short with the position where it stands.
    stood = int(lines[stop + 1][1][3:11], 16)
    assert (end.state, end.moving, end.steps) == (ON, False, stood) and 0 <= stood < 35840


def test_subscribers_get_every_change_in_order_until_they_leave(start_sim, open_mount):
    sim = start_sim("--speed", "0")
    mount = open_mount(sim.port)
    mount.connect().result(timeout=BOUND)

    def faulty(snap: MountSnapshot) -> None:
        raise RuntimeError("a subscriber's own fault")

    mount.subscribe(faulty)
    changes: "queue.Queue[MountSnapshot]" = queue.Queue()
    leave = mount.subscribe(changes.put)
    mount.move_to_steps(100).result(timeout=BOUND)
    seen = [changes.get(timeout=BOUND) for _ in range(2)]
    assert [(s.state, s.steps, s.target) for s in seen] == [(MOVING, 0, 100), (ON, 100, None)]
    with pytest.raises(dataclasses.FrozenInstanceError):
        seen[0].steps = 5  # type: ignore[misc]
    leave()
    end = awaited(mount.move_to_steps(200), BOUND)
    assert end.steps == 200 and changes.empty()


def test_close_during_a_motion_ends_it_without_a_stop(start_sim):
    sim = start_sim("--speed", "7168", "--trace")  # 90 degrees take 5 s
    trace = Trace(sim)
    mount = Mount(sim.port)
    mount.connect().result(timeout=BOUND)
    motion = mount.move_to(90.0)
    trace.wait_for("host", "0ma00008C00")
    mount.close()
    assert motion.exception(timeout=BOUND).reason == "Closed"  # type: ignore[union-attr]
    assert not [t for t in threading.enumerate() if t.name == f"mount {sim.port}"]
    with pytest.raises(MountError) as caught:
        mount.read_position()
    assert caught.value.reason == "Closed"
    assert ("host", "0st") not in trace.finished()


@pytest.mark.parametrize("density, accepted", [
    (9.3185, True), (9.3186, False), (-0.001, False), (math.nan, False), (math.inf, True)])
def test_an_optical_density_is_taken_up_to_the_limit_at_the_device_s_scale(
        start_sim, open_mount, density, accepted):
    sim = start_sim("--speed", "0", "--trace", "--pulses", "286720")  # twice the default
    mount = open_mount(sim.port, min_angle=10, span=90)
    mount.connect().result(timeout=BOUND)
    assert 9.3185 < density_limit(10, 90, 360, 286720) < 9.3186
    if accepted:
        mount.set_optical_density(density).result(timeout=BOUND)
    else:
        with pytest.raises(MountError) as caught:
            mount.set_optical_density(density)
        assert (caught.value.reason, caught.value.detail.split("accepted: ")[1]) == (
            "InvalidArgument", "0 <= optical density <= 9.3185, or inf")
    sent = [command for who, command in Trace(sim).finished() if who == "host"][4:]
    # min_angle 10 is step 7964 (1F1C); the limit is one step on (1F1D).
    assert sent == (["0ma00001F1C", "0gp"] if density == math.inf else
                    ["0ma00001F1D", "0gp"] if accepted else [])


def test_a_call_s_own_time_out_and_cancel_query(start_sim, open_mount):
    sim = start_sim("--speed", "0", "--trace", "--silent-after", "4")  # connects, then silent
    trace = Trace(sim)
    mount = open_mount(sim.port, timeout=60.0)
    mount.connect().result(timeout=BOUND)
    with pytest.raises(MountError) as caught:
        mount.read_position(timeout=0.1)
    assert caught.value.reason == "ReplyTimeout"
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        waiting = pool.submit(mount.read_status_code)
        trace.wait_for("host", "0gs")
        mount.cancel_query()
        assert waiting.exception(timeout=BOUND).reason == "ReplyTimeout"  # type: ignore
    assert mount.snapshot().state is ON
    motion = mount.move_to_steps(100, timeout=0.1)
    failed = motion.settled.exception(timeout=BOUND)
    assert motion.exception() is failed and failed.reason == "ReplyTimeout"  # type: ignore
    assert mount.snapshot().state is FAULT
