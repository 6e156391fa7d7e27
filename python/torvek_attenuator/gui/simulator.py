"""attenuator-sim behind a simulated device: started as a child process, its port taken from
the first line it prints, ended with the window or the connection."""

from __future__ import annotations

from typing import Optional, Sequence

from ._qt import QtCore

#: How long the simulator may take to print its port, in milliseconds.
START_BOUND_MS = 10000
#: How long it may take to end after SIGTERM before it is killed.
STOP_BOUND_MS = 3000


class Simulator(QtCore.QObject):
    """One attenuator-sim process at a time. ``ready`` carries its port; ``failed`` why it did
    not start or ended on its own, and whether the program itself could not be run."""

    ready = QtCore.pyqtSignal(str)
    failed = QtCore.pyqtSignal(str, bool)

    def __init__(self, parent: Optional[QtCore.QObject] = None) -> None:
        super().__init__(parent)
        self._process: Optional[QtCore.QProcess] = None
        self._port = ""
        self._errors = b""
        self._deadline = QtCore.QTimer(self, singleShot=True, interval=START_BOUND_MS)
        self._deadline.timeout.connect(lambda: self._give_up(
            f"attenuator-sim printed no port within {START_BOUND_MS / 1000:g} s"))

    @property
    def running(self) -> bool:
        return self._process is not None

    @property
    def port(self) -> str:
        """The port it serves, "" before it said."""
        return self._port

    def start(self, program: str, arguments: Sequence[str] = ()) -> None:
        self.stop()
        process = QtCore.QProcess(self)
        process.setProgram(program)
        process.setArguments(list(arguments))
        process.readyReadStandardOutput.connect(lambda: self._read_port(process))
        process.readyReadStandardError.connect(lambda: self._read_errors(process))
        process.errorOccurred.connect(lambda error: self._on_error(process, error))
        process.finished.connect(lambda code, status: self._on_finished(process, code))
        self._process, self._port, self._errors = process, "", b""
        self._deadline.start()
        process.start()

    def stop(self) -> None:
        """Ends it (SIGTERM, which it answers at once; killed after STOP_BOUND_MS)."""
        process, self._process = self._process, None
        self._deadline.stop()
        if process is None:
            return
        if process.state() != QtCore.QProcess.NotRunning:
            process.terminate()
            if not process.waitForFinished(STOP_BOUND_MS):
                process.kill()
                process.waitForFinished(STOP_BOUND_MS)
        process.deleteLater()

    def _read_port(self, process: QtCore.QProcess) -> None:
        if process is not self._process:
            return
        # After the first line come the new ports of replugs, which this window never asks for.
        while process.canReadLine():
            line = bytes(process.readLine()).decode(errors="replace").strip()
            if line and not self._port:
                self._port = line
                self._deadline.stop()
                self.ready.emit(line)

    def _read_errors(self, process: QtCore.QProcess) -> None:
        # Kept for the message should it end; its last lines say why.
        self._errors = (self._errors + bytes(process.readAllStandardError()))[-2000:]

    def _on_error(self, process: QtCore.QProcess, error: int) -> None:
        if process is self._process and error == QtCore.QProcess.FailedToStart:
            self._give_up(f"attenuator-sim could not start ({process.program()}): "
                          f"{process.errorString()}", not_run=True)

    def _on_finished(self, process: QtCore.QProcess, code: int) -> None:
        if process is not self._process:
            return
        self._read_errors(process)
        said = self._errors.decode(errors="replace").strip()
        self._give_up(f"attenuator-sim ended (exit code {code})" + (f": {said}" if said else ""))

    def _give_up(self, text: str, not_run: bool = False) -> None:
        self.stop()
        self.failed.emit(text, not_run)
