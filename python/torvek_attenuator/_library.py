"""Finding and loading the shared library, and the prototypes of its C interface."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional

#: Set to the full path of the shared library to use that file and no other.
LIBRARY_ENV = "TORVEK_ATTENUATOR_LIBRARY"

TEXT_SIZE = 32  # TORVEK_ATT_TEXT_SIZE of torvek/attenuator.h
IDENT_SIZE = 12  # TORVEK_ATT_IDENT_SIZE


class LibraryNotFoundError(OSError):
    """The shared library torvek_attenuator could not be found or loaded."""


class MotorInfoRecord(ctypes.Structure):
    """torvek_att_motor_info: seven NUL-terminated texts in fixed arrays."""

    _fields_ = [
        ("ident_a", ctypes.c_char * TEXT_SIZE),
        ("ident_b", ctypes.c_char * TEXT_SIZE),
        ("degrees_per_revolution_text", ctypes.c_char * TEXT_SIZE),
        ("pulses_per_revolution_text", ctypes.c_char * TEXT_SIZE),
        ("ident_c", ctypes.c_char * TEXT_SIZE),
        ("ident_d", ctypes.c_char * TEXT_SIZE),
        ("home_offset_text", ctypes.c_char * TEXT_SIZE),
    ]


class IdentificationRecord(ctypes.Structure):
    """torvek_att_identification: the texts, the scale and the home offset as numbers."""

    _fields_ = [
        ("ident_a", ctypes.c_char * IDENT_SIZE),
        ("ident_b", ctypes.c_char * IDENT_SIZE),
        ("ident_c", ctypes.c_char * IDENT_SIZE),
        ("ident_d", ctypes.c_char * IDENT_SIZE),
        ("degrees_per_revolution", ctypes.c_int32),
        ("steps_per_revolution", ctypes.c_int32),
        ("home_offset_deg", ctypes.c_double),
    ]


class PortRecord(ctypes.Structure):
    """torvek_att_port: one serial port, its texts owned by the list it came in."""

    _fields_ = [
        ("path", ctypes.c_char_p),
        ("open_path", ctypes.c_char_p),
        ("by_id", ctypes.POINTER(ctypes.c_char_p)),
        ("by_id_count", ctypes.c_size_t),
        ("vendor_id", ctypes.c_char_p),
        ("product_id", ctypes.c_char_p),
        ("serial", ctypes.c_char_p),
        ("manufacturer", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("driver", ctypes.c_char_p),
        ("system_name", ctypes.c_char_p),
        ("may_open", ctypes.c_int32),
        ("open_error", ctypes.c_int32),
        ("group", ctypes.c_char_p),
        ("latency_timer_ms", ctypes.c_int32),
    ]


class LimitsRecord(ctypes.Structure):
    """torvek_att_limits: the library's fixed numbers."""

    _fields_ = [
        ("max_steps", ctypes.c_int32),
        ("max_degrees", ctypes.c_double),
        ("min_span", ctypes.c_double),
        ("connect_attempts", ctypes.c_int32),
        ("default_degrees_per_revolution", ctypes.c_int32),
        ("default_steps_per_revolution", ctypes.c_int32),
    ]


def _file_names() -> List[str]:
    if sys.platform == "win32":
        return ["torvek_attenuator.dll", "libtorvek_attenuator.dll"]
    if sys.platform == "darwin":
        return ["libtorvek_attenuator.1.dylib", "libtorvek_attenuator.dylib"]
    return ["libtorvek_attenuator.so.1", "libtorvek_attenuator.so"]


def candidates() -> List[str]:
    """Where the library is looked for, in order.

    With the environment variable TORVEK_ATTENUATOR_LIBRARY set, only the file it names.
    Otherwise: next to this package's modules; in the library directory of the prefix the
    package was installed to (recorded by ``cmake --install``; under /usr, as packaged, the
    soname alone) or of the build tree the package was copied to; then by bare name, which the
    system's loader resolves (LD_LIBRARY_PATH, the loader cache; PATH on Windows).
    """
    chosen = os.environ.get(LIBRARY_ENV)
    if chosen:
        return [chosen]
    here = Path(__file__).resolve().parent
    names = _file_names()
    found: List[str] = [str(here / name) for name in names]
    try:
        from . import _layout  # written by CMake into the build tree and the installed copy
    except ImportError:
        _layout = None
    if _layout is not None:
        if _layout.LIBRARY_DIR is None:
            # Installed under /usr, as the Debian package is: the library is in one of the
            # loader's own directories, and the loader finds it by its soname.
            found.append(_layout.LIBRARY_FILE)
        else:
            directory = (here / _layout.LIBRARY_DIR).resolve()
            found += [str(directory / name) for name in [_layout.LIBRARY_FILE] + names]
    found += names
    unique: List[str] = []
    for path in found:
        if path not in unique:
            unique.append(path)
    return unique


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def load() -> ctypes.CDLL:
    """The loaded library, with the prototypes of every function declared.

    Raises LibraryNotFoundError, listing every place tried, when no candidate loads.
    """
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _declare(_open())
        return _loaded


