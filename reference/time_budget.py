"""A search's time limit, as the native forest applies it (forest/time_budget.h)."""

from __future__ import annotations

import math
import numbers
import time
from typing import Any, Callable, Optional


def read_time_limit(value: Any) -> float:
    """None (no limit, infinity) or a number of seconds >= 0; errors name `time_limit`."""
    if value is None:
        return math.inf
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"time_limit must be a float, not {type(value).__name__}")
    seconds = float(value)
    if not seconds >= 0.0:
        raise ValueError(f"time_limit must be >= 0 seconds or None, got {seconds}")
    return seconds


class TimeBudget:
    """Started at construction; spent() is asked after each step of a search."""

    def __init__(self, seconds: float, clock: Optional[Callable[[], float]] = None) -> None:
        self._clock = time.monotonic if clock is None else clock
        self._seconds = seconds
        self._start = math.inf if math.isinf(seconds) else self._clock()

    def spent(self) -> bool:
        return not math.isinf(self._seconds) and self._clock() - self._start >= self._seconds
