"""The machine's serial ports and the port a name stands for, as the library finds them."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import List, Tuple

from . import _library
from ._status import OK, AttenuatorError


@dataclass(frozen=True)
class SerialPort:
    """A serial port of this machine, with what the system knows of it ("" where nothing)."""

    path: str
    open_path: str
    by_id: Tuple[str, ...]
    vendor_id: str
    product_id: str
    serial: str
    manufacturer: str
    product: str
    driver: str
    system_name: str
    may_open: bool
    #: When this user may not open it: why (an errno value) and the group that owns it.
    open_error: int
    group: str
    #: A USB adapter's latency timer in ms; -1 when there is none or it is not known.
    latency_timer_ms: int

    @property
    def usb_identity(self) -> str:
        """The port's stable name, ``usb:VID:PID[:SERIAL]``, or "" for a port not on USB."""
        if not (self.vendor_id and self.product_id):
            return ""
        name = f"usb:{self.vendor_id}:{self.product_id}"
        return f"{name}:{self.serial}" if self.serial else name


def _text(raw: bytes) -> str:
    return os.fsdecode(raw) if raw else ""


def list_ports() -> List[SerialPort]:
    """The serial ports of this machine, in name order (ttyUSB2 before ttyUSB10): USB adapters,
    ACM modems and on-board UARTs with hardware behind them on Linux; the COM names on Windows.
    Opens no port."""
    lib = _library.load()
    handle = lib.torvek_att_list_ports()
    if not handle:
        raise MemoryError("torvek_att_list_ports")
    try:
        ports = []
        for index in range(lib.torvek_att_port_count(handle)):
            record = lib.torvek_att_port_at(handle, index).contents
            ports.append(SerialPort(
                path=_text(record.path),
                open_path=_text(record.open_path),
                by_id=tuple(_text(record.by_id[i]) for i in range(record.by_id_count)),
                vendor_id=_text(record.vendor_id),
                product_id=_text(record.product_id),
                serial=_text(record.serial),
                manufacturer=_text(record.manufacturer),
                product=_text(record.product),
                driver=_text(record.driver),
                system_name=_text(record.system_name),
                may_open=bool(record.may_open),
                open_error=record.open_error,
                group=_text(record.group),
                latency_timer_ms=record.latency_timer_ms,
            ))
        return ports
    finally:
        lib.torvek_att_free_ports(handle)


def resolve_port(name: "str | os.PathLike[str]") -> str:
    """The port a name stands for now: ``usb:VID:PID[:SERIAL]`` becomes the port of the USB
    adapter that carries that identity; any other name is itself. Raises AttenuatorError
    "NoSuchPort" (no such adapter, or a malformed name) or "AmbiguousPort"."""
    wanted = os.fsencode(name)
    found = ctypes.create_string_buffer(4096)
    result = _library.load().torvek_att_resolve_port(wanted, found, len(found))
    if result != OK:
        raise AttenuatorError(result, f"resolve_port({os.fsdecode(name)!r})")
    return os.fsdecode(found.value)
