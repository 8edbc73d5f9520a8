"""How SearchEngine.search turns Python callables into callbacks and converts their results."""

from __future__ import annotations

import functools
import gc
import math
import sys
import traceback
import weakref
from collections.abc import Callable
from typing import Any

import pytest

import veltra_engine as ve
from engine_helpers import FIXED_ACTIONS, Recorder, assert_zero_states, constant, make_engine

CAST_PREFIX = "Unable to cast Python instance of type "
CALLABLES = ["legal_actions_fn", "transition_fn", "rollout_fn"]


def search(num_simulations: int = 1, /, tree: Any = None, **callables: Any) -> Any:
    """Runs a search on `tree` (a fresh one by default); callables not given default to the
    legal actions FIXED_ACTIONS, no transition and a rollout of 1.0."""
    arguments = {"legal_actions_fn": lambda s: FIXED_ACTIONS, "transition_fn": None,
                 "rollout_fn": lambda: 1.0, **callables}
    tree = ve.SearchTree() if tree is None else tree
    return make_engine(num_simulations).search(tree=tree, **arguments)


class FloatLike:
    def __float__(self) -> float:
        return 2.5


class TestLegalActionsResults:
    @pytest.mark.parametrize("make_answer, actions", [
        (lambda: (1, 2), [1, 2]),
        (lambda: range(3), [0, 1, 2]),
        (lambda: {4}, [4]),
        (lambda: frozenset({6}), [6]),
        (lambda: (a for a in (7, 8)), [7, 8]),
        (lambda: {5: "x", 9: "y"}.keys(), [5, 9]),
        (lambda: [2**31 - 1, -2**31], [2**31 - 1, -2**31]),
        (lambda: [True, 3], [1, 3]),
    ], ids=["tuple", "range", "set", "frozenset", "generator", "dict_keys", "int32-limits",
            "bool"])
    def test_accepted(self, make_answer: Callable[[], Any], actions: list[int]) -> None:
        assert search(legal_actions_fn=lambda s: make_answer()).actions == actions

    @pytest.mark.parametrize("answer", [
        [1.0], "12", [2**31], [-2**31 - 1], None, [1, 2.5], [1, "2"], 7, b"\x01"])
    def test_refused_names_the_whole_result(self, answer: Any) -> None:
        tree = ve.SearchTree()
        rollout = constant(1.0)
        with pytest.raises(RuntimeError) as caught:
            search(tree=tree, legal_actions_fn=lambda s: answer, rollout_fn=rollout)
        assert str(caught.value).startswith(f"{CAST_PREFIX}{type(answer)} to C++ type ")
        assert (tree.total_nodes(), tree.root().visit_count(), rollout.calls) == (1, 0, [])


class TestRolloutResults:
    @pytest.mark.parametrize("answer, value", [
        (1, 1.0), (True, 1.0), (FloatLike(), 2.5), (0.1, 0.10000000149011612), (2**200, math.inf),
        (-7, -7.0)], ids=["int", "bool", "__float__", "float32", "huge-int", "negative"])
    def test_accepted_as_float32(self, answer: Any, value: float) -> None:
        tree = ve.SearchTree()
        result = search(tree=tree, rollout_fn=lambda: answer)
        assert tree.root().total_value() == -value
        assert result.root_value == -value

    @pytest.mark.parametrize("answer", [None, "1.5", [1.0], object()])
    def test_refused_names_the_result_type(self, answer: Any) -> None:
        tree = ve.SearchTree()
        with pytest.raises(RuntimeError) as caught:
            search(tree=tree, rollout_fn=lambda: answer)
        assert str(caught.value).startswith(f"{CAST_PREFIX}{type(answer)} to C++ type ")
        assert (tree.total_nodes(), tree.root().visit_count()) == (4, 0)


class TestTransitionIsNeverCalled:
    @pytest.mark.parametrize("transition", [
        lambda: None, lambda s, a: "not a list", constant([1.0])])
    def test_any_callable_is_accepted(self, transition: Any) -> None:
        result = search(4, transition_fn=transition)
        assert result.visit_counts == [2, 1, 1]
        assert getattr(transition, "calls", []) == []


class Holder:
    def legal(self, state: float) -> list[int]:
        return FIXED_ACTIONS

    def rollout(self) -> float:
        return 1.0

    @staticmethod
    def static_rollout() -> float:
        return 1.0


class CallableLegal:
    def __call__(self, state: float) -> list[int]:
        return FIXED_ACTIONS


class LegalClass(tuple):  # type: ignore[type-arg]
    def __new__(cls, state: float) -> LegalClass:
        return super().__new__(cls, FIXED_ACTIONS)


def legal_with_offset(offset: int, state: float) -> list[int]:
    return [action + offset for action in FIXED_ACTIONS]


class TestCallableKinds:
    @pytest.mark.parametrize("legal", [
        Holder().legal, CallableLegal(), functools.partial(legal_with_offset, 0), LegalClass],
        ids=["bound-method", "__call__", "partial", "class"])
    @pytest.mark.parametrize("rollout, value", [
        (Holder().rollout, 1.0), (Holder.static_rollout, 1.0), (functools.partial(float, 3), 3.0),
        (FloatLike, 2.5)], ids=["bound-method", "staticmethod", "partial-builtin", "class"])
    def test_work_as_callbacks(self, legal: Any, rollout: Any, value: float) -> None:
        tree = ve.SearchTree()
        result = search(3, tree=tree, legal_actions_fn=legal, rollout_fn=rollout)
        assert (result.actions, result.visit_counts) == (FIXED_ACTIONS, [1, 1, 1])
        # Three simulations leave -v, +v and +v at the root.
        assert (tree.root().visit_count(), tree.root().total_value()) == (3, value)

    def test_state_arrives_as_a_python_float_zero(self) -> None:
        legal = Recorder(lambda i: [i])
        search(6, legal_actions_fn=legal)
        assert len(legal.calls) == 6
        assert_zero_states(legal)


