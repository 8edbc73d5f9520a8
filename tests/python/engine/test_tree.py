"""SearchTree: the root it owns, node counts, reroot and clear."""

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest
import veltra_engine as ve

ANY_C = [0.0, 1.414, 100.0, -3.0, math.inf, math.nan]


@dataclass
class Small:
    """Root r with children a (action 1) and b (action 2); a has a child of action 3."""

    tree: ve.SearchTree
    r: ve.Node
    a: ve.Node
    b: ve.Node


@pytest.fixture
def small() -> Small:
    tree = ve.SearchTree()
    r = tree.root()
    a, b = r.add_child(1, 0.5), r.add_child(2, 0.5)
    a.add_child(3, 0.1)
    for _ in range(3):
        r.update(-1.0)
    a.update(2.0)
    a.update(2.0)
    return Small(tree, r, a, b)


class TestConstruction:
    @pytest.mark.parametrize(
        "args, kwargs, action",
        [((), {}, -1), ((4,), {}, 4), ((), {"root_action": 4}, 4), ((-(2**31),), {}, -(2**31))],
    )
    def test_root_action(self, args: tuple[Any, ...], kwargs: dict[str, Any], action: int) -> None:
        tree = ve.SearchTree(*args, **kwargs)
        root = tree.root()
        assert (root.action(), root.visit_count(), root.is_expanded()) == (action, 0, False)
        assert root.ucb_score(1.0) == math.inf
        assert tree.total_nodes() == 1

    @pytest.mark.parametrize("args", [(1.5,), (2**31,), ("4",), (None,)])
    def test_refused_root_action(self, args: tuple[Any, ...]) -> None:
        with pytest.raises(TypeError):
            ve.SearchTree(*args)

    def test_root_is_one_object(self) -> None:
        tree = ve.SearchTree()
        assert tree.root() is tree.root()

    def test_tree_keeps_its_root(self) -> None:
        tree = ve.SearchTree(7)
        tree.root().update(1.5)
        tree.root().add_child(1, 0.5).update(1.0)
        assert (tree.root().visit_count(), tree.root().total_value()) == (1, 1.5)
        assert tree.total_nodes() == 2

    def test_trees_are_independent(self) -> None:
        first, second = ve.SearchTree(), ve.SearchTree()
        first.root().add_child(1, 0.5)
        assert (first.total_nodes(), second.total_nodes()) == (2, 1)
        assert first.root() is not second.root()


class TestTotalNodes:
    def test_counts_every_level(self, small: Small) -> None:
        assert small.tree.total_nodes() == 4
        small.b.add_child(4, 0.1)
        small.b.add_child(4, 0.1)
        assert small.tree.total_nodes() == 6

    def test_cleared_subtree_no_longer_counts(self, small: Small) -> None:
        small.a.clear_children()
        assert small.tree.total_nodes() == 3


class TestReroot:
    def test_promotes_the_child_with_its_subtree(self, small: Small) -> None:
        small.tree.reroot(1)
        assert small.tree.root() is small.a
        assert small.tree.total_nodes() == 2
        assert (small.a.visit_count(), small.a.mean_value()) == (2, 2.0)

    @pytest.mark.parametrize("c", ANY_C)
    def test_promoted_node_scores_its_mean(self, small: Small, c: float) -> None:
        small.tree.reroot(1)
        small.r.update(1.0)  # the former parent's visits no longer matter
        assert small.a.ucb_score(c) == small.a.mean_value() == 2.0

    def test_former_root_is_unchanged(self, small: Small) -> None:
        small.tree.reroot(1)
        assert (small.r.visit_count(), small.r.total_value(), small.r.is_expanded()) == (
            3,
            -3.0,
            True,
        )
        assert small.b.ucb_score(0.0) == math.inf

    def test_first_matching_child_wins(self) -> None:
        tree = ve.SearchTree()
        first = tree.root().add_child(1, 0.5)
        second = tree.root().add_child(1, 0.5)
        second.add_child(2, 0.5)
        tree.reroot(1)
        assert tree.root() is first
        assert tree.total_nodes() == 1

    def test_promoted_node_kept_without_python_reference(self) -> None:
        tree = ve.SearchTree()
        child = tree.root().add_child(5, 0.5)
        child.update(3.0)
        child.add_child(6, 0.5)
        del child
        tree.reroot(5)
        root = tree.root()
        assert (root.action(), root.visit_count(), root.total_value()) == (5, 1, 3.0)
        assert tree.total_nodes() == 2
        assert root is tree.root()

    def test_missing_action_gives_a_fresh_root(self, small: Small) -> None:
        small.tree.reroot(9)
        root = small.tree.root()
        assert (root.action(), root.visit_count(), root.is_expanded()) == (9, 0, False)
        assert small.tree.total_nodes() == 1
        assert root is not small.r
        assert small.a.ucb_score(1.414) == pytest.approx(math.sqrt(math.log(3) / 2) * 1.414 + 2)

    def test_grandchild_action_is_not_found(self, small: Small) -> None:
        small.tree.reroot(3)
        assert small.tree.root().visit_count() == 0
        assert small.tree.root() is not small.a

    def test_successive_reroots_walk_down(self, small: Small) -> None:
        small.tree.reroot(1)
        small.tree.reroot(3)
        assert small.tree.root().action() == 3
        assert small.tree.total_nodes() == 1
        assert small.a.is_expanded() is True

    @pytest.mark.parametrize("call", [lambda t: t.reroot(1.0), lambda t: t.reroot(2**31)])
    def test_refused_action_leaves_tree_unchanged(
        self, small: Small, call: Callable[[ve.SearchTree], None]
    ) -> None:
        with pytest.raises(TypeError):
            call(small.tree)
        assert small.tree.root() is small.r
        assert small.tree.total_nodes() == 4


class TestClear:
    def test_clear_gives_a_fresh_default_root(self) -> None:
        tree = ve.SearchTree(4)
        tree.root().add_child(1, 0.5)
        tree.clear()
        assert (tree.root().action(), tree.root().visit_count()) == (-1, 0)
        assert tree.total_nodes() == 1

    def test_held_nodes_survive_clear(self, small: Small) -> None:
        small.tree.clear()
        assert small.tree.root() is not small.r
        assert (small.r.visit_count(), small.r.is_expanded()) == (3, True)
        assert small.a.ucb_score(0.0) == 2.0
        assert small.a.is_expanded() is True

    def test_cleared_tree_can_grow_again(self, small: Small) -> None:
        small.tree.clear()
        small.tree.root().add_child(1, 0.5)
        small.tree.reroot(1)
        assert small.tree.root() is not small.a
        assert small.tree.total_nodes() == 1
