"""Callbacks that call back into the module while a search runs: reading the tree, moving or
clearing its root, cutting or growing the current path, dropping the tree, searching it again.

Each scenario below takes the library to run against (the module, or the plain-Python reference
search) and returns (tree, result, log). The module's run happens in a fresh interpreter, so that
a crash or a hang fails only its own test; the reference run predicts every node of the final
tree, and the tests add the concrete outcomes that follow from the change.
"""

from __future__ import annotations

from typing import Any

import pytest

import veltra_engine as ve
from engine_helpers import (
    FIXED_ACTIONS,
    Script,
    canon,
    describe,
    make_engine,
    observe,
    run_isolated,
)

MODULE = __name__


def engine_and_reference(scenario: str, **params: Any) -> dict[str, Any]:
    """The module's observation of a scenario, after checking it against the reference."""
    observed: dict[str, Any] = run_isolated(observe, "engine", f"{MODULE}:{scenario}", params)
    assert observed == observe("reference", f"{MODULE}:{scenario}", params)
    return observed


def reading(lib: Any) -> tuple[Any, Any, Any]:
    tree = lib.SearchTree()
    reader = make_engine(0, lib)
    log: list[list[Any]] = []

    def look(phase: str) -> None:
        children = reader.search(tree, None, None, None)
        log.append([phase, tree.root().visit_count(), tree.total_nodes(), children.visit_counts])

    def legal(state: float) -> list[int]:
        look("legal")
        return FIXED_ACTIONS

    def rollout() -> float:
        look("rollout")
        return 1.0

    return tree, make_engine(4, lib).search(tree, legal, None, rollout), log


CHANGES = {
    "clear": lambda tree: tree.clear(),
    "reroot-absent": lambda tree: tree.reroot(99),
    "reroot-child": lambda tree: tree.reroot(10),
    "clear-root-children": lambda tree: tree.root().clear_children(),
}


def changing(lib: Any, phase: str, simulation: int, change: str,
             num_simulations: int) -> tuple[Any, Any, Any]:
    """Applies CHANGES[change] to the tree in the given callback of the given simulation, and
    logs the former root's statistics after the search."""
    tree = lib.SearchTree()
    calls = {"legal": 0, "rollout": 0}
    former: list[Any] = []

    def maybe_change(current: str) -> None:
        calls[current] += 1
        if current == phase and calls[current] == simulation:
            former.append(tree.root())
            CHANGES[change](tree)

    def legal(state: float) -> list[int]:
        maybe_change("legal")
        return FIXED_ACTIONS

    def rollout() -> float:
        maybe_change("rollout")
        return 1.0

    result = make_engine(num_simulations, lib).search(tree, legal, None, rollout)
    return tree, result, [former[0].visit_count(), canon(former[0].total_value())]


def growing(lib: Any) -> tuple[Any, Any, Any]:
    """Simulation 1 ends its descent at the root and simulation 2 at the unvisited child 99: the
    legal-actions callback adds a child to that leaf before the engine expands it."""
    tree = lib.SearchTree()
    added: list[Any] = []

    def legal(state: float) -> list[int]:
        if not added:
            added.append(tree.root().add_child(99, 0.0))
        elif len(added) == 1:
            added.append(added[0].add_child(77, 0.0))
        return FIXED_ACTIONS

    result = make_engine(3, lib).search(tree, legal, None, lambda: 1.0)
    return tree, result, [node.visit_count() for node in added]


def nesting(lib: Any, phase: str, limit: int) -> tuple[Any, Any, Any]:
    """Every callback of the given kind starts another search on the same tree, down to `limit`
    searches inside one another."""
    tree = lib.SearchTree()
    engine = make_engine(2, lib, exploration_constant=0.5)
    script = Script((2, 1, 3), (0.5, -0.25, 1.0, 0.75))
    depth = {"now": 0, "deepest": 0}

    def nest(current: str) -> None:
        if current == phase and depth["now"] < limit:
            depth["now"] += 1
            depth["deepest"] = max(depth["deepest"], depth["now"])
            engine.search(tree, legal, None, rollout)
            depth["now"] -= 1

    def legal(state: float) -> list[int]:
        nest("legal")
        return script.legal_actions(state)

    def rollout() -> float:
        nest("rollout")
        return script.rollout()

    result = engine.search(tree, legal, None, rollout)
    return tree, result, {"rollouts": script.rollout_calls, "deepest": depth["deepest"]}


def failing_inside_nested(lib: Any) -> tuple[Any, Any, Any]:
    """The legal-actions callback of simulation 2 runs a search whose rollout raises."""
    tree = lib.SearchTree()
    error = ValueError("inner rollout")
    calls: list[str] = []

    def failing_rollout() -> float:
        raise error

    def legal(state: float) -> list[int]:
        calls.append("legal")
        if len(calls) == 2:
            make_engine(1, lib).search(tree, legal, None, failing_rollout)
        return FIXED_ACTIONS

    try:
        make_engine(3, lib).search(tree, legal, None, lambda: 1.0)
    except ValueError as caught:
        log = {"same_exception": caught is error, "legal_calls": len(calls)}
    return tree, make_engine(0, lib).search(tree, None, None, None), log


