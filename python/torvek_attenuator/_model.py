"""The transmittance model and the unit conversions, as the library applies them: a host can
plan a sweep, convert a reading or draw the model without a device, and gets the numbers the
attenuator would."""

from __future__ import annotations

import ctypes
from typing import Any, Optional

from . import _library
from ._status import (
    INVALID_ARGUMENT,
    OK,
    RANGE_DEGREES,
    RANGE_MODEL,
    RANGE_TRANSMITTANCE,
    AttenuatorError,
    invalid_argument,
)

# The library's fixed numbers, read from it when first asked for (importing the package loads
# no library): MAX_STEPS, a move's bound in motor steps, both ends included; MAX_DEGREES, a
# move's bound in degrees, neither end included; MIN_SPAN, the transmittance model's smallest
# span either way, in degrees; CONNECT_ATTEMPTS, how often connect tries the identification
# when the device missed its 100 ms window.
_LIMITS = {
    "MAX_STEPS": "max_steps",
    "MAX_DEGREES": "max_degrees",
    "MIN_SPAN": "min_span",
    "CONNECT_ATTEMPTS": "connect_attempts",
}


def __getattr__(name: str) -> Any:
    if name in _LIMITS:
        return getattr(_library.load().torvek_att_get_limits().contents, _LIMITS[name])
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _default_scale() -> "tuple[int, int]":
    limits = _library.load().torvek_att_get_limits().contents
    return limits.default_degrees_per_revolution, limits.default_steps_per_revolution


def check_model(min_angle: float, span: float) -> None:
    """Raises AttenuatorError "InvalidArgument" unless the model T = sin^2(90 * (angle -
    min_angle) / span) is taken: min_angle > -360, min_angle + span < 360, |span| >= 1e-9."""
    if _library.load().torvek_att_check_model(float(min_angle), float(span)) != OK:
        raise invalid_argument(f"check_model({min_angle!r}, {span!r})", RANGE_MODEL)


def transmittance_at(angle: float, min_angle: float, span: float) -> float:
    """The model's transmittance (0 to 1) at a mount angle in degrees, exactly as
    :meth:`Attenuator.transmittance` computes it from a position: narrowed to a C float."""
    value = ctypes.c_float()
    if _library.load().torvek_att_transmittance_at(
            float(angle), float(min_angle), float(span), ctypes.byref(value)) != OK:
        check_model(min_angle, span)
        raise AttenuatorError(INVALID_ARGUMENT, f"transmittance_at({angle!r})", "the angle is not a number")
    return value.value


def transmittance_curve(angles: Any, min_angle: float, span: float) -> Any:
    """The model's transmittance at many angles in double precision: the arithmetic of
    :func:`transmittance_at` before its narrowing to a C float, for fits and plots. A numpy
    array gives a numpy array of the same shape (computed in place of a copy, without a loop
    in Python); any other sequence a list. Parameters beyond the bounds a move takes are
    computed too (a fit tries them); a span smaller than 1e-9 or a parameter that is not a
    number is refused."""
    lib = _library.load()
    double_p = ctypes.POINTER(ctypes.c_double)
    if hasattr(angles, "__array_interface__"):
        import numpy as np  # only a numpy array comes this way

        given = np.ascontiguousarray(angles, dtype=np.float64)
        found = np.empty_like(given)
        result = lib.torvek_att_transmittance_curve(
            given.ctypes.data_as(double_p), given.size, float(min_angle), float(span),
            found.ctypes.data_as(double_p))
    else:
        count = len(angles)
        given_c = (ctypes.c_double * count)(*[float(a) for a in angles])
        found_c = (ctypes.c_double * count)()
        result = lib.torvek_att_transmittance_curve(given_c, count, float(min_angle),
                                                    float(span), found_c)
        found = list(found_c)
    if result != OK:
        raise AttenuatorError(INVALID_ARGUMENT, "transmittance_curve",
                              "min angle and span must be numbers, the span at least 1e-9 "
                              "degrees either way")
    return found


def angle_for(transmittance: float, min_angle: float, span: float) -> float:
    """The mount angle in degrees that :meth:`Attenuator.set_transmittance` moves to for a
    transmittance (0 to 1): on the half-period from min_angle to min_angle + span."""
    value = ctypes.c_float()
    if _library.load().torvek_att_angle_for(
            float(transmittance), float(min_angle), float(span), ctypes.byref(value)) != OK:
        raise invalid_argument(f"angle_for({transmittance!r})", RANGE_TRANSMITTANCE, RANGE_MODEL)
    return value.value


def degrees_to_steps(degrees: float, degrees_per_revolution: Optional[int] = None,
                     steps_per_revolution: Optional[int] = None) -> int:
    """The motor steps :meth:`Attenuator.move_to` sends for an angle at a device's scale
    (truncated toward zero); without one, at the scale a handler has before any device."""
    if degrees_per_revolution is None or steps_per_revolution is None:
        degrees_per_revolution, steps_per_revolution = _default_scale()
    value = ctypes.c_int32()
    if _library.load().torvek_att_degrees_to_steps(
            float(degrees), int(degrees_per_revolution), int(steps_per_revolution),
            ctypes.byref(value)) != OK:
        raise invalid_argument(f"degrees_to_steps({degrees!r})", RANGE_DEGREES)
    return value.value