class TestRejectedArguments:
    @pytest.mark.parametrize("position", CALLABLES)
    @pytest.mark.parametrize("value", [5, [1], "f"], ids=["int", "list", "str"])
    def test_non_callable_is_a_type_error_before_any_call(self, position: str,
                                                         value: Any) -> None:
        callables: dict[str, Any] = {
            name: constant(FIXED_ACTIONS if name != "rollout_fn" else 1.0) for name in CALLABLES}
        callables[position] = value
        tree = ve.SearchTree()
        with pytest.raises(TypeError, match="incompatible function arguments"):
            search(tree=tree, **callables)
        assert all(cb.calls == [] for cb in callables.values() if isinstance(cb, Recorder))
        assert tree.total_nodes() == 1

    @pytest.mark.parametrize("position", ["legal_actions_fn", "rollout_fn"])
    def test_none_is_refused_only_when_invoked(self, position: str) -> None:
        callables: dict[str, Any] = {"legal_actions_fn": constant(FIXED_ACTIONS),
                                     "rollout_fn": constant(1.0)}
        other = callables["rollout_fn" if position == "legal_actions_fn" else "legal_actions_fn"]
        callables[position] = None
        assert search(0, **callables).num_simulations == 0
        tree = ve.SearchTree()
        with pytest.raises(RuntimeError):
            search(1, tree=tree, **callables)
        # The legal actions come first: a missing rollout is only found after the expansion.
        assert len(other.calls) == (1 if position == "rollout_fn" else 0)
        assert tree.total_nodes() == (4 if position == "rollout_fn" else 1)

    @pytest.mark.parametrize("position, wrong", [
        ("legal_actions_fn", lambda: [1]),
        ("legal_actions_fn", lambda s, a: [1]),
        ("rollout_fn", lambda s: 1.0),
    ], ids=["legal-no-args", "legal-two-args", "rollout-one-arg"])
    def test_wrong_arity_is_pythons_own_error(self, position: str,
                                              wrong: Callable[..., Any]) -> None:
        with pytest.raises(TypeError) as expected:
            wrong(*([0.0] if position == "legal_actions_fn" else []))
        with pytest.raises(TypeError) as caught:
            search(**{position: wrong})
        assert str(caught.value) == str(expected.value)
        assert type(caught.value) is TypeError


class CustomError(Exception):
    pass


class CustomBaseError(BaseException):
    pass


class TestExceptionsPassThrough:
    @pytest.mark.parametrize("position", ["legal_actions_fn", "rollout_fn"])
    @pytest.mark.parametrize("error", [
        ValueError("bad value"), KeyError("key"), CustomError("custom"), ZeroDivisionError(),
        CustomBaseError("not an Exception")],
        ids=["ValueError", "KeyError", "custom", "ZeroDivisionError", "BaseException"])
    def test_same_exception_with_the_callables_frame(self, position: str,
                                                     error: BaseException) -> None:
        def failing_callback(*args: Any) -> Any:
            raise error

        with pytest.raises(type(error)) as caught:
            search(**{position: failing_callback})
        assert caught.value is error
        assert str(caught.value) == str(error)
        names = [frame.name for frame in traceback.extract_tb(caught.tb)]
        assert names[-1] == "failing_callback"


def reference_counts(objects: dict[str, Any]) -> dict[str, int]:
    return {name: sys.getrefcount(objects[name]) for name in objects if objects[name] is not None}


class TestCallableLifetime:
    def test_callable_outlives_its_last_outside_reference(self) -> None:
        events: list[str] = []

        class SelfDropping:
            def __init__(self, registry: dict[str, Any]) -> None:
                self.registry = registry
                self.value = 1.0

            def __call__(self) -> float:
                self.registry.clear()
                events.append("call")
                return self.value

        registry: dict[str, Any] = {}
        registry["rollout"] = SelfDropping(registry)
        weakref.finalize(registry["rollout"], events.append, "released")
        result = search(4, rollout_fn=registry["rollout"])
        gc.collect()
        assert events == ["call"] * 4 + ["released"]
        assert result.visit_counts == [2, 1, 1]

    @staticmethod
    def failing_rollout() -> Callable[[], float]:
        calls = []

        def rollout() -> float:
            calls.append(1)
            if len(calls) == 2:
                raise ValueError("second rollout")
            return 1.0
        return rollout

    @pytest.mark.parametrize("outcome, error", [
        ("normal", None), ("raises", ValueError), ("bad-result", RuntimeError),
        ("missing-rollout", RuntimeError)])
    def test_no_reference_is_kept(self, outcome: str, error: type[Exception] | None) -> None:
        callables: dict[str, Any] = {
            "legal_actions_fn": CallableLegal(),
            "transition_fn": functools.partial(legal_with_offset, 1),
            "rollout_fn": {"normal": Holder().rollout, "raises": self.failing_rollout(),
                           "bad-result": lambda: "x", "missing-rollout": None}[outcome],
        }
        counts = reference_counts(callables)
        refs = {name: weakref.ref(cb) for name, cb in callables.items() if cb is not None}
        if error is None:
            search(3, **callables)
        else:
            with pytest.raises(error):
                search(3, **callables)
        assert reference_counts(callables) == counts
        del callables
        gc.collect()
        assert [name for name, ref in refs.items() if ref() is not None] == []
