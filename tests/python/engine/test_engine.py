"""SearchEngine.search: simulations, statistics left in the tree, results and failures."""

from __future__ import annotations

import math
import random
import struct
import traceback
from typing import Any

import pytest

import veltra_engine as ve
from engine_helpers import (
    FIXED_ACTIONS,
    Recorder,
    Reference,
    Script,
    assert_zero_states,
    constant,
    describe,
    leaf_entry,
    make_engine,
    scripted_tree,
    snapshot,
    fixed_callback_tree,
)

EXPANDED_UNVISITED = [0, 0.0, FIXED_ACTIONS, [0, 0, 0]]

# Every node after 1, 2 and 4 simulations with legal actions FIXED_ACTIONS and rollout 1.0.
FIXED_CALLBACK_SNAPSHOTS: dict[int, dict[str, list[Any]]] = {
    1: {"": [1, -1.0, FIXED_ACTIONS, [1, 0, 0]], "10": leaf_entry(1, 1.0), "20": leaf_entry(),
        "30": leaf_entry()},
    2: {"": [2, 0.0, FIXED_ACTIONS, [1, 1, 0]], "10": leaf_entry(1, 1.0),
        "20": [1, -1.0, FIXED_ACTIONS, [1, 0, 0]], "30": leaf_entry(),
        "20/10": leaf_entry(1, 1.0), "20/20": leaf_entry(), "20/30": leaf_entry()},
    4: {"": [4, 2.0, FIXED_ACTIONS, [2, 1, 1]],
        "10": [2, 0.0, FIXED_ACTIONS, [1, 0, 0]], "10/10": leaf_entry(1, 1.0),
        "10/20": leaf_entry(), "10/30": leaf_entry(),
        "20": [1, -1.0, FIXED_ACTIONS, [1, 0, 0]], "20/10": leaf_entry(1, 1.0),
        "20/20": leaf_entry(), "20/30": leaf_entry(),
        "30": [1, -1.0, FIXED_ACTIONS, [1, 0, 0]], "30/10": leaf_entry(1, 1.0),
        "30/20": leaf_entry(), "30/30": leaf_entry()},
}
EMPTY_RESULT = {"best_action": -1, "actions": [], "visit_counts": [], "root_value": 0.0}


def fixed_callback_result(num_simulations: int) -> dict[str, Any]:
    visits, total, actions, visit_counts = FIXED_CALLBACK_SNAPSHOTS[num_simulations][""]
    return {"best_action": 10, "actions": actions, "visit_counts": visit_counts,
            "root_value": total / visits, "num_simulations": num_simulations}


class Callbacks:
    """Legal actions FIXED_ACTIONS and rollout 1.0, recording their calls."""

    def __init__(self, actions: list[int] = FIXED_ACTIONS, value: Any = 1.0) -> None:
        self.legal = constant(actions)
        self.transition = constant([0.0])
        self.rollout = constant(value)

    def run(self, engine: Any, tree: Any, transition: bool = True) -> Any:
        return engine.search(tree, self.legal, self.transition if transition else None,
                             self.rollout)



@pytest.fixture
def callbacks() -> Callbacks:
    return Callbacks()