def dropping_tree(num_simulations: int) -> dict[str, Any]:
    """The first callback deletes the caller's only reference to the tree."""
    holder = {"tree": ve.SearchTree()}
    seen: list[int] = []

    def legal(state: float) -> list[int]:
        holder.clear()
        return FIXED_ACTIONS

    def rollout() -> float:
        seen.append(len(holder))
        return 1.0

    result = make_engine(num_simulations).search(holder["tree"], legal, None, rollout)
    return {"result": describe(result), "seen": seen}


class TestReadingDuringSearch:
    def test_callbacks_see_each_step(self) -> None:
        observed = engine_and_reference("reading")
        assert observed["log"] == [
            ["legal", 0, 1, []], ["rollout", 0, 4, [0, 0, 0]],
            ["legal", 1, 4, [1, 0, 0]], ["rollout", 1, 7, [1, 0, 0]],
            ["legal", 2, 7, [1, 1, 0]], ["rollout", 2, 10, [1, 1, 0]],
            ["legal", 3, 10, [1, 1, 1]], ["rollout", 3, 13, [1, 1, 1]]]
        assert observed["result"]["visit_counts"] == [2, 1, 1]


class TestChangingTheRoot:
    """The simulation in flight finishes on the nodes it holds; the next one starts from the
    tree's root as it then is, and the result describes the final root."""

    CASES = [("legal", 1), ("legal", 3), ("rollout", 1), ("rollout", 2), ("rollout", 5)]

    @pytest.mark.parametrize("change", ["clear", "reroot-absent"])
    @pytest.mark.parametrize("phase, simulation", CASES)
    def test_fresh_root_counts_only_later_simulations(self, change: str, phase: str,
                                                      simulation: int) -> None:
        observed = engine_and_reference("changing", phase=phase, simulation=simulation,
                                        change=change, num_simulations=5)
        later = 5 - simulation
        assert observed["tree"][""][0] == later
        assert sum(observed["result"]["visit_counts"]) == later
        assert observed["result"]["num_simulations"] == 5
        # The former root took the backups of every simulation up to the change.
        assert observed["log"][0] == simulation

    @pytest.mark.parametrize("phase, simulation", CASES)
    def test_cut_root_children(self, phase: str, simulation: int) -> None:
        observed = engine_and_reference("changing", phase=phase, simulation=simulation,
                                        change="clear-root-children", num_simulations=5)
        # Every backup still reaches the root; only later simulations reach its new children.
        assert observed["tree"][""][0] == 5
        cut_before_expanding_the_root = phase == "legal" and simulation == 1
        expected_child_visits = 5 if cut_before_expanding_the_root else 5 - simulation
        assert sum(observed["result"]["visit_counts"]) == expected_child_visits

    @pytest.mark.parametrize("phase, simulation", CASES)
    def test_promote_a_child(self, phase: str, simulation: int) -> None:
        engine_and_reference("changing", phase=phase, simulation=simulation,
                             change="reroot-child", num_simulations=5)

    def test_promote_the_child_below_the_running_simulation(self) -> None:
        observed = engine_and_reference("changing", phase="rollout", simulation=2,
                                        change="reroot-child", num_simulations=4)
        # Simulations 1, 3 and 4 back up through child 10, which loses its parent in simulation 2.
        assert observed["result"] == {"best_action": 10, "actions": FIXED_ACTIONS,
                                      "visit_counts": [1, 1, 0],
                                      "root_value": pytest.approx(1 / 3), "num_simulations": 4}
        assert observed["tree"][""][:2] == [3, 1.0]
        assert observed["log"] == [2, 0.0]


class TestGrowingTheLeaf:
    def test_engine_expands_after_the_callbacks_children(self) -> None:
        observed = engine_and_reference("growing")
        assert observed["result"]["actions"] == [99] + FIXED_ACTIONS
        assert observed["result"]["visit_counts"] == [1, 1, 1, 0]
        # The engine moves to the first child it added, not to the callback's child.
        assert observed["tree"]["99"] == [1, -1.0, [77] + FIXED_ACTIONS, [0, 1, 0, 0]]
        assert observed["log"] == [1, 0]


class TestNestedSearch:
    @pytest.mark.parametrize("phase", ["legal", "rollout"])
    @pytest.mark.parametrize("limit", [1, 3])
    def test_inner_searches_share_the_tree(self, phase: str, limit: int) -> None:
        observed = engine_and_reference("nesting", phase=phase, limit=limit)
        root_visits = observed["tree"][""][0]
        assert observed["log"]["deepest"] == limit
        assert root_visits == observed["log"]["rollouts"] > 2
        assert sum(observed["result"]["visit_counts"]) == root_visits

    def test_inner_failure_reaches_the_outer_caller(self) -> None:
        observed = engine_and_reference("failing_inside_nested")
        assert observed["log"] == {"same_exception": True, "legal_calls": 3}
        assert observed["result"]["visit_counts"] == [1, 0, 0]
        assert observed["tree"]["20"] == [0, 0.0, FIXED_ACTIONS, [0, 0, 0]]


class TestDroppingTheTree:
    @pytest.mark.parametrize("num_simulations", [1, 4])
    def test_search_finishes_on_the_dropped_tree(self, num_simulations: int) -> None:
        observed = run_isolated(dropping_tree, num_simulations)
        assert observed["seen"] == [0] * num_simulations
        assert sum(observed["result"]["visit_counts"]) == num_simulations
