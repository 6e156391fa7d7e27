#!/usr/bin/python3
"""What the Tango server adds to a read, and how soon a client hears that a move ended.

One simulated device (attenuator-sim --baud 0 --speed 0) serves, in turns, the Python package
directly and attenuator-tango (file-database mode, loopback); the server touches the port only
when a client asks, so the two never talk to the device at the same time. Each round measures
every client once, in another order each round, so that a change of load hits them alike.
Everything is measured from a thread other than the main one, as the server calls the
package: on the main thread the package makes each call on a helper thread so that Ctrl-C can
end it, which costs more.

    scripts/bench.sh --tango            # Release build, then this (about 15 s)
    /usr/bin/python3 bench/tango_bench.py --build build [--quick]
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List

import tango


class BenchFailed(Exception):
    """A part of the bench did not work; the message says which."""


def percentile(samples: List[float], fraction: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_sim(build: Path, link: Path, speed: int = 0) -> subprocess.Popen:
    sim = subprocess.Popen(
        [str(build / "tools/sim/attenuator-sim"), "--baud", "0", "--speed", str(speed),
         "--link", str(link)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert sim.stdout is not None
    if not select.select([sim.stdout], [], [], 10)[0] or not sim.stdout.readline():
        raise BenchFailed("the simulator did not start")
    return sim


def start_server(build: Path, work: Path, link: Path) -> tuple:
    port = free_port()
    database = work / "devices.db"
    database.write_text("attenuator-tango/bench/DEVICE/TorvekAttenuator: bench/attenuator/1\n"
                        f"bench/attenuator/1->Port: {link}\n")
    log = work / "server.log"
    with open(log, "wb") as out:
        server = subprocess.Popen(
            [str(build / "tools/tango/attenuator-tango"), "bench", f"-file={database}",
             "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"], stdout=out, stderr=subprocess.STDOUT)
    from torvek_attenuator_tango.ready import NotServing, admin_device, wait_until_serving
    try:
        wait_until_serving(admin_device("bench", f"127.0.0.1:{port}"), 60.0,
                           lambda: server.poll() is None)
    except NotServing as failure:
        raise BenchFailed(f"the server did not start: {failure}\n{log.read_text()}")
    proxy = tango.DeviceProxy(f"tango://127.0.0.1:{port}/bench/attenuator/1#dbase=no")
    while proxy.state() == tango.DevState.INIT:
        time.sleep(0.05)
    if proxy.state() != tango.DevState.ON:
        raise BenchFailed(f"the device is {proxy.state()}: {proxy.status()}")
    return server, proxy


def timed(call: Callable[[], object], count: int) -> List[float]:
    samples = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        samples.append((time.perf_counter() - start) * 1e6)
    return samples


def move_to_event(proxy: tango.DeviceProxy, moves: int) -> List[float]:
    """Microseconds from the start of a Position write to the change event that reports the
    position reached (instant moves)."""
    arrived = threading.Event()
    armed = threading.Event()

    def on_event(event: tango.EventData) -> None:
        # A move pushes its start as ATTR_CHANGING, its end as ATTR_VALID.
        if armed.is_set() and not event.err and \
                event.attr_value.quality == tango.AttrQuality.ATTR_VALID:
            armed.clear()
            arrived.set()

    subscription = proxy.subscribe_event("Position", tango.EventType.CHANGE_EVENT, on_event)
    samples = []
    try:
        for i in range(moves):
            target = 45.0 if i % 2 else 90.0
            arrived.clear()
            armed.set()
            start = time.perf_counter()
            proxy.write_attribute("Position", target)
            if not arrived.wait(10):
                raise BenchFailed("no change event for the end of a move")
            samples.append((time.perf_counter() - start) * 1e6)
            while proxy.state() != tango.DevState.ON:  # the worker has published everything
                time.sleep(0.001)
    finally:
        proxy.unsubscribe_event(subscription)
    return samples


def seconds_until(proxy: tango.DeviceProxy, state: tango.DevState, bound: float = 30.0) -> float:
    """From now until the device is in `state`, polled every 2 ms."""
    start = time.perf_counter()
    while proxy.state() != state:
        if time.perf_counter() - start > bound:
            raise BenchFailed(f"the device did not reach {state} within {bound:g} s")
        time.sleep(0.002)
    return time.perf_counter() - start


def real_lines(build: Path, link: Path, sim: subprocess.Popen, proxy: tango.DeviceProxy,
               rounds: int) -> subprocess.Popen:
    """Section 3: the adapter pulled out and put back while nobody calls, then Stop during a
    move. Returns the simulator that is running at the end."""
    gone, back = [], []
    for _ in range(rounds):
        sim.send_signal(signal.SIGUSR1)
        gone.append(seconds_until(proxy, tango.DevState.FAULT))
        sim.send_signal(signal.SIGUSR1)
        back.append(seconds_until(proxy, tango.DevState.ON))
    # A slower device on the same link: the server finds it by itself.
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=15)
    sim = start_sim(build, link, speed=7168)  # 90 degrees in 5 s
    seconds_until(proxy, tango.DevState.FAULT)
    seconds_until(proxy, tango.DevState.ON)
    stopped = []
    for i in range(rounds):
        proxy.write_attribute("Position", 90.0 if i % 2 == 0 else -90.0)
        seconds_until(proxy, tango.DevState.MOVING)
        time.sleep(0.2)  # well into the move
        start = time.perf_counter()
        proxy.Stop()
        seconds_until(proxy, tango.DevState.ON)
        stopped.append(time.perf_counter() - start)
    print(f"\n3. Real lines, {rounds} rounds (milliseconds; the server's watch looks every "
          "0.5 s and reconnects at most once a second)")
    for name, taken, target in (("adapter pulled out, nobody calling: to FAULT", gone, 2000),
                                ("adapter back: to ON by itself", back, 2000),
                                ("Stop during a move: to ON", stopped, 200)):
        ms = [t * 1000 for t in taken]
        verdict = "met" if max(ms) <= target else "MISSED"
        print(f"   {name:45} median {statistics.median(ms):7.1f}   max {max(ms):7.1f}   "
              f"target <= {target} ms   {verdict}")
    return sim


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=Path("build"))
    parser.add_argument("--quick", action="store_true", help="small samples, a few seconds")
    options = parser.parse_args()
    build = options.build.resolve()
    sys.path.insert(0, str(build / "python"))
    from torvek_attenuator import Attenuator

    rounds, per_round, warm, moves = (3, 100, 50, 20) if options.quick else (10, 500, 200, 200)
    print("torvek-attenuator Tango server benchmark" + (", quick run" if options.quick else ""))
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Linux {platform.release()}; PyTango {tango.__version__}")
    print("load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    began = time.monotonic()
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        link = work / "ttyATT0"
        sim = start_sim(build, link)
        server = None
        try:
            server, proxy = start_server(build, work, link)
            direct = Attenuator(str(link), timeout=2.0)
            clients = {
                "package: Attenuator.get_position_deg": direct.get_position_deg,
                "server: read_attribute('Position')": lambda: proxy.read_attribute("Position"),
                "server: state() (no device traffic)": proxy.state,
            }
            for call in clients.values():
                timed(call, warm)
            samples: Dict[str, List[float]] = {name: [] for name in clients}
            order = list(clients)
            by_round = []
            for _ in range(rounds):
                random.shuffle(order)
                medians = {}
                for name in order:
                    taken = timed(clients[name], per_round)
                    samples[name] += taken
                    medians[name] = statistics.median(taken)
                by_round.append(medians["server: read_attribute('Position')"]
                                - medians["package: Attenuator.get_position_deg"])
            direct.close()
            print(f"\n1. A read, {rounds} rounds x {per_round} per client after {warm} "
                  "unrecorded (microseconds)")
            print(f"   {'client':42} {'median':>8} {'p99':>8} {'max':>8}")
            for name, taken in samples.items():
                print(f"   {name:42} {statistics.median(taken):8.1f} "
                      f"{percentile(taken, 0.99):8.1f} {max(taken):8.1f}")
            added = (statistics.median(samples["server: read_attribute('Position')"])
                     - statistics.median(samples["package: Attenuator.get_position_deg"]))
            verdict = "met" if added <= 500 else "MISSED"
            print(f"   added by the server at the median: {added:.1f} us   target <= 500 us   "
                  f"{verdict}")
            print("   by round: " + " ".join(f"{x:.0f}" for x in by_round))

            taken = move_to_event(proxy, moves)
            print(f"\n2. Position write to the change event of the move's end, instant "
                  f"device, {moves} moves (microseconds)")
            print(f"   median {statistics.median(taken):.1f}   p99 {percentile(taken, 0.99):.1f}"
                  f"   max {max(taken):.1f}")

            sim = real_lines(build, link, sim, proxy, 2 if options.quick else 10)
        finally:
            if server is not None:
                server.send_signal(signal.SIGTERM)
                server.wait(timeout=15)
            sim.send_signal(signal.SIGTERM)
            sim.wait(timeout=15)
    print("\nload average at end: " + " ".join(f"{x:.2f}" for x in os.getloadavg())
          + f"; {time.monotonic() - began:.1f} s")
    return 0


def main_off_the_main_thread() -> int:
    result: List[int] = []

    def run() -> None:
        try:
            result.append(main())
        except BenchFailed as failure:
            print(f"tango bench: {failure}", file=sys.stderr)

    runner = threading.Thread(target=run, name="bench")
    runner.start()
    runner.join()
    return result[0] if result else 1


if __name__ == "__main__":
    sys.exit(main_off_the_main_thread())
