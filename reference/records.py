"""The reference forest's public records: SearchConfig and SearchOutput."""

from __future__ import annotations

import math
from dataclasses import KW_ONLY, dataclass
from typing import Any, Tuple

import numpy as np

from reference.generator import MASK64
from reference.readers import read_float, read_int

MAX_THREADS = 1024  # the most native threads a forest may run its steps on
MAX_LEAVES_PER_STEP = 1024  # the most descents per tree a step may make


def read_value_bounds(value: Any) -> Tuple[float, float]:
    if not isinstance(value, (tuple, list)):
        raise TypeError(f"value_bounds must be a tuple (low, high), not {type(value).__name__}")
    if len(value) != 2:
        raise ValueError(f"value_bounds must hold two numbers (low, high), got {len(value)}")
    low, high = read_float("value_bounds[0]", value[0]), read_float("value_bounds[1]", value[1])
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise ValueError(f"value_bounds must be finite with low < high, got {(low, high)!r}")
    return (low, high)


@dataclass(frozen=True)
class SearchConfig:
    num_actions: int
    _: KW_ONLY
    num_simulations: int = 100
    pb_c_init: float = 1.25
    pb_c_base: float = 19652.0
    dirichlet_alpha: float = 0.3
    dirichlet_fraction: float = 0.25
    seed: int = 0
    policy: str = "puct"
    max_considered_actions: int = 16
    gumbel_scale: float = 1.0
    value_scale: float = 0.1
    maxvisit_init: float = 50.0
    # Speed (threads change no result, so the reference only checks the field)
    num_threads: int = 1
    leaves_per_step: int = 1
    # Playing real games.
    unvisited_value: str = "min"
    solve: bool = False
    value_bounds: Tuple[float, float] = (-1.0, 1.0)

    def __post_init__(self) -> None:
        def set_field(name: str, value: Any) -> None:
            object.__setattr__(self, name, value)

        for name in ("num_actions", "num_simulations", "seed", "max_considered_actions"):
            set_field(name, read_int(name, getattr(self, name)))
        for name in ("pb_c_init", "pb_c_base", "dirichlet_alpha", "dirichlet_fraction",
                     "gumbel_scale", "value_scale", "maxvisit_init"):
            set_field(name, read_float(name, getattr(self, name)))
        if not isinstance(self.policy, str):
            raise TypeError(f"policy must be a str, not {type(self.policy).__name__}")
        if self.policy not in ("puct", "gumbel"):
            raise ValueError(f"policy must be 'puct' or 'gumbel', got {self.policy!r}")
        if self.num_actions < 1:
            raise ValueError(f"num_actions must be at least 1, got {self.num_actions}")
        if self.num_simulations < 0:
            raise ValueError(f"num_simulations must be >= 0, got {self.num_simulations}")
        if self.max_considered_actions < 1:
            raise ValueError(
                f"max_considered_actions must be at least 1, got {self.max_considered_actions}")
        for name in ("num_actions", "num_simulations", "max_considered_actions"):
            if getattr(self, name) >= 2**31:
                raise ValueError(f"{name} must be below 2**31, got {getattr(self, name)}")
        if not math.isfinite(self.pb_c_init):
            raise ValueError(f"pb_c_init must be finite, got {self.pb_c_init}")
        if not (math.isfinite(self.pb_c_base) and self.pb_c_base > 0):
            raise ValueError(f"pb_c_base must be positive and finite, got {self.pb_c_base}")
        if not (math.isfinite(self.dirichlet_alpha) and self.dirichlet_alpha > 0):
            raise ValueError(
                f"dirichlet_alpha must be positive and finite, got {self.dirichlet_alpha}"
            )
        if not 0.0 <= self.dirichlet_fraction <= 1.0:
            raise ValueError(
                f"dirichlet_fraction must be in [0, 1], got {self.dirichlet_fraction}"
            )
        if not 0 <= self.seed <= MASK64:
            raise ValueError(f"seed must be in [0, 2**64), got {self.seed}")
        if not (math.isfinite(self.gumbel_scale) and self.gumbel_scale >= 0):
            raise ValueError(f"gumbel_scale must be finite and >= 0, got {self.gumbel_scale}")
        if not (math.isfinite(self.value_scale) and self.value_scale > 0):
            raise ValueError(f"value_scale must be positive and finite, got {self.value_scale}")
        if not (math.isfinite(self.maxvisit_init) and self.maxvisit_init >= 0):
            raise ValueError(f"maxvisit_init must be finite and >= 0, got {self.maxvisit_init}")
        # Speed
        set_field("num_threads", read_int("num_threads", self.num_threads))
        if not 0 <= self.num_threads <= MAX_THREADS:
            raise ValueError(f"num_threads must be in [0, {MAX_THREADS}], got {self.num_threads}")
        set_field("leaves_per_step", read_int("leaves_per_step", self.leaves_per_step))
        if not 1 <= self.leaves_per_step <= MAX_LEAVES_PER_STEP:
            raise ValueError(f"leaves_per_step must be in [1, {MAX_LEAVES_PER_STEP}], "
                             f"got {self.leaves_per_step}")
        if not isinstance(self.unvisited_value, str):
            raise TypeError(
                f"unvisited_value must be a str, not {type(self.unvisited_value).__name__}")
        if self.unvisited_value not in ("min", "parent", "mixed"):
            raise ValueError("unvisited_value must be 'min', 'parent' or 'mixed', "
                             f"got {self.unvisited_value!r}")
        if self.policy == "gumbel" and self.unvisited_value != "min":
            raise ValueError("unvisited_value must be 'min' under the Gumbel policy, which gives "
                             "unvisited actions its completed value instead")
        if not isinstance(self.solve, bool):
            raise TypeError(f"solve must be a bool, not {type(self.solve).__name__}")
        set_field("value_bounds", read_value_bounds(self.value_bounds))


    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("cannot pickle a SearchConfig")


@dataclass(frozen=True)
class SearchOutput:
    visit_counts: np.ndarray
    q_values: np.ndarray
    root_values: np.ndarray
    action_weights: np.ndarray
    num_simulations: int
    selected_actions: np.ndarray
    solved: np.ndarray
    solved_values: np.ndarray

    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError("cannot pickle a SearchOutput")
