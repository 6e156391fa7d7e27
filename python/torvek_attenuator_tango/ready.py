"""Waits until a started attenuator-tango serves requests, by asking it.

    attenuator-tango lab -file=attenuator.db -ORBendPoint giop:tcp:127.0.0.1:45450 &
    /usr/bin/python3 -m torvek_attenuator_tango.ready lab --address 127.0.0.1:45450

The server serves once its admin device, dserver/attenuator-tango/INSTANCE, answers a ping.
Its log is no sign of that: where it goes, how it is buffered and what it says belong to
whoever started the server.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable, Optional, Sequence

import tango

from .device import SERVER_NAME


class NotServing(Exception):
    """The server did not answer in time, or ended first; the message says which and why."""


def admin_device(instance: str, address: Optional[str] = None) -> str:
    """The name of the server's admin device: through the database of TANGO_HOST, or, with
    ``address`` (HOST:PORT, file-database mode), straight at the server."""
    name = f"dserver/{SERVER_NAME}/{instance}"
    return f"tango://{address}/{name}#dbase=no" if address else name


def wait_until_serving(device: str, timeout: float = 60.0,
                       running: Optional[Callable[[], bool]] = None) -> None:
    """Pings ``device`` (a Tango device name, e.g. :func:`admin_device`'s) until it answers.
    Raises :class:`NotServing` after ``timeout`` seconds, or as soon as ``running()`` says the
    server's process has ended."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            proxy = tango.DeviceProxy(device)
            proxy.set_timeout_millis(1000)
            proxy.ping()
            return
        except tango.DevFailed as failure:
            reason = failure.args[-1].desc.strip() if failure.args else str(failure)
        if running is not None and not running():
            raise NotServing(f"the server ended before {device} answered: {reason}")
        if time.monotonic() > deadline:
            raise NotServing(f"{device} did not answer within {timeout:g} s: {reason}")
        time.sleep(0.05)


def _process_runs(pid: int) -> bool:
    # A child that has ended but that its parent has not waited for yet is a zombie: it no
    # longer runs, though signals still reach its number.
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        except PermissionError:
            pass
        return True


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m torvek_attenuator_tango.ready",
        description="Waits until attenuator-tango/INSTANCE answers a ping: exit 0 when it "
                    "does, 1 (with the reason on stderr) when it does not in time.")
    parser.add_argument("instance", help="the server's instance name, e.g. lab")
    parser.add_argument("--address", metavar="HOST:PORT",
                        help="the server's -ORBendPoint (file-database mode); without it the "
                             "database of TANGO_HOST is asked")
    parser.add_argument("--timeout", type=float, default=60.0, metavar="S",
                        help="give up after S seconds (default 60)")
    parser.add_argument("--pid", type=int,
                        help="the server's process: give up at once when it has ended")
    options = parser.parse_args(argv)
    running = (lambda: _process_runs(options.pid)) if options.pid else None
    try:
        wait_until_serving(admin_device(options.instance, options.address), options.timeout,
                           running)
    except NotServing as failure:
        print(f"attenuator-tango {options.instance}: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
