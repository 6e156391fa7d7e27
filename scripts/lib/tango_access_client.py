"""The two clients of scripts/checks/47-tango-access.sh, on a Tango database with access control
on: ``writer`` (the user who runs the check, with write on lab/att/*) and ``reader`` (a second
Unix user, read-only there, run by the writer through setpriv). Each prints what it saw.

    tango_access_client.py writer READER_USER      # TANGO_HOST names the database
    tango_access_client.py reader                  # started by the writer, as READER_USER
    tango_access_client.py unchecked               # the same, with SUPER_TANGO=true

The reader first reads every attribute and is refused every write and every command but those
the class allows, then prints "ready"; the writer starts a slow move, which the reader stops.
Only Debian's tango module is used: the reader runs from a copy of this file.
"""

from __future__ import annotations

import os
import queue
import subprocess
import sys
import time
from typing import Callable

import tango
from tango import AccessControlType, AttrWriteType, DevState

DEVICE = "lab/att/1"
ALLOWED = ["State", "Status", "Stop"]
BOUND_S = 30.0  # ends a hung run; every wait below is for an event or a state


def say(role: str, text: str) -> None:
    print(f"47-tango-access {role}: {text}", flush=True)


def refusal(call: Callable[[], object]) -> str:
    """The reason and description of the DevFailed the call raises; fails if it is served."""
    try:
        call()
    except tango.DevFailed as err:
        return f"{err.args[0].reason}: {err.args[0].desc.strip()}"
    raise AssertionError("served")


def state_events(device: tango.DeviceProxy) -> "queue.Queue[DevState]":
    events: "queue.Queue[DevState]" = queue.Queue()
    device.subscribe_event("State", tango.EventType.CHANGE_EVENT,
                           lambda e: None if e.err else events.put(e.attr_value.value))
    return events


def next_state(events: "queue.Queue[DevState]", wanted: DevState) -> None:
    deadline = time.monotonic() + BOUND_S
    while True:
        seen = events.get(timeout=max(0.0, deadline - time.monotonic()))
        if seen == wanted:
            return


def wait_state(device: tango.DeviceProxy, wanted: DevState) -> None:
    deadline = time.monotonic() + BOUND_S
    while device.state() != wanted:
        assert time.monotonic() < deadline, device.status()
        time.sleep(0.02)


def reader() -> int:
    device = tango.DeviceProxy(DEVICE)
    assert device.get_access_control() == AccessControlType.ACCESS_READ
    say("reader", f"access {device.get_access_control()}")

    names = list(device.get_attribute_list())
    values = device.read_attributes(names)
    failed = [value.name for value in values if value.has_failed]
    assert not failed, failed
    say("reader", "read " + ", ".join(f"{v.name}={v.value}" for v in values
                                          if v.name not in ("State", "Status")))

    written = [config.name for config in device.attribute_list_query()
               if config.writable != AttrWriteType.READ]
    assert written, "no writable attribute"
    for name in written:
        current = device.read_attribute(name).value
        reason = refusal(lambda: device.write_attribute(name, current))
        assert reason.startswith("API_ReadOnlyMode:"), reason
        say("reader", f"write {name} refused: {reason}")
    commands = [info.cmd_name for info in device.command_list_query()]
    assert set(ALLOWED) <= set(commands), commands
    for name in commands:
        if name in ALLOWED:
            continue
        reason = refusal(lambda: device.command_inout(name))
        assert reason.startswith("API_ReadOnlyMode:"), reason
        say("reader", f"command {name} refused: {reason}")
    # The server's admin device restarts the device or ends the server: read-only too.
    admin = tango.DeviceProxy(device.adm_name())
    for name, argument in (("DevRestart", DEVICE), ("Kill", None)):
        reason = refusal(lambda: admin.command_inout(name, argument))
        assert reason.startswith("API_ReadOnlyMode:"), reason
        say("reader", f"{admin.name()} command {name} refused: {reason}")
    assert device.command_inout("State") == DevState.ON
    assert device.command_inout("Status") == device.status()

    events = state_events(device)
    next_state(events, DevState.ON)
    print("ready", flush=True)
    # An event pushed while the subscription still settles may be lost: the state is asked.
    wait_state(device, DevState.MOVING)
    device.command_inout("Stop")
    next_state(events, DevState.ON)
    status = device.status()
    # The server marks a motion that a Stop ended; a Stop at rest would not say so.
    assert "stopped" in status, status
    say("reader", f"Stop during the writer's move served; status: {status}")
    return 0


def unchecked() -> int:
    """As the reader, with SUPER_TANGO=true: the check is the client library's, and the server
    serves a client that skips it."""
    device = tango.DeviceProxy(DEVICE)
    access = device.get_access_control()
    assert access == AccessControlType.ACCESS_WRITE, access
    steps = device.Steps
    device.Steps = steps  # a move to where the mount is
    wait_state(device, DevState.ON)
    say("reader", f"with SUPER_TANGO=true: access {access}; its write of Steps served")
    return 0


def writer(reader_user: str) -> int:
    device = tango.DeviceProxy(DEVICE)
    assert device.get_access_control() == AccessControlType.ACCESS_WRITE
    allowed = tango.Database().get_class_property(device.info().dev_class, ["AllowedAccessCmd"])
    assert list(allowed["AllowedAccessCmd"]) == ALLOWED, allowed
    say("writer", f"access {device.get_access_control()}; AllowedAccessCmd {ALLOWED}")
    wait_state(device, DevState.ON)
    device.Position = 10.0  # MOVING from here
    wait_state(device, DevState.ON)
    assert device.Steps == 3982, device.Steps
    say("writer", f"moved to Position {device.Position:.4f} (Steps {device.Steps})")

    with as_reader(reader_user, "reader") as child:
        assert child.stdout is not None
        # The reader's own waits are bounded; the check's timeout bounds a reader that hangs.
        for line in child.stdout:
            if line == "ready\n":
                break
            print(line, end="", flush=True)
        else:
            raise AssertionError("the reader ended before it was ready")
        device.Position = 100.0
        say("writer", "started a move to 100 deg")
        rest, _ = child.communicate(timeout=2 * BOUND_S)
        print(rest, end="", flush=True)
    assert child.returncode == 0, f"the reader failed ({child.returncode})"
    with as_reader(reader_user, "unchecked", SUPER_TANGO="true") as child:
        print(child.communicate(timeout=2 * BOUND_S)[0], end="", flush=True)
    assert child.returncode == 0, f"the reader with SUPER_TANGO failed ({child.returncode})"
    return 0


def as_reader(user: str, role: str, **variables: str) -> "subprocess.Popen[str]":
    """This file's ``role`` run by ``user``, with TANGO_HOST and ``variables`` only: nothing
    else of the writer's environment, SUPER_TANGO least of all."""
    environment = {"PATH": "/usr/bin:/bin", "HOME": "/", "TANGO_HOST": os.environ["TANGO_HOST"],
                   **variables}
    command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups",
               "/usr/bin/python3", os.path.abspath(__file__), role]
    return subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=environment, cwd="/")


if __name__ == "__main__":
    if sys.argv[1:2] == ["reader"]:
        sys.exit(reader())
    if sys.argv[1:2] == ["unchecked"]:
        sys.exit(unchecked())
    sys.exit(writer(sys.argv[2]))
