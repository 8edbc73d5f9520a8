"""The `roots` argument of a search, as the native forest reads it
(bindings/search/root_selection.h): None, a bool mask of one entry per root, or distinct indices."""

from __future__ import annotations

from typing import Any, List

import numpy as np


def read_roots(value: Any, num_roots: int) -> List[bool]:
    """Which roots a search steps, one bool per root."""
    if value is None:
        return [True] * num_roots
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"roots must be an array of root indices or a bool mask: {error}") from None
    if array.dtype == np.bool_:
        if array.shape != (num_roots,):
            raise ValueError(f"roots has shape {array.shape}; expected ({num_roots},)")
        return [bool(b) for b in array]
    if array.ndim != 1:
        raise ValueError(f"roots must be one-dimensional, got shape {array.shape}")
    mask = [False] * num_roots
    if array.size == 0:
        return mask
    if array.dtype.kind not in "iu":
        raise TypeError(f"roots must be an array of ints, not {array.dtype}")
    for i in array.tolist():
        if not -num_roots <= i < num_roots:
            raise IndexError(f"roots holds {i}, out of range for {num_roots} roots")
        if mask[i]:
            raise ValueError(f"roots holds root {i} twice")
        mask[i] = True
    return mask
