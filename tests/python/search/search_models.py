"""Shared helpers for the tests of veltra_search: random recurrent models, the pure-Python reference
forest, and exact comparison of search results."""

from __future__ import annotations

import pathlib
import sys
import weakref
import zlib
from typing import Any, Callable, List, Tuple

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3]))
from reference import forest as reference  # noqa: E402

__all__ = ["DLPackOnly", "LatentModel", "Pair", "Position", "RandomModel", "assert_same_output", "make_forest", "mix",
           "reference"]

MASK64 = (1 << 64) - 1
TABLE_ROWS = 1024


def mix(state: int, action: int) -> int:
    """The key of the position `action` leads to from the position `state`."""
    z = (state * 0x9E3779B97F4A7C15 + (action + 1) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 31)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 29)


class Position:
    """A boxed state: only its identity tells it apart, and it can be watched with a weakref."""

    __slots__ = ("key", "__weakref__")

    def __init__(self, key: int) -> None:
        self.key = key


class RandomModel:
    """A recurrent_fn whose answers are a fixed random function of (parent state, action).

    States are integer keys (or, with `boxed`, Position objects, which the model checks it issued
    and which tests can watch); each key picks a row of random tables: logits (some -inf where
    illegal), values, rewards, discounts, legal masks (some rows all false: terminal positions).
    Every call is recorded, so that two searches can be compared call by call. With
    `exact_terminals`, rewards are 0 and terminal values are outcomes, as solve=True needs."""

    def __init__(self, num_actions: int, seed: int = 0, *, legal_fraction: float = 0.7,
                 terminal_fraction: float = 0.1, discounts: Tuple[float, ...] = (-1.0,),
                 boxed: bool = False, output: str = "numpy", exact_terminals: bool = False) -> None:
        rng = np.random.default_rng(seed)
        shape = (TABLE_ROWS, num_actions)
        self.num_actions = num_actions
        self.legal = rng.random(shape) < legal_fraction
        self.legal[np.arange(TABLE_ROWS), rng.integers(0, num_actions, TABLE_ROWS)] = True
        self.legal[rng.random(TABLE_ROWS) < terminal_fraction] = False
        self.logits = rng.normal(0.0, 2.0, shape)
        # -inf logits: often where illegal, now and then where legal (a legal move of prior 0),
        # but never on all the legal moves of a row.
        self.logits[(rng.random(shape) < np.where(self.legal, 0.1, 0.3))] = -np.inf
        all_legal_infinite = (self.legal & (self.logits > -np.inf)).sum(axis=1) == 0
        self.logits[all_legal_infinite] = np.where(self.legal[all_legal_infinite], 0.0, -np.inf)
        self.values = rng.uniform(-1.0, 1.0, TABLE_ROWS)
        self.rewards = rng.uniform(-0.5, 0.5, TABLE_ROWS)
        self.discounts = rng.choice(np.array(discounts), TABLE_ROWS)
        if exact_terminals:  # the outcomes solve=True takes: no rewards, terminal values -1, 0, 1
            self.rewards[:] = 0.0
            terminal = ~self.legal.any(axis=1)
            self.values[terminal] = rng.choice([-1.0, 0.0, 1.0], int(terminal.sum()))
        self.boxed = boxed
        self.output = output
        self.calls: List[Tuple[Tuple[int, ...], Tuple[int, ...]]] = []
        self.issued: "weakref.WeakValueDictionary[int, Position]" = weakref.WeakValueDictionary()

    def state(self, key: int) -> Any:
        if not self.boxed:
            return key
        box = Position(key)
        self.issued[id(box)] = box
        return box

    def key(self, state: Any) -> int:
        if not self.boxed:
            return int(state)
        assert self.issued.get(id(state)) is state, "recurrent_fn got a state it never issued"
        return int(state.key)

    def legal_actions(self, state: Any) -> List[int]:
        return np.flatnonzero(self.legal[self.key(state) % TABLE_ROWS]).tolist()

    def rows(self, keys: List[int]) -> np.ndarray:
        return np.array([k % TABLE_ROWS for k in keys], dtype=np.int64)

    def roots(self, count: int) -> Tuple[List[Any], np.ndarray, np.ndarray, np.ndarray]:
        """Root states, logits, values and legal masks for `count` roots."""
        keys = [mix(0x5EED, i) for i in range(count)]
        rows = self.rows(keys)
        return [self.state(k) for k in keys], self.logits[rows], self.values[rows], self.legal[rows]

    def convert(self, array: np.ndarray) -> Any:
        if self.output == "float32" and array.dtype == np.float64:
            return array.astype(np.float32)
        if self.output == "list":
            return array.tolist()
        if self.output == "torch":
            import torch

            return torch.from_numpy(np.ascontiguousarray(array))
        if self.output == "dlpack":
            return DLPackOnly(array)
        return array

    def __call__(self, states: List[Any], actions: np.ndarray) -> Tuple[Any, ...]:
        assert isinstance(states, list) and len(states) == len(actions) > 0
        assert isinstance(actions, np.ndarray) and actions.dtype == np.int64
        parents = [self.key(s) for s in states]
        self.calls.append((tuple(parents), tuple(actions.tolist())))
        keys = [mix(p, a) for p, a in zip(parents, actions.tolist())]
        rows = self.rows(keys)
        return (
            [self.state(k) for k in keys],
            *(self.convert(table[rows]) for table in
              (self.rewards, self.discounts, self.logits, self.values, self.legal)),
        )


    def root_fn(self, states: List[Any]) -> Tuple[Any, Any, Any]:
        """The evaluation of root states: the same rows as `roots` gives for its states."""
        assert isinstance(states, list) and states
        keys = [self.key(s) for s in states]
        self.calls.append((("root",), tuple(keys)))
        rows = self.rows(keys)
        return (self.convert(self.logits[rows]), self.convert(self.values[rows]),
                self.convert(self.legal[rows]))


