"""The window's attenuator: one Mount at a time, and the simulator behind it when the device
is a simulated one.

What the Mount says reaches the window as Qt signals on the GUI thread, and nothing here waits
for the line on that thread: the Mount's own worker connects and runs the motions, one thread
of the session makes the reads, and each Stop gets a thread of its own, so that it never
queues behind a read (the Mount's stop ends a motion's wait at once and sends the device's
stop)."""

from __future__ import annotations

import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Callable, Optional

from .. import Motion, Mount, MountError, MountSnapshot, MountState
from ._qt import QtCore
from .simulator import Simulator
from .tools import INSTALL_HINT, SIMULATOR, Tools

#: What the window asks of the Mount: a query's and a motion's longest wait, in seconds.
QUERY_TIMEOUT_S = 2.0
MOTION_TIMEOUT_S = 60.0


class Session(QtCore.QObject):
    """``changed`` carries every MountSnapshot, in order (None once disconnected);
    ``refused`` what a request met instead: the text and the library's hint.
    ``status_read`` says whether the device's status code was asked since the mount connected
    (the Mount counts 0 until the device says otherwise): the session asks once the mount is
    ON, after every connect, its own or the Mount's after a port came back."""

    changed = QtCore.pyqtSignal(object)
    refused = QtCore.pyqtSignal(str, str)
    _arrived = QtCore.pyqtSignal(object, object)
    _failed = QtCore.pyqtSignal(object, str, str)
    _status_done = QtCore.pyqtSignal(object, int, bool)

    def __init__(self, tools: Tools, parent: Optional[QtCore.QObject] = None) -> None:
        super().__init__(parent)
        self.tools = tools
        self.mount: Optional[Mount] = None
        self.status_read = False
        # Connections counted, so that a status read that ends after the mount connected
        # again says nothing about the new connection; and the one that the status was last
        # asked for by the session itself.
        self._connection, self._asked = 0, -1
        self.min_angle, self.span = 0.0, 90.0
        self.simulator = Simulator(self)
        self.simulator.ready.connect(self._open)
        self.simulator.failed.connect(self._fail_simulated)
        self._reads = ThreadPoolExecutor(1, thread_name_prefix="attenuator-gui read")
        self._arrived.connect(self._on_arrived)
        self._failed.connect(self._on_failed)
        self._status_done.connect(self._on_status_done)

    # Snapshots and failures come from the Mount's threads; a mount replaced meanwhile has
    # nothing more to say.

    def _on_arrived(self, mount: Mount, snap: MountSnapshot) -> None:
        if mount is not self.mount:
            return
        if snap.state in (MountState.INIT, MountState.FAULT):
            self._connection += 1
            self.status_read = False
        elif snap.state is MountState.ON and not self.status_read and \
                self._asked != self._connection:
            self._asked = self._connection
            self._read_status_code(mount, quiet_if_moving=True)
        self.changed.emit(snap)

    def _on_failed(self, mount: Mount, text: str, hint: str) -> None:
        if mount is self.mount:
            self.refused.emit(text, hint)

    def _on_status_done(self, mount: Mount, connection: int, done: bool) -> None:
        if mount is not self.mount or connection != self._connection:
            return
        if done:
            self.status_read = True
        elif self._asked == connection:
            self._asked = -1  # refused during a motion: asked again at the next ON
        self.changed.emit(mount.snapshot())

    # What is there.

    @property
    def simulated(self) -> bool:
        return self.simulator.running

    def snapshot(self) -> Optional[MountSnapshot]:
        return None if self.mount is None else self.mount.snapshot()

    def moving(self) -> bool:
        snap = self.snapshot()
        return snap is not None and snap.moving

    # Connecting.

    def connect_port(self, port: str) -> None:
        """Closes what is open (and a simulator) and connects to ``port``."""
        self.disconnect()
        self._open(port)

    def start_simulated(self) -> None:
        """Starts attenuator-sim and connects to the port it prints."""
        self.disconnect()
        if self.tools.simulator is None:
            self.refused.emit(self.tools.missing(SIMULATOR), INSTALL_HINT)
            return
        self.simulator.start(self.tools.simulator, self.tools.simulator_arguments)

    def reconnect(self) -> None:
        """Connects the open Mount again (the library reads the wire trace's variable then)."""
        if self.mount is not None:
            self._connect(self.mount)

    def disconnect(self) -> None:
        """Closes the Mount without a stop (stop first) and ends the simulator."""
        mount, self.mount = self.mount, None
        if mount is not None:
            mount.close()
            self.changed.emit(None)
        self.simulator.stop()

    def close(self) -> None:
        self.disconnect()
        self._reads.shutdown(wait=False)

    def _open(self, port: str) -> None:
        mount = Mount(port, timeout=QUERY_TIMEOUT_S, motion_timeout=MOTION_TIMEOUT_S,
                      min_angle=self.min_angle, span=self.span)
        self.mount = mount
        mount.subscribe(lambda snap: self._arrived.emit(mount, snap))
        self.changed.emit(mount.snapshot())
        self._connect(mount)

    def _connect(self, mount: Mount) -> None:
        # A failed connect says why in the snapshot (FAULT, the reason, the hint).
        try:
            mount.connect()
        except MountError as err:
            self.refused.emit(err.text, err.hint)

    def _fail_simulated(self, text: str, not_run: bool) -> None:
        self.disconnect()
        self.refused.emit(text, INSTALL_HINT if not_run else "")

    # Requests.

    def move(self, start: Callable[[Mount], Motion]) -> Optional[Motion]:
        """Starts a motion: ``start(mount)``; None when refused (``refused`` says why)."""
        mount = self.mount
        if mount is None:
            self.refused.emit("not connected: connect to a port or a simulated device first",
                              "")
            return None
        try:
            return start(mount)
        except MountError as err:
            self.refused.emit(err.text, err.hint)
            return None

    def stop(self) -> None:
        """Stops the mount: during a motion at once, otherwise with the device's stop."""
        mount = self.mount
        if mount is not None:
            threading.Thread(target=self._stop, args=(mount,), name="attenuator-gui stop",
                             daemon=True).start()

    def stop_and_wait(self, bound: float) -> None:
        """Stops the mount and waits until it is at rest, at most ``bound`` seconds (closing
        the window)."""
        mount = self.mount
        if mount is not None and mount.snapshot().moving:
            try:
                mount.stop().result(timeout=bound)
            except Exception:  # whatever came of it, the window closes
                pass

    def refresh(self) -> None:
        """Reads the position and the device's status code."""
        mount = self.mount
        if mount is not None:
            self._read(mount, mount.read_position)
            self._read_status_code(mount)

    def set_model(self, min_angle: float, span: float) -> bool:
        """Takes another transmittance model (degrees), as the library checks it."""
        try:
            Mount.check_model(min_angle, span)
        except MountError as err:
            self.refused.emit(err.text, err.hint)
            return False
        self.min_angle, self.span = float(min_angle), float(span)
        if self.mount is not None:
            self.mount.set_model(min_angle, span)
        return True

    def _read_status_code(self, mount: Mount, quiet_if_moving: bool = False) -> None:
        connection = self._connection

        def read() -> None:
            done = False
            try:
                done = not mount.read_status_code().moving  # during a motion it asks nobody
            finally:
                self._status_done.emit(mount, connection, done)

        self._read(mount, read, quiet_if_moving)

    def _stop(self, mount: Mount) -> None:
        try:
            mount.stop()
        except MountError as err:
            self._failed.emit(mount, err.text, err.hint)

    def _read(self, mount: Mount, read: Callable[[], object],
              quiet_if_moving: bool = False) -> "Future[object]":
        def run() -> None:
            try:
                read()
            except MountError as err:
                if not (quiet_if_moving and err.reason == "Moving"):
                    self._failed.emit(mount, err.text, err.hint)

        return self._reads.submit(run)
