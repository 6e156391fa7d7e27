"""AsyncAttenuator against attenuator-sim: what it adds to the Mount under it. The results and
exceptions of Attenuator, a loop that keeps running, cancellation that stops the mount, moves
of several attenuators at once, and the iterator of changes."""

from __future__ import annotations

import asyncio
import gc
import math
import time
from typing import Any, Callable, List

import pytest

from conftest import BOUND, Trace
from torvek_attenuator import Attenuator, AttenuatorError, MountState
from torvek_attenuator.aio import AsyncAttenuator

MODEL = {"min_angle": 10.0, "span": 90.0}


def run(coroutine: Any) -> Any:
    return asyncio.run(asyncio.wait_for(coroutine, BOUND))


async def outcome(call: Callable[[], Any]) -> Any:
    """The result, or the error as (code, detail); awaited when a coroutine."""
    try:
        result = call()
        return await result if asyncio.iscoroutine(result) else result
    except AttenuatorError as err:
        return err.code, err.detail


# Each call made by an Attenuator and an AsyncAttenuator on two like devices, from 500 steps:
# the same result or error, and the mount where the same position afterwards.
@pytest.mark.parametrize("method, args, options", [
    ("move_to", (45.0,), {}), ("move_to", (360.0,), {}), ("move_to", (math.nan,), {}),
    ("move_to_steps", (-1000,), {}), ("move_to_steps", (143361,), {}),
    ("set_transmittance", (0.25,), MODEL), ("set_transmittance", (1.5,), MODEL),
    ("set_transmittance", (0.5,), {"min_angle": 0.0, "span": 0.0}),
    ("set_optical_density", (2.0,), MODEL), ("set_optical_density", (math.inf,), MODEL),
    ("set_optical_density", (8.72,), MODEL), ("set_optical_density", (-1.0,), MODEL),
    ("transmittance", (), MODEL), ("optical_density", (), MODEL),
    ("optical_density", (), {"min_angle": 1.2555803060531616, "span": 90.0}),
    ("transmittance", (), {"min_angle": 300.0, "span": 90.0}),
    ("get_position_deg", (), {}), ("get_position_steps", (), {}), ("info", (), {}),
    ("home", (), {}), ("optimize", (), {}), ("clean", (), {}), ("stop", (), {}),
    ("status", (), {}), ("status", (), {"timeout": -1.0}),
])
def test_the_results_and_exceptions_of_attenuator(start_sim, method, args, options):
    arguments = ["--speed", "0", "--position", "500", "--optimize-ms", "50", "--clean-ms", "50"]
    with Attenuator(start_sim(*arguments).port) as att:
        expected = (run(outcome(lambda: getattr(att, method)(*args, **options))),
                    att.get_position_steps())

    async def same_on_async() -> tuple:
        async with AsyncAttenuator(start_sim(*arguments).port) as aio:
            return (await outcome(lambda: getattr(aio, method)(*args, **options)),
                    await aio.get_position_steps())

    assert run(same_on_async()) == expected


def test_a_device_status_and_a_missing_port_raise_as_on_attenuator(tmp_path, start_sim):
    async def calls() -> List[Any]:
        async with AsyncAttenuator(start_sim("--speed", "0", "--status", "42").port) as aio:
            found = [await outcome(aio.status)]
        found.append(await outcome(lambda: AsyncAttenuator(tmp_path / "ttyUSB9").connect()))
        with pytest.raises(ValueError):
            await aio.get_position_deg()
        return found

    # A refused connect carries what the machine adds (the ports present), as Attenuator's does.
    missing = run(outcome(lambda: Attenuator(tmp_path / "ttyUSB9").connect()))
    assert missing[0] == -6 and missing[1]
    assert run(calls()) == [(42, ""), missing]


async def ticking(during: Callable[[], Any]) -> List[float]:
    """The gaps between the ticks of a coroutine that sleeps 10 ms at a time while ``during``
    runs."""
    gaps: List[float] = []
    done = asyncio.Event()

    async def tick() -> None:
        last = time.monotonic()
        while not done.is_set():
            await asyncio.sleep(0.01)
            gaps.append(time.monotonic() - last)
            last = time.monotonic()

    ticker = asyncio.create_task(tick())
    try:
        await during()
    finally:
        done.set()
        await ticker
    return gaps