def steps_to_degrees(steps: int, degrees_per_revolution: Optional[int] = None,
                     steps_per_revolution: Optional[int] = None) -> float:
    """The angle :meth:`Attenuator.get_position_deg` reports for a position in steps at a
    device's scale; without one, at the scale a handler has before any device."""
    if degrees_per_revolution is None or steps_per_revolution is None:
        degrees_per_revolution, steps_per_revolution = _default_scale()
    value = ctypes.c_float()
    if not (degrees_per_revolution > 0 and steps_per_revolution > 0) or \
            _library.load().torvek_att_steps_to_degrees(
                int(steps), int(degrees_per_revolution), int(steps_per_revolution),
                ctypes.byref(value)) != OK:
        raise AttenuatorError(INVALID_ARGUMENT, f"steps_to_degrees({steps!r})",
                              "the scale must be above 0 degrees and steps per revolution")
    return value.value



def optical_density(transmittance: float) -> float:
    """A transmittance (0 to 1) as an optical density, OD = -log10(T); ``math.inf`` for 0."""
    value = ctypes.c_double()
    if _library.load().torvek_att_optical_density(float(transmittance),
                                                  ctypes.byref(value)) != OK:
        raise invalid_argument(f"optical_density({transmittance!r})", RANGE_TRANSMITTANCE)
    return value.value


def attenuation_db(transmittance: float) -> float:
    """A transmittance (0 to 1) as an attenuation in decibels, 10 log10(1/T); ``math.inf``
    for 0."""
    value = ctypes.c_double()
    if _library.load().torvek_att_attenuation_db(float(transmittance), ctypes.byref(value)) != OK:
        raise invalid_argument(f"attenuation_db({transmittance!r})", RANGE_TRANSMITTANCE)
    return value.value


def transmittance_of_density(density: float) -> float:
    """The transmittance of an optical density (0 or more; ``math.inf`` gives 0): 10^-OD."""
    value = ctypes.c_double()
    if _library.load().torvek_att_transmittance_of_density(float(density),
                                                           ctypes.byref(value)) != OK:
        raise AttenuatorError(INVALID_ARGUMENT, f"transmittance_of_density({density!r})",
                              "accepted: an optical density of 0 or more")
    return value.value


def density_limit(min_angle: float, span: float, degrees_per_revolution: Optional[int] = None,
                  steps_per_revolution: Optional[int] = None) -> float:
    """The greatest finite optical density the mount reaches by the model: its transmittance
    one motor step from the model's zero, at a device's scale (without one, the scale a handler
    has before any device). Beyond it lies only ``math.inf`` (the mount at min_angle)."""
    if degrees_per_revolution is None or steps_per_revolution is None:
        degrees_per_revolution, steps_per_revolution = _default_scale()
    value = ctypes.c_double()
    if _library.load().torvek_att_density_limit(
            float(min_angle), float(span), int(degrees_per_revolution), int(steps_per_revolution),
            ctypes.byref(value)) != OK:
        raise invalid_argument(f"density_limit({min_angle!r}, {span!r})", RANGE_MODEL)
    return value.value


def accepted_densities(density_limit: float) -> str:
    """The densities a model reaches, in words, as a refusal names them ("0 <= optical
    density <= 8.7164, or inf"): the limit of :func:`density_limit` rounded down."""
    text = ctypes.create_string_buffer(64)
    _library.load().torvek_att_accepted_densities(float(density_limit), text, len(text))
    return text.value.decode("ascii")


def transmittance_for_density(density: float, min_angle: float, span: float,
                              degrees_per_revolution: Optional[int] = None,
                              steps_per_revolution: Optional[int] = None) -> float:
    """The transmittance that :meth:`Attenuator.set_optical_density` moves to for an optical
    density: 10^-OD, when the model reaches it on a mount of that scale (without one, the scale
    a handler has before any device): 0 up to :func:`density_limit`, or ``math.inf`` (T = 0).
    Otherwise AttenuatorError "InvalidArgument" naming the densities it reaches, the limit
    rounded down so that the number shown is taken."""
    if degrees_per_revolution is None or steps_per_revolution is None:
        degrees_per_revolution, steps_per_revolution = _default_scale()
    value = ctypes.c_double()
    if _library.load().torvek_att_transmittance_for_density(
            float(density), float(min_angle), float(span), int(degrees_per_revolution),
            int(steps_per_revolution), ctypes.byref(value)) != OK:
        limit = density_limit(min_angle, span, degrees_per_revolution, steps_per_revolution)
        raise AttenuatorError(INVALID_ARGUMENT, f"optical density {density!r}",
                              "the model does not reach it; accepted: "
                              f"{accepted_densities(limit)}")
    return value.value
