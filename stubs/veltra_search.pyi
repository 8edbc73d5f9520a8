"""Batched, model-guided tree search over many roots at once"""

import collections.abc
import os
import typing

import numpy
import numpy.typing

# The classes are made by pybind11, whose metaclass is not importable under a stable name.
@typing.type_check_only
class _Pybind11Type(type): ...

_Int: typing.TypeAlias = typing.SupportsIndex
_Float: typing.TypeAlias = typing.SupportsFloat | typing.SupportsIndex

# A batch of states: a list of objects, or one float array [B, *S] (array states).
_States: typing.TypeAlias = list[typing.Any] | numpy.typing.NDArray[numpy.floating]

# recurrent_fn(states, actions) -> (next_states, rewards, discounts, prior_logits, values, legal);
# states is a list, or with array states one array (_States): Any, so that either kind of model
# type-checks.
_RecurrentFn: typing.TypeAlias = collections.abc.Callable[
    [typing.Any, numpy.typing.NDArray[numpy.int64]],
    tuple[
        collections.abc.Sequence[typing.Any] | numpy.typing.ArrayLike,
        numpy.typing.ArrayLike,
        numpy.typing.ArrayLike,
        numpy.typing.ArrayLike,
        numpy.typing.ArrayLike,
        numpy.typing.ArrayLike | None,
    ],
]

# root_fn(states) -> (prior_logits, values, legal)
_RootFn: typing.TypeAlias = collections.abc.Callable[
    [typing.Any],
    tuple[numpy.typing.ArrayLike, numpy.typing.ArrayLike, numpy.typing.ArrayLike | None],
]

class SearchConfig(metaclass=_Pybind11Type):
    def __init__(
        self,
        num_actions: _Int,
        *,
        num_simulations: _Int = 100,
        pb_c_init: _Float = 1.25,
        pb_c_base: _Float = 19652.0,
        dirichlet_alpha: _Float = 0.3,
        dirichlet_fraction: _Float = 0.25,
        seed: _Int = 0,
        policy: str = "puct",
        max_considered_actions: _Int = 16,
        gumbel_scale: _Float = 1.0,
        value_scale: _Float = 0.1,
        maxvisit_init: _Float = 50.0,
        # Speed
        num_threads: _Int = 1,
        leaves_per_step: _Int = 1,
        unvisited_value: str = "min",
        solve: bool = False,
        value_bounds: tuple[float, float] = (-1.0, 1.0),
    ) -> None: ...
    @property
    def num_actions(self) -> int: ...
    @property
    def num_simulations(self) -> int: ...
    @property
    def pb_c_init(self) -> float: ...
    @property
    def pb_c_base(self) -> float: ...
    @property
    def dirichlet_alpha(self) -> float: ...
    @property
    def dirichlet_fraction(self) -> float: ...
    @property
    def seed(self) -> int: ...
    @property
    def policy(self) -> str: ...
    @property
    def max_considered_actions(self) -> int: ...
    @property
    def gumbel_scale(self) -> float: ...
    @property
    def value_scale(self) -> float: ...
    @property
    def maxvisit_init(self) -> float: ...
    # Speed
    @property
    def num_threads(self) -> int: ...
    @property
    def leaves_per_step(self) -> int: ...
    @property
    def unvisited_value(self) -> str: ...
    @property
    def solve(self) -> bool: ...
    @property
    def value_bounds(self) -> tuple[float, float]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class SearchOutput(metaclass=_Pybind11Type):
    @property
    def visit_counts(self) -> numpy.typing.NDArray[numpy.int64]: ...
    @property
    def q_values(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def root_values(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def action_weights(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def num_simulations(self) -> int: ...
    @property
    def selected_actions(self) -> numpy.typing.NDArray[numpy.int64]: ...
    @property
    def solved(self) -> numpy.typing.NDArray[numpy.bool]: ...
    @property
    def solved_values(self) -> numpy.typing.NDArray[numpy.float64]: ...

class Forest(metaclass=_Pybind11Type):
    def __init__(
        self,
        config: SearchConfig,
        states: collections.abc.Sequence[typing.Any] | numpy.typing.ArrayLike,
        prior_logits: numpy.typing.ArrayLike | None = None,
        values: numpy.typing.ArrayLike | None = None,
        legal: numpy.typing.ArrayLike | None = None,
        *,
        root_fn: _RootFn | None = None,
    ) -> None: ...
    @property
    def config(self) -> SearchConfig: ...
    @property
    def num_roots(self) -> int: ...
    def __len__(self) -> int: ...
    @property
    def num_nodes(self) -> int: ...
    @property
    def root_states(self) -> _States: ...
    def search(
        self,
        recurrent_fn: _RecurrentFn,
        *,
        time_limit: _Float | None = None,
        roots: numpy.typing.ArrayLike | None = None,
    ) -> SearchOutput: ...
    def select(self, temperature: _Float = 0.0) -> numpy.typing.NDArray[numpy.int64]: ...
    def tree(self, i: _Int, max_depth: _Int | None = None) -> dict[str, typing.Any] | None: ...
    @typing.overload
    def advance(self, i: _Int, action: _Int) -> None: ...
    @typing.overload
    def advance(self, actions: numpy.typing.ArrayLike) -> None: ...
    def reset(
        self,
        i: _Int,
        state: typing.Any,
        prior_logits: numpy.typing.ArrayLike | None = None,
        value: _Float | numpy.typing.ArrayLike | None = None,
        legal: numpy.typing.ArrayLike | None = None,
    ) -> None: ...

def draw_tree(
    forest: Forest, i: _Int, path: str | os.PathLike[str], max_depth: _Int | None = 3
) -> None: ...