class LatentModel:
    """A latent model on array states [B, *S] of one float dtype: the next state is a fixed random
    map of the state and the action, and its outputs (masks, terminals, -inf logits, values,
    rewards, discounts) are the RandomModel table row that a hash of its bytes picks. With
    `objects`, the same model on object states: it gets a list of rows, stacks them and splits the
    next states back. `output` "torch" gives states as tensors. Every call is recorded."""

    def __init__(self, num_actions: int, shape: Tuple[int, ...] = (4,), dtype: Any = np.float32,
                 seed: int = 0, *, objects: bool = False, output: str = "numpy",
                 exact_terminals: bool = False) -> None:
        self.table = RandomModel(num_actions, seed, terminal_fraction=0.15, discounts=(-1.0, 0.9),
                                 exact_terminals=exact_terminals)
        rng = np.random.default_rng(seed + 1)
        size = int(np.prod(shape))
        self.mixing = rng.normal(0.0, 1.0, (num_actions, size, size))
        self.shift = rng.normal(0.0, 1.0, (num_actions, size))
        self.num_actions, self.shape, self.dtype = num_actions, shape, np.dtype(dtype)
        self.seed, self.objects, self.output = seed, objects, output
        self.calls: List[Tuple[Any, ...]] = []

    def states(self, count: int, seed: int = 0) -> Any:
        rng = np.random.default_rng(self.seed + 100 + seed)
        return self.give(rng.normal(0.0, 1.0, (count, *self.shape)).astype(self.dtype))

    def state(self, seed: int) -> Any:
        """One state of shape S, in the form the model gives states."""
        states = self.states(1, seed)
        return states[0]

    def give(self, states: np.ndarray) -> Any:
        if self.objects:
            return list(states)
        if self.output == "torch":
            import torch

            return torch.from_numpy(states)
        return states

    def take(self, states: Any) -> np.ndarray:
        if self.objects:
            assert isinstance(states, list)
            return np.stack(states)
        assert isinstance(states, np.ndarray) and states.dtype == self.dtype
        assert states.shape[1:] == self.shape
        return states

    def rows(self, states: np.ndarray) -> np.ndarray:
        return np.array([zlib.crc32(row.tobytes()) % TABLE_ROWS for row in states], dtype=np.int64)

    def roots(self, count: int) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray]:
        states = self.states(count)
        rows = self.rows(self.take(states) if self.objects else np.asarray(states))
        return states, self.table.logits[rows], self.table.values[rows], self.table.legal[rows]

    def __call__(self, states: Any, actions: np.ndarray) -> Tuple[Any, ...]:
        batch = self.take(states)
        self.calls.append((tuple(self.rows(batch).tolist()), tuple(actions.tolist())))
        flat = batch.reshape(len(batch), -1).astype(np.float64)
        moved = np.einsum("bi,bij->bj", flat, self.mixing[actions]) + self.shift[actions]
        next_states = np.tanh(moved).astype(self.dtype).reshape(batch.shape)
        t, rows = self.table, self.rows(next_states)
        return (self.give(next_states), t.rewards[rows], t.discounts[rows], t.logits[rows],
                t.values[rows], t.legal[rows])

    def root_fn(self, states: Any) -> Tuple[Any, Any, Any]:
        rows = self.rows(self.take(states))
        self.calls.append((("root",), tuple(rows.tolist())))
        return self.table.logits[rows], self.table.values[rows], self.table.legal[rows]


