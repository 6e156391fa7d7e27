#!/usr/bin/python3
"""What asyncio programs get from torvek_attenuator.aio: a loop that keeps running while calls
wait, how soon a cancelled motion's stop is on the wire, and moves of two attenuators at once.

Each simulated device (attenuator-sim --baud 0) answers at once but moves at its --speed, as
the real mount does. The loop's gaps are those of a coroutine that sleeps 10 ms at a time
while calls run. The stop's lateness is read from the library's own wire trace
(TORVEK_ATTENUATOR_TRACE), whose clock is the monotonic one Python's time.monotonic reads: from
just before task.cancel() to the trace's "host 0st".

    scripts/bench.sh --aio              # Release build, then this (about 30 s)
    /usr/bin/python3 bench/aio_bench.py --build build [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import platform
import select
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Awaitable, Callable, List, Tuple

#: A tick's sleep; the gaps are measured between the ticks' wake-ups.
TICK_S = 0.01
#: What the loop may lose to a call at most, on an idle 2-core machine.
GAP_TARGET_MS = 50.0


class BenchFailed(Exception):
    """A part of the bench did not work; the message says which."""


def percentile(samples: List[float], fraction: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def start_sim(build: Path, speed: int) -> Tuple[subprocess.Popen, str]:
    sim = subprocess.Popen(
        [str(build / "tools/sim/attenuator-sim"), "--baud", "0", "--speed", str(speed)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert sim.stdout is not None
    if not select.select([sim.stdout], [], [], 10)[0]:
        raise BenchFailed("the simulator did not start")
    return sim, sim.stdout.readline().decode().strip()


async def gaps_during(call: Callable[[], Awaitable[Any]]) -> List[float]:
    """The gaps in ms between the wake-ups of a 10 ms sleeper while ``call`` runs."""
    gaps: List[float] = []
    running = True

    async def tick() -> None:
        last = time.monotonic()
        while running:
            await asyncio.sleep(TICK_S)
            now = time.monotonic()
            gaps.append((now - last) * 1000.0)
            last = now

    ticker = asyncio.create_task(tick())
    await asyncio.sleep(0)
    try:
        await call()
    finally:
        running = False
        await ticker
    return gaps


def stops_in(trace: Path) -> List[float]:
    """The times of the stops the library wrote, from its trace."""
    times = []
    for line in trace.read_text().splitlines():
        fields = line.split()
        if fields[2:4] == ["host", "0st"]:
            times.append(float(fields[0]))
    return times


async def bench(build: Path, quick: bool, trace: Path) -> bool:
    from torvek_attenuator.aio import AsyncAttenuator

    met = True
    move_s = 0.5 if quick else 2.0
    speed = int(71680 / move_s)  # half a turn in move_s
    sims = [start_sim(build, speed) for _ in range(2)]
    try:
        port = sims[0][1]

        # 1. The loop while calls wait.
        rounds = 1 if quick else 5
        rows: List[Tuple[str, List[float]]] = [
            (f"no call, {move_s:g} s", []), ("connect", []), (f"move, {move_s:g} s", []),
            ("home", []), ("cancelled move", [])]
        for _ in range(rounds):
            # What the machine itself does to the ticker, for comparison.
            rows[0][1].extend(await gaps_during(lambda: asyncio.sleep(move_s)))
            att = AsyncAttenuator(port)
            rows[1][1].extend(await gaps_during(att.connect))
            rows[2][1].extend(await gaps_during(lambda: att.move_to(180.0)))
            rows[3][1].extend(await gaps_during(att.home))

            async def cancelled() -> None:
                move = asyncio.create_task(att.move_to(180.0))
                await asyncio.sleep(move_s / 4)
                move.cancel()
                try:
                    await move
                except asyncio.CancelledError:
                    pass
            rows[4][1].extend(await gaps_during(cancelled))
            await att.home()
            await att.close()
        print(f"\n1. The event loop while calls wait: gaps between the wake-ups of a coroutine "
              f"that sleeps {TICK_S * 1000:.0f} ms (ms), {rounds} round(s)")
        print(f"   {'during':22} {'ticks':>6} {'median':>8} {'p99':>8} {'max':>8}")
        for name, gaps in rows:
            print(f"   {name:22} {len(gaps):6d} {statistics.median(gaps):8.2f} "
                  f"{percentile(gaps, 0.99):8.2f} {max(gaps):8.2f}")
        worst = max(max(gaps) for _, gaps in rows[1:])
        ok = worst <= GAP_TARGET_MS
        met = met and ok
        print(f"   longest gap during calls {worst:.2f} ms (with no call {max(rows[0][1]):.2f})"
              f"   target <= {GAP_TARGET_MS:.0f} ms   {'met' if ok else 'MISSED'}")

        # 2. From task.cancel() to the stop on the wire.
        count = 5 if quick else 40
        to_wire: List[float] = []
        to_caller: List[float] = []
        async with AsyncAttenuator(port) as att:
            for i in range(count):
                before = len(stops_in(trace))
                move = asyncio.create_task(att.move_to(180.0 if i % 2 == 0 else 0.0))
                await asyncio.sleep(0.05)
                cancelled_at = time.monotonic()
                move.cancel()
                try:
                    await move
                except asyncio.CancelledError:
                    to_caller.append((time.monotonic() - cancelled_at) * 1000.0)
                stops = stops_in(trace)
                if len(stops) != before + 1:
                    raise BenchFailed(f"cancel {i}: {len(stops) - before} stops in the trace")
                to_wire.append((stops[-1] - cancelled_at) * 1000.0)
        print(f"\n2. task.cancel() of a move, {count} moves (ms)")
        print(f"   {'to':38} {'min':>8} {'median':>8} {'p99':>8} {'max':>8}")
        for name, taken in (("0st on the wire (the library's trace)", to_wire),
                            ("CancelledError in the caller", to_caller)):
            print(f"   {name:38} {min(taken):8.2f} {statistics.median(taken):8.2f} "
                  f"{percentile(taken, 0.99):8.2f} {max(taken):8.2f}")
        print("   (the caller's CancelledError comes once the device has answered the stop "
              "and the position is read back)")

        # 3. Two attenuators from one loop.
        attenuators = [AsyncAttenuator(p) for _, p in sims]
        await asyncio.gather(*(a.connect() for a in attenuators))
        began = time.monotonic()
        await asyncio.gather(*(a.move_to(180.0) for a in attenuators))
        together = time.monotonic() - began
        began = time.monotonic()
        for a in attenuators:
            await a.home()
        apart = time.monotonic() - began
        await asyncio.gather(*(a.close() for a in attenuators))
        print(f"\n3. Two attenuators, a move of {move_s:g} s each (s)")
        print(f"   at once (asyncio.gather) {together:6.3f}   one after the other {apart:6.3f}"
              f"   ratio {together / apart:.2f}")
        ok = together < 1.25 * move_s
        met = met and ok
        print(f"   target: at once within 1.25x one move   {'met' if ok else 'MISSED'}")
    finally:
        for sim, _ in sims:
            sim.terminate()
            sim.wait(timeout=10)
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=Path("build"))
    parser.add_argument("--quick", action="store_true", help="small samples, a few seconds")
    options = parser.parse_args()
    build = options.build.resolve()
    sys.path.insert(0, str(build / "python"))
    started = time.monotonic()
    print("torvek-attenuator asyncio benchmark" + (", quick run" if options.quick else ""))
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Linux {platform.release()}, Python {platform.python_version()}")
    print("load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    with tempfile.TemporaryDirectory() as work:
        trace = Path(work) / "wire.trace"
        # Read by each handler as it connects: every one here traces to the file.
        os.environ["TORVEK_ATTENUATOR_TRACE"] = str(trace)
        try:
            met = asyncio.run(bench(build, options.quick, trace))
        except BenchFailed as failure:
            print(f"aio bench: {failure}", file=sys.stderr)
            return 1
    print("\nload average at end: " + " ".join(f"{x:.2f}" for x in os.getloadavg())
          + f"; {time.monotonic() - started:.1f} s" + ("" if met else "; a target MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
