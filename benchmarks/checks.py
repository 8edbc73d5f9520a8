"""Checks that benchmarks/run.py makes before it times anything, none of them timed: the
pure-Python search decides as the engine does, the bridge floor makes the engine's callback calls,
and native callbacks reach the engine without a Python call."""

from __future__ import annotations

import math
import sys
from typing import Callable, List, Tuple

from measure import (
    ACTIONS,
    NUM_ACTIONS,
    PYTHON_CALLBACKS,
    ROLLOUT_VALUE,
    Callback,
    Callbacks,
    CheckFailed,
    Modules,
    check,
    module_engine,
    native_callbacks,
    py_transition,
)


class VaryingCallbacks:
    """Deterministic callables whose answers change from call to call; they count their calls."""

    ACTION_LISTS: Tuple[List[int], ...] = ([3, 1, 4], [1, 5], [], [9, 2, 6, 5], [7])
    VALUES: Tuple[float, ...] = (0.5, -0.25, 1.0, 0.0, -0.75, 0.25, 0.125)

    def __init__(self) -> None:
        self.legal_calls = 0
        self.rollout_calls = 0

    def legal_actions(self, state: float) -> List[int]:
        check(state == 0.0, f"legal actions asked for state {state}")
        self.legal_calls += 1
        return self.ACTION_LISTS[self.legal_calls % len(self.ACTION_LISTS)]

    def transition(self, state: float, action: int) -> List[float]:
        raise CheckFailed("the search called the transition callback")

    def rollout(self) -> float:
        self.rollout_calls += 1
        return self.VALUES[self.rollout_calls % len(self.VALUES)]

    def all(self) -> Callbacks:
        return self.legal_actions, self.transition, self.rollout


def check_pure_python_matches_engine(modules: Modules) -> None:
    """The pure-Python search makes the engine's decisions: the same root statistics, tree size
    and callback calls, over two consecutive searches on one tree, with varying callbacks."""
    for exploration in (1.414, 0.3):
        engine = module_engine(modules, 150, exploration)
        pure = modules.pure.SearchEngine(num_simulations=150, exploration_constant=exploration)
        engine_tree, pure_tree = modules.engine.SearchTree(), modules.pure.Tree()
        engine_calls, pure_calls = VaryingCallbacks(), VaryingCallbacks()
        for search in ("first", "second"):
            expected = engine.search(engine_tree, *engine_calls.all())
            actual = pure.search(pure_tree, *pure_calls.all())
            where = f"pure-Python search, c={exploration}, {search} search"
            check(
                (actual.best_action, actual.actions, actual.visit_counts)
                == (expected.best_action, list(expected.actions), list(expected.visit_counts)),
                f"{where}: {actual} differs from the engine's {list(expected.visit_counts)}",
            )
            check(
                math.isclose(actual.root_value, expected.root_value, abs_tol=1e-6),
                f"{where}: root value {actual.root_value}, engine {expected.root_value}",
            )
            check(
                pure_tree.total_nodes() == engine_tree.total_nodes(),
                f"{where}: {pure_tree.total_nodes()} nodes, engine {engine_tree.total_nodes()}",
            )
            check(
                (pure_calls.legal_calls, pure_calls.rollout_calls)
                == (engine_calls.legal_calls, engine_calls.rollout_calls),
                f"{where}: callback calls differ",
            )


def check_bridge_floor_calls(modules: Modules) -> None:
    """The floor makes, per simulation, one legal-actions call with the state 0.0 and then one
    rollout call, and never calls the transition callback."""
    calls: List[str] = []

    def legal_actions(state: float) -> List[int]:
        calls.append(f"legal_actions({state})")
        return ACTIONS

    def rollout() -> float:
        calls.append("rollout()")
        return 0.5

    totals = modules.native.bridge_floor(legal_actions, VaryingCallbacks().transition, rollout, 3)
    check(
        calls == ["legal_actions(0.0)", "rollout()"] * 3 and totals == (3 * NUM_ACTIONS, 1.5),
        f"bridge floor made the calls {calls} and returned {totals}",
    )


def references_during_call(invoke: Callable[..., None], slot: int, callback: Callback) -> int:
    """How many more references `callback` has while `invoke` runs with it as callback number
    `slot` (0 legal actions, 1 transition, 2 rollout) than just before. A Python probe in another
    slot reads the count from inside the call."""
    seen: List[int] = []

    def probe_legal_actions(state: float) -> List[int]:
        seen.append(sys.getrefcount(callback))
        return ACTIONS

    def probe_rollout() -> float:
        seen.append(sys.getrefcount(callback))
        return ROLLOUT_VALUE

    callbacks: List[Callback] = [probe_legal_actions, py_transition, probe_rollout]
    callbacks[slot] = callback
    before = sys.getrefcount(callback)
    invoke(*callbacks)
    check(bool(seen), "the probe callback was not called")
    return seen[0] - before


def check_native_shortcut(modules: Modules) -> None:
    """Native callbacks must reach the engine as plain function pointers. A callback wrapping a
    Python callable holds a reference to it for the whole call; one made by the native shortcut
    holds none, so during the call the native function has fewer extra references."""

    def search_once(*callbacks: Callback) -> None:
        module_engine(modules, 1).search(modules.engine.SearchTree(), *callbacks)

    def floor_once(*callbacks: Callback) -> None:
        modules.native.bridge_floor(*callbacks, 1)

    native = native_callbacks(modules)
    for invoke in (search_once, floor_once):
        for slot, (native_fn, python_fn) in enumerate(zip(native, PYTHON_CALLBACKS)):
            wrapped = references_during_call(invoke, slot, python_fn)
            direct = references_during_call(invoke, slot, native_fn)
            check(
                direct < wrapped,
                f"{invoke.__name__}: native {native_fn.__name__} is held like a Python callable "
                f"({direct} extra references, Python {wrapped}); the native shortcut is not used",
            )
