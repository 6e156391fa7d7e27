"""The TorvekAttenuator Tango device: one attenuator shared by every client of the control
system; a map of properties, attributes, commands and states onto torvek_attenuator.Mount,
which connects, runs the motions on its worker and knows the position during them.

Threads. Tango runs the requests to a device one at a time (its monitor). The Mount's changes
reach the device's event thread through a queue; that thread pushes the change events under
the monitor, so that no thread of the Mount ever waits for it. Init makes a new Mount.
"""

from __future__ import annotations

import math
import queue
import sys
import threading
import time
from typing import Any, List, Optional, Sequence, Tuple

import tango
from tango import AttrQuality, AttrWriteType, DevState, DispLevel
from tango.server import Device, attribute, command, device_property, run

from torvek_attenuator import (MAX_DEGREES, MAX_STEPS, Mount, MountError, MountSnapshot,
                               MountState, optical_density)

from . import access

#: The server's name, whatever the launcher is called: instances are registered under it.
SERVER_NAME = "attenuator-tango"
#: How long a request made while the device connects waits for the connection to finish;
#: below a client's default time-out of 3 s.
CONNECT_WAIT_S = 2.5


def _advice(reason: str, text: str, state: Optional[MountState] = None) -> str:
    """The Mount's words, with the properties and the command a Tango user has for them."""
    if reason == "ReplyTimeout" and "TimeoutMs" not in text:
        text += " (properties TimeoutMs and MotionTimeoutMs)"
    if state is MountState.FAULT and "Init" not in text:
        text += "; Init connects again"
    return text


def _quality(snap: MountSnapshot) -> AttrQuality:
    return AttrQuality.ATTR_CHANGING if snap.moving else AttrQuality.ATTR_VALID


def _density(snap: MountSnapshot) -> Tuple[float, AttrQuality]:
    """The optical density of the snapshot's transmittance: at T = 0 no finite number, so
    inf with quality ALARM."""
    density = optical_density(snap.transmittance or 0.0)
    if density == math.inf and not snap.moving:
        return density, AttrQuality.ATTR_ALARM
    return density, _quality(snap)


def throw(reason: str, description: str, origin: str) -> None:
    tango.Except.throw_exception(reason, description, f"TorvekAttenuator.{origin}")