class TestWorkedExample:
    @pytest.mark.parametrize("with_transition", [True, False], ids=["transition", "no-transition"])
    @pytest.mark.parametrize("num_simulations", [1, 2, 4])
    def test_result_calls_and_tree(self, callbacks: Callbacks, num_simulations: int,
                                   with_transition: bool) -> None:
        tree = ve.SearchTree()
        result = callbacks.run(make_engine(num_simulations), tree, with_transition)

        assert describe(result) == fixed_callback_result(num_simulations)
        assert len(callbacks.legal.calls) == len(callbacks.rollout.calls) == num_simulations
        assert_zero_states(callbacks.legal)
        assert callbacks.rollout.calls == [()] * num_simulations
        assert callbacks.transition.calls == []
        assert tree.total_nodes() == len(FIXED_CALLBACK_SNAPSHOTS[num_simulations])
        assert snapshot(ve, lambda lib: fixed_callback_tree(lib, num_simulations)) == (
            FIXED_CALLBACK_SNAPSHOTS[num_simulations])

    @pytest.mark.parametrize("searches", [(1, 1), (1, 3), (2, 2), (3, 1), (1, 1, 1, 1)])
    def test_consecutive_searches_continue_one_another(self, searches: tuple[int, ...]) -> None:
        total = sum(searches)
        assert snapshot(ve, lambda lib: fixed_callback_tree(lib, *searches)) == FIXED_CALLBACK_SNAPSHOTS[total]
        tree = fixed_callback_tree(ve, *searches[:-1])
        result = make_engine(searches[-1]).search(tree, lambda s: FIXED_ACTIONS, None,
                                                  lambda: 1.0)
        assert result.visit_counts == FIXED_CALLBACK_SNAPSHOTS[total][""][3]
        assert result.num_simulations == searches[-1]

    def test_second_search_asks_for_actions_only_below_the_root(self,
                                                               callbacks: Callbacks) -> None:
        tree = fixed_callback_tree(ve, 1)
        callbacks.run(make_engine(1), tree)
        # One call, at child 20: a call at the root would have added three more root children.
        assert len(callbacks.legal.calls) == 1
        assert tree.total_nodes() == 7
        assert make_engine(0).search(tree, None, None, None).actions == FIXED_ACTIONS


class TestDegenerateInputs:
    def test_no_legal_actions_keeps_the_root_a_leaf(self) -> None:
        callbacks = Callbacks(actions=[], value=2.0)
        tree = ve.SearchTree()
        result = callbacks.run(make_engine(5), tree)
        assert describe(result) == {**EMPTY_RESULT, "root_value": 2.0, "num_simulations": 5}
        assert len(callbacks.legal.calls) == 5
        assert_zero_states(callbacks.legal)
        assert (tree.total_nodes(), tree.root().visit_count(), tree.root().total_value()) == (
            1, 5, 10.0)

    @pytest.mark.parametrize("num_simulations", [0, -3])
    @pytest.mark.parametrize("searched_before", [0, 4])
    def test_no_simulations_change_nothing(self, callbacks: Callbacks, num_simulations: int,
                                           searched_before: int) -> None:
        before = snapshot(ve, lambda lib: fixed_callback_tree(lib, searched_before))
        tree = fixed_callback_tree(ve, searched_before)
        result = callbacks.run(make_engine(num_simulations), tree)

        expected = fixed_callback_result(4) if searched_before else dict(EMPTY_RESULT)
        assert describe(result) == {**expected, "num_simulations": num_simulations}
        assert snapshot(ve, lambda lib: fixed_callback_tree(lib, searched_before, num_simulations)) == (
            before)
        assert callbacks.legal.calls == callbacks.rollout.calls == []

    @pytest.mark.parametrize("num_simulations", [5, 0, -3])
    @pytest.mark.parametrize("exploration_constant", [1.414, 0.0])
    @pytest.mark.parametrize("with_callables", [True, False])
    def test_missing_tree(self, callbacks: Callbacks, num_simulations: int,
                          exploration_constant: float, with_callables: bool) -> None:
        engine = make_engine(num_simulations, exploration_constant=exploration_constant)
        if with_callables:
            result = callbacks.run(engine, None)
        else:
            result = engine.search(None, None, None, None)
        assert describe(result) == {**EMPTY_RESULT, "num_simulations": 0}
        assert callbacks.legal.calls == callbacks.rollout.calls == []

    def test_repeated_actions_give_repeated_children(self) -> None:
        tree = ve.SearchTree()
        result = Callbacks(actions=[5, 5]).run(make_engine(2), tree)
        assert describe(result) == {"best_action": 5, "actions": [5, 5], "visit_counts": [1, 1],
                                    "root_value": 0.0, "num_simulations": 2}
        assert tree.total_nodes() == 5