def _open() -> ctypes.CDLL:
    tried: List[str] = []
    for path in candidates():
        bare = os.sep not in path and "/" not in path
        if not bare and not os.path.exists(path):
            tried.append(f"{path} (no such file)")
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as err:
            where = "the system's library search path" if bare else "file"
            tried.append(f"{path} ({where}: {err})")
    lines = "\n  ".join(tried)
    raise LibraryNotFoundError(
        "cannot load the torvek_attenuator shared library; tried:\n  "
        f"{lines}\nInstall the library with 'cmake --install', or set {LIBRARY_ENV} to the "
        "full path of the library file."
    )


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    handle = ctypes.c_void_p
    i32 = ctypes.c_int32
    f32 = ctypes.c_float
    f64 = ctypes.c_double
    prototypes = {
        "torvek_att_create": (handle, []),
        "torvek_att_destroy": (None, [handle]),
        "torvek_att_connect": (i32, [handle, ctypes.c_char_p]),
        "torvek_att_connect_with_attempts": (i32, [handle, ctypes.c_char_p, i32]),
        "torvek_att_check_port": (i32, [handle]),
        "torvek_att_get_scale": (i32, [handle, ctypes.POINTER(i32), ctypes.POINTER(i32)]),
        "torvek_att_get_identification": (
            i32, [handle, ctypes.POINTER(IdentificationRecord), i32]),
        "torvek_att_transmittance_at": (i32, [f32, f64, f64, ctypes.POINTER(f32)]),
        "torvek_att_transmittance_curve": (
            i32, [ctypes.POINTER(f64), ctypes.c_size_t, f64, f64, ctypes.POINTER(f64)]),
        "torvek_att_angle_for": (i32, [f32, f64, f64, ctypes.POINTER(f32)]),
        "torvek_att_degrees_to_steps": (i32, [f32, i32, i32, ctypes.POINTER(i32)]),
        "torvek_att_steps_to_degrees": (i32, [i32, i32, i32, ctypes.POINTER(f32)]),
        "torvek_att_check_model": (i32, [f64, f64]),
        "torvek_att_get_limits": (ctypes.POINTER(LimitsRecord), []),
        "torvek_att_optical_density": (i32, [f64, ctypes.POINTER(f64)]),
        "torvek_att_attenuation_db": (i32, [f64, ctypes.POINTER(f64)]),
        "torvek_att_transmittance_of_density": (i32, [f64, ctypes.POINTER(f64)]),
        "torvek_att_density_limit": (i32, [f64, f64, i32, i32, ctypes.POINTER(f64)]),
        "torvek_att_accepted_densities": (i32, [f64, ctypes.c_char_p, ctypes.c_size_t]),
        "torvek_att_transmittance_for_density": (
            i32, [f64, f64, f64, i32, i32, ctypes.POINTER(f64)]),
        "torvek_att_status_hint": (ctypes.c_char_p, [i32]),
        "torvek_att_accepted_range": (ctypes.c_char_p, [i32]),
        "torvek_att_list_ports": (ctypes.c_void_p, []),
        "torvek_att_port_count": (ctypes.c_size_t, [ctypes.c_void_p]),
        "torvek_att_port_at": (ctypes.POINTER(PortRecord), [ctypes.c_void_p, ctypes.c_size_t]),
        "torvek_att_free_ports": (None, [ctypes.c_void_p]),
        "torvek_att_resolve_port": (i32, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
        "torvek_att_port_advice": (i32, [ctypes.c_char_p, i32, ctypes.c_char_p, ctypes.c_size_t]),
        "torvek_att_disconnect": (i32, [handle]),
        "torvek_att_cancel": (i32, [handle]),
        "torvek_att_get_current_status": (i32, [handle, i32]),
        "torvek_att_get_motor_info": (i32, [handle, ctypes.POINTER(MotorInfoRecord), i32]),
        "torvek_att_set_motor_steps": (i32, [handle, i32, i32]),
        "torvek_att_get_motor_steps": (i32, [handle, ctypes.POINTER(i32), i32]),
        "torvek_att_set_motor_degree": (i32, [handle, f32, i32]),
        "torvek_att_get_motor_degree": (i32, [handle, ctypes.POINTER(f32), i32]),
        "torvek_att_mechanical_calibration": (i32, [handle, i32]),
        "torvek_att_start_optimization": (i32, [handle, i32]),
        "torvek_att_start_cleaning_mechanics": (i32, [handle, i32]),
        "torvek_att_stop": (i32, [handle, i32]),
        "torvek_att_set_transmittance": (i32, [handle, f32, f64, f64, i32]),
        "torvek_att_get_transmittance": (i32, [handle, ctypes.POINTER(f32), f64, f64, i32]),
        "torvek_att_status_name": (ctypes.c_char_p, [i32]),
        "torvek_att_library_version": (ctypes.c_char_p, []),
    }
    for name, (result, arguments) in prototypes.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib
