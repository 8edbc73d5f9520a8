"""Argument and output readers of the reference forest, with the messages veltra_search gives."""

from __future__ import annotations

import math
import operator
from typing import Any, List, Sequence, Tuple

import numpy as np


def read_int(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def read_float(name: str, value: Any) -> float:
    if isinstance(value, (str, bytes)) or not isinstance(value, (int, float, np.number)):
        raise TypeError(f"{name} must be a float, not {type(value).__name__}")
    return float(value)


def read_floats(name: str, value: Any, shape: Tuple[int, ...]) -> np.ndarray:
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array of floats of shape {shape}: {error}") from None
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; expected {shape}")
    return array


def check_finite_rows(name: str, what: str, array: np.ndarray) -> None:
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        row = int(bad[0])
        raise ValueError(f"{name} row {row} is {array[row]}; {what} must be finite")


def read_legal(name: str, value: Any, shape: Tuple[int, ...]) -> np.ndarray:
    """Bools, or integers that are all 0 or 1."""
    if value is None:
        return np.ones(shape, dtype=bool)
    array = np.asarray(value)
    if array.dtype != np.bool_ and not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{name} must be an array of bools of shape {shape}, not {array.dtype}")
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; expected {shape}")
    if array.dtype != np.bool_:
        if ((array != 0) & (array != 1)).any():
            raise ValueError(f"{name} holds values other than 0 and 1")
        array = array != 0
    return array


def softmax_priors(name: str, row: int, logits: np.ndarray, legal: Sequence[int]) -> List[float]:
    """Softmax over the legal actions in float64, rounded to float32, widened back."""
    priors = [0.0] * len(logits)
    if not legal:
        return priors
    row_values = logits.tolist()
    if any(math.isnan(x) or x == math.inf for x in row_values):
        raise ValueError(f"{name} row {row} holds nan or +inf; logits must be finite or -inf")
    top = max(row_values[a] for a in legal)
    if top == -math.inf:
        raise ValueError(f"{name} row {row} has no finite logit among its legal actions")
    exps = [math.exp(row_values[a] - top) for a in legal]
    total = 0.0
    for e in exps:
        total += e
    rounded = np.array([e / total for e in exps], dtype=np.float64).astype(np.float32)
    for a, p in zip(legal, rounded.tolist()):
        priors[a] = p
    return priors