class TestFailures:
    @pytest.mark.parametrize("searched_before", [0, 2])
    def test_missing_legal_actions_callable(self, searched_before: int) -> None:
        rollout = constant(1.0)

        def grow(lib: Any) -> Any:
            tree = fixed_callback_tree(lib, searched_before)
            with pytest.raises(RuntimeError):
                make_engine(1, lib).search(tree, None, None, rollout)
            return tree

        assert snapshot(ve, grow) == snapshot(ve, lambda lib: fixed_callback_tree(lib, searched_before))
        assert rollout.calls == []

    def test_missing_rollout_callable_keeps_the_expansion(self, callbacks: Callbacks) -> None:
        tree = ve.SearchTree()
        with pytest.raises(RuntimeError):
            make_engine(1).search(tree, callbacks.legal, None, None)
        assert len(callbacks.legal.calls) == 1
        assert tree.total_nodes() == 4
        assert make_engine(0).search(tree, None, None, None).visit_counts == [0, 0, 0]
        assert (tree.root().visit_count(), tree.root().total_value()) == (0, 0.0)

    @pytest.mark.parametrize("failing", ["legal", "rollout"])
    def test_exception_in_third_simulation(self, failing: str) -> None:
        error = LookupError("third simulation")

        def grow(lib: Any) -> Any:
            def legal(state: float) -> list[int]:
                calls.append("legal")
                if failing == "legal" and calls.count("legal") == 3:
                    raise error
                return FIXED_ACTIONS

            def rollout() -> float:
                calls.append("rollout")
                if failing == "rollout" and calls.count("rollout") == 3:
                    raise error
                return 1.0

            calls: list[str] = []
            tree = lib.SearchTree()
            with pytest.raises(LookupError) as caught:
                make_engine(4, lib).search(tree, legal, None, rollout)
            assert caught.value is error
            assert any(frame.name == failing for frame in traceback.extract_tb(caught.tb))
            assert len(calls) == (5 if failing == "legal" else 6)
            return tree

        expected = dict(FIXED_CALLBACK_SNAPSHOTS[2])
        if failing == "rollout":
            # The third simulation expanded child 30 before its rollout failed.
            expected["30"] = EXPANDED_UNVISITED
            expected.update({f"30/{action}": leaf_entry() for action in FIXED_ACTIONS})
        assert snapshot(ve, grow) == expected


SCRIPT_WIDTHS = (3, 2, 1, 0, 2)
SCRIPT_VALUES = (0.75, -0.5, 0.125, 1.0, -0.875, 0.25, 0.5)


def scripted(lib: Any, searches: tuple[int, ...] = (25,), **fields: Any) -> Any:
    return scripted_tree(lib, SCRIPT_WIDTHS, SCRIPT_VALUES, searches, **fields)


class TestConfiguration:
    def test_engine_copies_its_configuration(self) -> None:
        def grow(lib: Any) -> Any:
            config = ve.SearchConfig()
            config.num_simulations, config.exploration_constant = 25, 0.0
            engine = lib.SearchEngine(config)
            config.num_simulations, config.exploration_constant = 3, 4.0
            del config
            tree = lib.SearchTree()
            script = Script(SCRIPT_WIDTHS, SCRIPT_VALUES)
            assert engine.search(tree, script.legal_actions, None,
                                 script.rollout).num_simulations == 25
            return tree

        observed = snapshot(ve, grow)
        assert observed == snapshot(Reference, lambda lib: scripted(lib, exploration_constant=0.0))
        assert observed != snapshot(Reference,
                                    lambda lib: scripted(lib, (3,), exploration_constant=4.0))

    @pytest.mark.parametrize("field, value", [
        ("seed", 1), ("seed", 4294967295), ("max_rollout_depth", 0), ("max_rollout_depth", -1),
        ("discount_factor", 0.5), ("discount_factor", 0.0)])
    def test_carried_fields_do_not_change_the_search(self, field: str, value: Any) -> None:
        def grow(lib: Any) -> Any:
            return scripted(lib, (10, 15), **{field: value})
        assert snapshot(ve, grow) == snapshot(ve, scripted)

    def test_exploration_constant_steers_the_descent(self) -> None:
        greedy = snapshot(ve, lambda lib: scripted(lib, exploration_constant=0.0))
        exploring = snapshot(ve, lambda lib: scripted(lib, exploration_constant=4.0))
        assert greedy != exploring


