"""Single-precision arithmetic as the native code does it, for the reference models and checks.

Addition, subtraction, multiplication, division and square root done in double precision and
then rounded give the correctly rounded single-precision result, so they need nothing else. The
natural logarithm of a float is not correctly rounded by every C library (glibc's logf differs
from the rounded double logarithm by one ulp for some visit counts, the first being 1579), so
``log_f32`` calls the C library's own logf when it can, and ``EXACT_LOG`` says whether it does.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import struct
from collections.abc import Callable

LOWEST_F32 = -3.4028234663852886e38  # the lowest finite float, where best-child scans start


def f32(value: float) -> float:
    """Rounds a Python float to the nearest 32-bit float (out of range gives infinity)."""
    try:
        return float(struct.unpack("<f", struct.pack("<f", value))[0])
    except OverflowError:
        return math.copysign(math.inf, value)


def _load_logf() -> Callable[[float], float] | None:
    name = ctypes.util.find_library("m")
    if name is None:
        return None
    try:
        logf = ctypes.CDLL(name).logf
    except (OSError, AttributeError):
        return None
    logf.restype = ctypes.c_float
    logf.argtypes = [ctypes.c_float]
    return logf


_LOGF = _load_logf()
EXACT_LOG = _LOGF is not None


def log_f32(x: float) -> float:
    """The natural logarithm of a 32-bit float, as the native code computes it."""
    if _LOGF is not None:
        return float(_LOGF(x))
    if math.isnan(x) or x < 0.0:
        return math.nan
    if x == 0.0:
        return -math.inf
    return f32(math.log(x))


def sqrt_f32(x: float) -> float:
    if math.isnan(x) or x < 0.0:
        return math.nan
    return f32(math.sqrt(x))


def ucb1(total: float, visits: int, log_parent_visits: float, c: float) -> float:
    """sqrt(ln(N) / n) * c + W / n in single precision; +infinity for an unvisited node."""
    if visits == 0:
        return math.inf
    n = f32(float(visits))
    exploration = f32(sqrt_f32(f32(log_parent_visits / n)) * c)
    return f32(exploration + f32(total / n))


def ucb1_from_counts(parent_visits: int, visits: int, total: float, c: float) -> float:
    """The UCB1 score of a visited child from its statistics, as Node.ucb_score computes it."""
    return ucb1(f32(total), visits, log_f32(f32(float(parent_visits))), f32(c))