class TorvekAttenuator(Device):
    """A motorised optical attenuator: a rotation mount whose transmittance follows sin^2 of
    its angle, on a serial line. Writing Position, Steps, Transmittance or OpticalDensity, Home,
    StartOptimization and StartCleaning start a motion and return at once: MOVING until the
    device answers, then ON (ALARM: a device status code; FAULT: the line failed). Stop ends a
    motion; Init reconnects."""

    Port = device_property(
        dtype=str, mandatory=True,
        doc="Serial port: /dev/ttyUSB0, /dev/serial/by-id/..., or usb:VID:PID[:SERIAL]")
    TimeoutMs = device_property(
        dtype=int, default_value=2000,
        doc="Longest wait in ms for the reply to a query (keep it below the clients' "
            "time-out, 3000 ms by default)")
    MotionTimeoutMs = device_property(
        dtype=int, default_value=60000,
        doc="Longest wait in ms for the end of a move, homing, optimisation or cleaning")
    MinAngle = device_property(
        dtype=float, default_value=0.0,
        doc="Transmittance model: the angle in degrees where the transmittance is 0")
    AngleSpan = device_property(
        dtype=float, default_value=90.0,
        doc="Transmittance model: the rotation in degrees from transmittance 0 to 1")

    Position = attribute(
        dtype=float, access=AttrWriteType.READ_WRITE, label="Position", unit="deg",
        standard_unit=1.0, display_unit=1.0, format="%9.4f",
        min_value=-MAX_DEGREES, max_value=MAX_DEGREES,
        doc="Mount angle in degrees; writing starts a move (-360 < angle < 360)")
    Steps = attribute(
        dtype=tango.DevLong, access=AttrWriteType.READ_WRITE, label="Steps", unit="steps",
        format="%7d", min_value=-MAX_STEPS, max_value=MAX_STEPS,
        doc="Mount position in motor steps; writing starts a move")
    Transmittance = attribute(
        dtype=float, access=AttrWriteType.READ_WRITE, label="Transmittance", unit="",
        format="%6.4f", min_value=0.0, max_value=1.0,
        doc="Transmittance 0 to 1 by the model of MinAngle and AngleSpan; writing moves "
            "to the angle that gives it")
    OpticalDensity = attribute(
        dtype=float, access=AttrWriteType.READ_WRITE, label="Optical density", unit="OD",
        format="%7.4f", min_value=0.0,
        doc="Optical density -log10(T) of the transmittance by the model of MinAngle and "
            "AngleSpan; inf (quality ALARM) where T = 0. Writing moves there: 0 up to the "
            "model's limit at the device's scale (Tango takes no inf in a write: for T = 0 "
            "write Transmittance 0)")
    DeviceStatusCode = attribute(
        dtype=tango.DevLong, label="Device status code", format="%3d",
        min_value=0, max_value=255,
        doc="The status code the device reports: 0 is fine, 1 to 255 its own fault codes")
    HomeOffset = attribute(
        dtype=float, label="Home offset", unit="deg", format="%10.6f", fget="_read_info",
        doc="The device's home offset in degrees, read when it connected")
    DegreesPerRevolution = attribute(
        dtype=tango.DevLong, label="Degrees per revolution", unit="deg", format="%d",
        display_level=DispLevel.EXPERT, fget="_read_info",
        doc="The device's scale, from its identification")
    StepsPerRevolution = attribute(
        dtype=tango.DevLong, label="Steps per revolution", unit="steps", format="%d",
        display_level=DispLevel.EXPERT, fget="_read_info",
        doc="The device's scale, from its identification")
    IdentA = attribute(dtype=str, label="Identification A", display_level=DispLevel.EXPERT,
                       fget="_read_info",
                       doc="First identification field (8 characters, as the device sent it)")
    IdentB = attribute(dtype=str, label="Identification B", display_level=DispLevel.EXPERT,
                       fget="_read_info", doc="Second identification field (4 characters)")
    IdentC = attribute(dtype=str, label="Identification C", display_level=DispLevel.EXPERT,
                       fget="_read_info", doc="Third identification field (2 characters)")
    IdentD = attribute(dtype=str, label="Identification D", display_level=DispLevel.EXPERT,
                       fget="_read_info", doc="Fourth identification field (2 characters)")
    #: The views of the position, pushed together.
    _VIEWS = ("Position", "Steps", "Transmittance", "OpticalDensity")
    _INFO = {"HomeOffset": "home_offset_deg", "DegreesPerRevolution": "degrees_per_revolution",
             "StepsPerRevolution": "steps_per_revolution", "IdentA": "ident_a",
             "IdentB": "ident_b", "IdentC": "ident_c", "IdentD": "ident_d"}

    # Life cycle: the properties make a Mount, or a FAULT that says which one is wrong.

    def init_device(self) -> None:
        self._mount: Optional[Mount] = None
        self._changes: "queue.Queue[Optional[MountSnapshot]]" = queue.Queue()
        self._fault = ("PortUnavailable", "connecting")
        self._sample: Optional[MountSnapshot] = None
        try:
            super().init_device()
        except Exception:  # a mandatory property is missing: said below
            pass
        for name in ("State",) + self._VIEWS:
            self.set_change_event(name, True, False)
        port = (self.Port or "").strip()
        if not port:
            self._fault = ("PortUnavailable", "property Port is not set: give the device its "
                           "serial port (with a database: tango_admin --add-property DEVICE "
                           "Port /dev/ttyUSB0; in a device file: DEVICE->Port: /dev/ttyUSB0), "
                           "then run Init")
            return
        for name, value in (("TimeoutMs", self.TimeoutMs),
                            ("MotionTimeoutMs", self.MotionTimeoutMs)):
            if value is None or value <= 0:
                self._fault = ("InvalidArgument", f"property {name} = {value} refused: it must "
                               "be a number of milliseconds above 0; fix it, then run Init")
                return
        try:
            mount = Mount(port, timeout=self.TimeoutMs / 1000.0, min_angle=self.MinAngle,
                          motion_timeout=self.MotionTimeoutMs / 1000.0, span=self.AngleSpan,
                          connect_wait=CONNECT_WAIT_S)
        except MountError as err:
            self._fault = (err.reason, f"properties MinAngle = {self.MinAngle:g}, AngleSpan = "
                           f"{self.AngleSpan:g} refused: {err.detail}; fix them, then run Init")
            return
        except Exception as err:  # the library could not load, a system object refused
            self._fault = ("InternalError", f"cannot connect: {err}; then run Init")
            return
        mount.subscribe(self._changes.put)
        self._mount = mount
        threading.Thread(target=self._push_changes, daemon=True, name="attenuator-events",
                         args=(mount, self._changes, mount.snapshot())).start()
        mount.connect()

    def delete_device(self) -> None:
        mount, self._mount = self._mount, None
        self._changes.put(None)
        if mount is not None:
            try:
                mount.close()
            except Exception as err:  # Init and the server's shutdown must go on regardless
                print(f"attenuator-tango: closing the connection failed: {err!r}",
                      file=sys.stderr)

    def dev_state(self) -> DevState:
        if self._mount is None:
            return DevState.FAULT
        return getattr(DevState, self._mount.snapshot().state.name)

    def dev_status(self) -> str:
        if self._mount is None:
            return self._fault[1]
        snap = self._mount.snapshot()
        return _advice(snap.reason, snap.status, snap.state)

    def read_attr_hardware(self, attr_list: List[int]) -> None:
        # Position, Steps, Transmittance and OpticalDensity read in one request share one
        # position read.
        self._sample = None

    # Events, from the device's own thread.

    def _push_changes(self, mount: Mount, changes: "queue.Queue[Optional[MountSnapshot]]",
                      last: MountSnapshot) -> None:
        with tango.EnsureOmniThread():
            while True:
                snap = changes.get()
                if snap is None:
                    return
                with tango.AutoTangoMonitor(self):
                    if mount is not self._mount:
                        return
                    self._push(last, snap)
                last = snap

    def _push(self, last: MountSnapshot, snap: MountSnapshot) -> None:
        """Events for what changed: State, and the position's three views when the position,
        the motion or the identification did, or connecting ended; the set points where a
        motion or connecting ended, which is where a panel's write field should start."""
        state = getattr(DevState, snap.state.name)
        ended = last.state in (MountState.MOVING, MountState.INIT) and last.state is not \
            snap.state
        if last.state is not snap.state:
            self.set_state(state)
            self.push_change_event("State", state)
        if not ended and (last.steps, last.moving, last.info) == (
                snap.steps, snap.moving, snap.info):
            return
        now, quality = time.time(), _quality(snap)
        if snap.degrees is None or snap.transmittance is None or snap.steps is None:
            values = ((0.0, AttrQuality.ATTR_INVALID), (0, AttrQuality.ATTR_INVALID),
                      (0.0, AttrQuality.ATTR_INVALID), (0.0, AttrQuality.ATTR_INVALID))
        else:
            values = ((snap.degrees, quality), (snap.steps, quality),
                      (snap.transmittance, quality), _density(snap))
        attributes = self.get_device_attr()
        for name, (value, quality) in zip(self._VIEWS, values):
            self.push_change_event(name, value, now, quality)
            if quality == AttrQuality.ATTR_VALID and ended:
                attributes.get_w_attr_by_name(name).set_write_value(value)

    # Requests.

    def _call(self, what: str, method: str, *arguments: Any, **options: Any) -> Any:
        """The Mount's answer; its refusals and failures as DevFailed."""
        if self._mount is None:
            reason, text = self._fault
            throw(reason, f"{what} refused: the device is in FAULT: {text}", what)
        try:
            return getattr(self._mount, method)(*arguments, **options)
        except MountError as err:
            throw(err.reason, _advice(err.reason, err.text), what)

    def _position(self) -> Tuple[MountSnapshot, AttrQuality]:
        if self._sample is None:
            self._sample = self._call("read Position", "read_position")
        return self._sample, _quality(self._sample)

    def read_Position(self) -> Tuple[float, float, AttrQuality]:
        snap, quality = self._position()
        return snap.degrees, time.time(), quality

    def write_Position(self, value: float) -> None:
        self._call("write Position", "move_to", value)

    def read_Steps(self) -> Tuple[int, float, AttrQuality]:
        snap, quality = self._position()
        return snap.steps, time.time(), quality

    def write_Steps(self, value: int) -> None:
        self._call("write Steps", "move_to_steps", value)

    def read_Transmittance(self) -> Tuple[float, float, AttrQuality]:
        snap, quality = self._position()
        return snap.transmittance, time.time(), quality

    def write_Transmittance(self, value: float) -> None:
        self._call("write Transmittance", "set_transmittance", value)

    def read_OpticalDensity(self) -> Tuple[float, float, AttrQuality]:
        density, quality = _density(self._position()[0])
        return density, time.time(), quality

    def write_OpticalDensity(self, value: float) -> None:
        self._call("write OpticalDensity", "set_optical_density", value)

    def read_DeviceStatusCode(self) -> Tuple[int, float, AttrQuality]:
        snap = self._call("read DeviceStatusCode", "read_status_code")
        return snap.status_code, time.time(), _quality(snap)

    def _read_info(self, attr: tango.Attribute) -> None:
        what = f"read {attr.get_name()}"
        info = self._call(what, "ready", what, moving_ok=True).info
        attr.set_value(getattr(info, self._INFO[attr.get_name()]))

    @command(doc_in="Homes the mount (mechanical calibration); returns at once, state MOVING "
                    "until the device reports it done")
    def Home(self) -> None:
        self._call("Home", "home")

    @command(doc_in="Runs the device's motor optimisation; returns at once, state MOVING "
                    "until it is over")
    def StartOptimization(self) -> None:
        self._call("StartOptimization", "optimize")

    @command(doc_in="Runs the device's mechanics cleaning; returns at once, state MOVING "
                    "until it is over")
    def StartCleaning(self) -> None:
        self._call("StartCleaning", "clean")

    @command(doc_in="Stops the mount. During a motion: ends its wait at once and sends the "
                    "device's stop; state MOVING until the device confirms, then ON")
    def Stop(self) -> None:
        self._call("Stop", "stop")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the server: ``attenuator-tango INSTANCE [-file=PATH] [-ORBendPoint ...]``."""
    args = list(sys.argv if argv is None else argv)
    args[0] = SERVER_NAME
    run((TorvekAttenuator,), args=args,
        post_init_callback=(access.declare_at_start, (TorvekAttenuator.__name__,)))
    return 0