def test_the_loop_keeps_running_while_it_connects_moves_and_homes(start_sim):
    port = start_sim("--speed", "71680").port  # half a turn a second

    async def calls() -> None:
        aio = AsyncAttenuator(port)
        gaps = await ticking(aio.connect)
        gaps += await ticking(lambda: aio.move_to(180.0))
        gaps += await ticking(aio.home)
        await aio.close()
        # 2 s of calls: a loop held by any of them would tick far less, or stall once.
        assert len(gaps) > 50 and max(gaps) < 0.5, (len(gaps), max(gaps))

    run(calls())


@pytest.mark.parametrize("how", ["task.cancel", "wait_for"])
def test_a_cancelled_motion_stops_the_mount_which_stays_usable(start_sim, how):
    sim = start_sim("--speed", "14336", "--trace")  # 90 degrees take 2.5 s
    trace = Trace(sim)

    async def calls() -> int:
        async with AsyncAttenuator(sim.port) as aio:
            move = asyncio.create_task(aio.move_to(90.0))
            if how == "wait_for":
                move = asyncio.create_task(asyncio.wait_for(move, 0.3))
            else:
                await asyncio.to_thread(trace.wait_for, "host", "0ma00008C00")
                move.cancel()
            with pytest.raises((asyncio.CancelledError, asyncio.TimeoutError)):
                await move
            return await aio.get_position_steps()

    stood = run(calls())
    lines = trace.finished()
    stop = lines.index(("host", "0st"))
    # The stop went out while the device owed the move its reply, which says where it stopped.
    assert lines[stop - 1] == ("host", "0ma00008C00")
    assert stood == int(lines[stop + 1][1][3:11], 16) and 0 < stood < 35840


def test_a_cancelled_query_ends_at_once(start_sim):
    port = start_sim("--speed", "0", "--silent-after", "4").port  # connects, then silent

    async def calls() -> None:
        async with AsyncAttenuator(port) as aio:
            read = asyncio.create_task(aio.get_position_steps(timeout=3600.0))
            await asyncio.sleep(0.1)
            read.cancel()
            with pytest.raises(asyncio.CancelledError):
                await read
            assert aio.mount.snapshot().state is MountState.ON  # type: ignore[union-attr]

    run(calls())


def test_a_motion_s_time_out_and_stop_from_another_task_stop_it(start_sim):
    sim = start_sim("--speed", "14336", "--trace")
    trace = Trace(sim)

    async def calls() -> List[Any]:
        async with AsyncAttenuator(sim.port) as aio:
            timed_out = await outcome(lambda: aio.move_to(90.0, timeout=0.2))
            # Far enough (about 2.7 s) that the stop lands while the device still moves.
            move = asyncio.create_task(outcome(lambda: aio.move_to(-90.0)))
            await asyncio.to_thread(trace.wait_for, "host", "0maFFFF7400")
            await aio.stop()
            return [timed_out[0], (await move)[0], aio.mount.snapshot().state]  # type: ignore

    assert run(calls()) == [-2, -2, MountState.ON]


def test_two_attenuators_move_at_once(start_sim):
    ports = [start_sim("--speed", "35840").port for _ in range(2)]  # 90 degrees take 1 s

    async def calls() -> float:
        attenuators = [AsyncAttenuator(port) for port in ports]
        await asyncio.gather(*(aio.connect() for aio in attenuators))
        began = time.monotonic()
        await asyncio.gather(*(aio.move_to(90.0) for aio in attenuators))
        took = time.monotonic() - began
        await asyncio.gather(*(aio.close() for aio in attenuators))
        return took

    assert run(calls()) < 1.8  # one after the other: 2 s


def test_changes_follow_a_move_and_an_abandoned_iterator_leaves(start_sim):
    port = start_sim("--speed", "0").port

    async def calls() -> None:
        async with AsyncAttenuator(port) as aio:
            mount = aio.mount
            assert mount is not None
            subscribers = len(mount._subscribers)
            changes, lagging = aio.changes(), aio.changes(bound=2)
            await aio.move_to_steps(100)
            async for snap in changes:
                if not snap.moving:
                    break
                assert (snap.state, snap.start, snap.target) == (MountState.MOVING, 0, 100)
            assert (snap.state, snap.steps) == (MountState.ON, 100)
            del changes, snap
            gc.collect()
            assert len(mount._subscribers) == subscribers + 1
            await aio.move_to_steps(200)
            assert [(s.steps, s.target) async for s in _first(lagging, 2)] == [
                (100, 200), (200, None)]
            assert lagging.dropped == 2
        assert [s async for s in lagging] == []  # closing ended it

    run(calls())


async def _first(changes: Any, count: int) -> Any:
    for _ in range(count):
        yield await changes.__anext__()
