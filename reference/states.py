"""The states of the reference forest's nodes: the objects the caller gives (a list), or, for
states given as one float array [R, *S], a copy of a row per node, which recurrent_fn and root_fn
get stacked into one array [B, *S] and return as one."""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np


def read_states(states: Any) -> "ObjectStates | ArrayStates":
    if isinstance(states, (list, tuple)):
        return ObjectStates(states)
    if (isinstance(states, np.ndarray) and states.dtype != object) or (
            not isinstance(states, np.ndarray) and hasattr(states, "__dlpack__")):
        return ArrayStates(states)
    raise TypeError(f"states must be a list or an array of floats, not {type(states).__name__}")


class ObjectStates:
    def __init__(self, states: Sequence[Any]) -> None:
        if not states:
            raise ValueError("states must hold at least one root state")
        self.roots = list(states)

    def batch(self, states: List[Any]) -> List[Any]:
        return states

    def split(self, name: str, states: Any, count: int) -> List[Any]:
        if not isinstance(states, (list, tuple)):
            raise TypeError(f"{name} must be a list, not {type(states).__name__}")
        if len(states) != count:
            raise ValueError(f"{name} has length {len(states)}; expected {count}")
        return list(states)

    def read_state(self, state: Any) -> Any:
        return state

    def root_states(self, states: List[Optional[Any]]) -> List[Any]:
        return states


class ArrayStates:
    def __init__(self, states: Any) -> None:
        array = as_array(states)
        if array.dtype not in (np.float32, np.float64):
            raise TypeError("states must be a list or an array of float32 or float64, not an "
                            f"array of {array.dtype}")
        if array.ndim == 0:
            raise ValueError("states must be an array [R, *S], not a scalar")
        if array.shape[0] == 0:
            raise ValueError("states must hold at least one root state")
        self.dtype, self.shape = array.dtype, array.shape[1:]
        check_finite("states", array, batch=True)
        self.roots = [row.copy() for row in array]

    def batch(self, states: List[np.ndarray]) -> np.ndarray:
        return np.stack(states).astype(self.dtype, copy=False)

    def split(self, name: str, states: Any, count: int) -> List[np.ndarray]:
        return [row.copy() for row in self._read(name, states, (count, *self.shape))]

    def read_state(self, state: Any) -> np.ndarray:
        return self._read("state", state, self.shape).copy()

    def root_states(self, states: List[Optional[np.ndarray]]) -> np.ndarray:
        """A root pending on a move has no state yet: a row of NaN."""
        return self.batch([np.full(self.shape, np.nan, self.dtype) if s is None else s
                           for s in states])

    def _read(self, name: str, value: Any, shape: Tuple[int, ...]) -> np.ndarray:
        array = as_array(value)
        if array.dtype != self.dtype or array.shape != shape:
            raise ValueError(f"{name} has shape {array.shape} and dtype {array.dtype}; expected "
                             f"shape {shape} and dtype {self.dtype}")
        check_finite(name, array, batch=len(shape) > len(self.shape))
        return array


def as_array(value: Any) -> np.ndarray:
    if not isinstance(value, np.ndarray) and hasattr(value, "__dlpack__"):
        return np.from_dlpack(value)
    return np.asarray(value)


def check_finite(name: str, array: np.ndarray, batch: bool) -> None:
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        entry = int(bad[0])
        where = f" row {entry // (array.size // array.shape[0])}" if batch else ""
        value = array.reshape(-1)[entry]
        raise ValueError(f"{name}{where} holds {value}; states must be finite")