def random_script(seed: int) -> dict[str, Any]:
    """Legal-action widths, 32-bit rollout values, an exploration constant and the simulation
    counts of consecutive searches, drawn from `seed`."""
    draw = random.Random(seed)
    return {
        "widths": [draw.randint(0, 3) for _ in range(draw.randint(1, 6))],
        "values": [struct.unpack("f", struct.pack("f", draw.uniform(-4.0, 4.0)))[0]
                   for _ in range(draw.randint(1, 8))],
        "exploration": draw.choice([0.0, 0.3, 1.414, 4.0]),
        "searches": [draw.randint(-1, 12) for _ in range(draw.randint(1, 3))],
    }


class TestDescentFollowsNodeScores:
    """The engine must walk the tree exactly as Node.ucb_score, with the same constant, predicts:
    compared node by node with the plain-Python reference search."""

    @pytest.mark.parametrize("seed", range(40))
    def test_matches_reference(self, seed: int) -> None:
        script = random_script(seed)

        def grow(lib: Any) -> Any:
            return scripted_tree(lib, script["widths"], script["values"], script["searches"],
                                 exploration_constant=script["exploration"])
        assert snapshot(ve, grow) == snapshot(Reference, grow)

    @pytest.mark.parametrize("values", [
        (math.nan,), (math.inf,), (-math.inf,), (math.inf, -math.inf, 1.0),
        (1.0, math.nan, -2.0, 0.5), (3.0e38, 3.0e38, -1.0)])
    @pytest.mark.parametrize("exploration", [1.414, math.nan, math.inf])
    def test_non_finite_statistics(self, values: tuple[float, ...], exploration: float) -> None:
        def grow(lib: Any) -> Any:
            tree = scripted_tree(lib, (2, 3, 1), values, (12,), exploration_constant=exploration)
            make_engine(6, lib).search(tree, lambda s: [7, 8], None, lambda: 0.5)
            return tree
        observed = snapshot(ve, grow)
        assert observed == snapshot(Reference, grow)
        assert observed[""][0] == 18

    @pytest.mark.parametrize("num_simulations, visit_counts", [(4, [2, 1, 1]), (5, [2, 2, 1])])
    def test_equal_scores_go_to_the_earliest_child(self, num_simulations: int,
                                                   visit_counts: list[int]) -> None:
        result = Callbacks(value=0.0).run(make_engine(num_simulations), ve.SearchTree())
        assert result.visit_counts == visit_counts

    def test_all_nan_children_descend_to_the_first(self) -> None:
        tree = ve.SearchTree()
        result = Callbacks(actions=[1, 2], value=math.nan).run(make_engine(5), tree)
        assert (result.visit_counts, result.best_action, tree.total_nodes()) == ([4, 1], 1, 11)
        assert math.isnan(result.root_value)
        later = Callbacks(actions=[3]).run(make_engine(3), tree)
        assert sum(later.visit_counts) == tree.root().visit_count() == 8


class TestReroot:
    def test_search_continues_in_the_promoted_subtree(self, callbacks: Callbacks) -> None:
        tree = fixed_callback_tree(ve, 4)
        tree.reroot(10)
        result = callbacks.run(make_engine(1), tree)
        assert describe(result) == {"best_action": 10, "actions": FIXED_ACTIONS,
                                    "visit_counts": [1, 1, 0], "root_value": pytest.approx(1 / 3),
                                    "num_simulations": 1}
        assert (tree.root().visit_count(), tree.total_nodes()) == (3, 7)

    @pytest.mark.parametrize("path", [(101,), (102, 300, 700), (999,)])
    def test_matches_reference(self, path: tuple[int, ...]) -> None:
        def grow(lib: Any) -> Any:
            tree = scripted(lib)
            for action in path:
                tree.reroot(action)
            make_engine(15, lib, exploration_constant=0.7).search(
                tree, Recorder(lambda i: [i, i + 1000]), None, Recorder(lambda i: (-1) ** i / 3))
            return tree
        assert snapshot(ve, grow) == snapshot(Reference, grow)
