"""What the model-based tests draw and how they compare the module with the model.

- Hypothesis strategies for the operands of every step (actions, values, weights, priors, seeds)
  and for scripted callbacks: what each call does to the tree before it returns, and what it
  returns or raises.
- `Script` and `ScriptRun`: one drawn script, played against the model or against the module.
- Comparisons of nodes, results and failures that tell NaN, -0.0 and 0.0 apart.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

from reference import engine_model as ref
import veltra_engine as ve
from hypothesis import strategies as st
from reference.single_precision import f32

# Exploration weights every held node's score is compared at.
SCORE_WEIGHTS = (1.414, 0.0, -2.5, math.inf)

# Indices into the machine's lists are drawn as plain integers and taken modulo the list length,
# so Hypothesis never keeps a reference to a node (dropping a node must really drop it).
PICK = st.integers(0, 255)
SMALL_ACTIONS = st.integers(-1, 4)
ACTIONS = st.sampled_from([-1, 0, 1, 2, 3, 4, ref.INT32_MIN, ref.INT32_MAX])
VALUES = st.one_of(
    st.integers(-3, 3),
    st.floats(-4.0, 4.0, width=32),
    st.sampled_from([0.0, -0.0, 0.1, 1e30, -3e38, 1e39, math.inf, -math.inf, math.nan]),
)
WEIGHTS = st.one_of(
    st.sampled_from([1.414, 0.0, 0.5, 2.0, -1.0, math.inf, math.nan]), st.floats(-3.0, 3.0)
)
PRIORS = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, 1.0, -0.5, math.nan]))
SEEDS = st.one_of(st.integers(0, 10), st.sampled_from([2**32 - 1, 5489]))


def rarely(common: st.SearchStrategy[Any], rare: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """`rare` about one draw in eight, `common` otherwise."""
    return st.integers(0, 7).flatmap(lambda k: rare if k == 0 else common)


# Re-entrant operations a callback performs before it returns; indices are resolved against the
# machine's nodes and trees when the search starts.
REENTRANT_OPS = st.one_of(
    st.tuples(st.just("reroot"), PICK, ACTIONS),
    st.tuples(st.just("clear"), PICK),
    st.tuples(st.just("update"), PICK, VALUES),
    st.tuples(st.just("add_child"), PICK, ACTIONS),
    st.tuples(st.just("clear_children"), PICK),
    st.tuples(st.just("drop"), PICK),
    st.tuples(
        st.just("search"), PICK, st.lists(SMALL_ACTIONS, max_size=3), VALUES, st.integers(0, 3)
    ),
)
ACTION_LISTS = st.lists(ACTIONS, max_size=4)
LEGAL_OUTCOMES = rarely(
    st.one_of(
        ACTION_LISTS.map(lambda a: ("return", a)),
        ACTION_LISTS.map(lambda a: ("return", tuple(a))),
    ),
    st.sampled_from(
        [("raise",), ("return", [1.5]), ("return", "12"), ("return", None), ("return", [2**31])]
    ),
)
ROLLOUT_OUTCOMES = rarely(
    VALUES.map(lambda v: ("return", v)),
    st.sampled_from([("raise",), ("return", None), ("return", "x")]),
)
NO_OPS: st.SearchStrategy[list[tuple[Any, ...]]] = st.just([])
LEGAL_ENTRIES = st.tuples(rarely(NO_OPS, st.lists(REENTRANT_OPS, max_size=2)), LEGAL_OUTCOMES)
ROLLOUT_ENTRIES = st.tuples(rarely(NO_OPS, st.lists(REENTRANT_OPS, max_size=2)), ROLLOUT_OUTCOMES)
PLAIN_LEGAL_ENTRIES = st.tuples(NO_OPS, ACTION_LISTS.map(lambda a: ("return", a)))
PLAIN_ROLLOUT_ENTRIES = st.tuples(NO_OPS, st.integers(-2, 2).map(lambda v: ("return", v)))


class ScriptedError(Exception):
    """Raised by a scripted callback; the search must pass on this very object."""


def same_f32(actual: float, expected: float) -> bool:
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1.0, actual) == math.copysign(1.0, expected)


def f32_key(value: float) -> tuple[object, ...]:
    """A comparable form of a float that tells NaN, -0.0 and 0.0 apart."""
    return ("nan",) if math.isnan(value) else (value, math.copysign(1.0, value))


def result_key(result: Any) -> tuple[Any, ...]:
    return (
        result.best_action,
        tuple(result.actions),
        tuple(result.visit_counts),
        f32_key(result.root_value),
        result.num_simulations,
    )


def assert_same_node(expected: ref.ModelNode, node: ve.Node) -> None:
    assert node.action() == expected.action
    assert node.visit_count() == expected.visits
    assert same_f32(node.total_value(), expected.total), (node.total_value(), expected.total)
    assert same_f32(node.mean_value(), expected.mean())
    assert node.is_expanded() == bool(expected.children)
    for c in SCORE_WEIGHTS:
        score, expected_score = node.ucb_score(c), expected.ucb(f32(c))
        assert same_f32(score, expected_score), (c, score, expected_score)


def assert_same_failure(actual: BaseException | None, expected: BaseException | None) -> None:
    if expected is None:
        assert actual is None, f"unexpected {actual!r}"
    elif isinstance(expected, ScriptedError):
        assert actual is expected
    else:
        # A conversion failure (message prefix known) or an empty callback (RuntimeError).
        assert type(actual) is RuntimeError, f"expected RuntimeError, got {actual!r}"
        assert str(actual).startswith(str(expected)), (str(actual), str(expected))


class Machine(Protocol):
    """The part of the state machine that scripted callbacks use."""

    def apply_reentrant(
        self, op: tuple[Any, ...], on_model: bool, log: list[tuple[Any, ...]]
    ) -> None: ...


@dataclass(eq=False)
class CallEntry:
    ops: list[tuple[Any, ...]]
    outcome: tuple[Any, ...]
    error: ScriptedError


@dataclass
class Script:
    """What each callback call of one search does, for the model run and the module run alike."""

    legal: list[CallEntry]
    rollout: list[CallEntry]
    default_actions: list[int]
    default_value: float
    legal_is_none: bool
    rollout_is_none: bool
    transition_is_none: bool


class ScriptRun:
    """The callbacks of one run of a script, against either the model or the module."""

    def __init__(self, machine: Machine, script: Script, on_model: bool) -> None:
        self.machine = machine
        self.script = script
        self.on_model = on_model
        self.log: list[tuple[Any, ...]] = []
        self._legal_calls = 0
        self._rollout_calls = 0

    def _play(self, entry: CallEntry) -> Any:
        for op in entry.ops:
            self.machine.apply_reentrant(op, self.on_model, self.log)
        if entry.outcome[0] == "raise":
            raise entry.error
        return entry.outcome[1]

    def legal(self, state: float) -> Any:
        self.log.append(("legal", type(state), state))
        index, self._legal_calls = self._legal_calls, self._legal_calls + 1
        if index < len(self.script.legal):
            return self._play(self.script.legal[index])
        return list(self.script.default_actions)

    def rollout(self) -> Any:
        self.log.append(("rollout",))
        index, self._rollout_calls = self._rollout_calls, self._rollout_calls + 1
        if index < len(self.script.rollout):
            return self._play(self.script.rollout[index])
        return self.script.default_value

    def transition(self, state: float, action: int) -> list[float]:
        self.log.append(("transition", state, action))
        return [state]


def run_failure(call: Callable[[], Any]) -> tuple[Any, BaseException | None]:
    try:
        return call(), None
    except Exception as error:  # noqa: BLE001 - every failure is compared with the model's
        error.__traceback__ = None
        return None, error