class DLPackOnly:
    """An array that only DLPack reads (no __array__, no buffer), as a tensor of a framework that
    NumPy does not know; `device` is its DLPack device (1: host memory)."""

    def __init__(self, array: np.ndarray, device: Tuple[int, int] = (1, 0)) -> None:
        self.array, self.device = array, device

    def __dlpack__(self, **kwargs: Any) -> Any:
        if self.device != (1, 0):
            raise BufferError("the array is in device memory")
        return self.array.__dlpack__(**kwargs)

    def __dlpack_device__(self) -> Tuple[int, int]:
        return self.device


def make_forest(module: Any, model: RandomModel, num_roots: int, **config: Any) -> Any:
    states, logits, values, legal = model.roots(num_roots)
    return module.Forest(module.SearchConfig(model.num_actions, **config), states, logits, values,
                         legal)


def output_arrays(output: Any) -> dict[str, np.ndarray]:
    return {name: np.asarray(getattr(output, name)) for name in
            ("visit_counts", "q_values", "root_values", "action_weights", "selected_actions",
             "solved", "solved_values")}


def assert_same_output(actual: Any, expected: Any) -> None:
    """Equal bit for bit (NaN where the other has NaN), with the same dtypes and shapes."""
    for name, expected_array in output_arrays(expected).items():
        actual_array = output_arrays(actual)[name]
        assert actual_array.dtype == expected_array.dtype, name
        np.testing.assert_array_equal(actual_array, expected_array, err_msg=name, strict=True)
    assert actual.num_simulations == expected.num_simulations


class Pair:
    """A native forest and a reference forest driven in lock step, each with its own copy of the
    same model, so that their recurrent_fn calls are compared too."""

    def __init__(self, native_module: Any, make_model: Callable[[], RandomModel], num_roots: int,
                 **config: Any) -> None:
        self.models = (make_model(), make_model())
        self.native = make_forest(native_module, self.models[0], num_roots, **config)
        self.reference = make_forest(reference, self.models[1], num_roots, **config)

    def search(self, **options: Any) -> Any:
        expected = self.reference.search(self.models[1], **options)
        actual = self.native.search(self.models[0], **options)
        assert_same_output(actual, expected)
        assert self.models[0].calls == self.models[1].calls
        assert self.native.num_nodes == self.reference.num_nodes
        return actual

    def select(self, temperature: float = 0.0) -> np.ndarray:
        expected = self.reference.select(temperature)
        actual = self.native.select(temperature)
        np.testing.assert_array_equal(actual, expected, strict=True)
        return actual

    def advance(self, *args: Any) -> None:
        self.reference.advance(*args)
        self.native.advance(*args)

    def reset(self, i: int, row: int) -> None:
        """Resets root i of both forests to root position `row` of the models."""
        for forest, model in zip((self.native, self.reference), self.models):
            states, logits, values, legal = model.roots(row + 1)
            forest.reset(i, states[row], logits[row], values[row], legal[row])
