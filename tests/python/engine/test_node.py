"""Node: construction, statistics, the UCB score and children, driven from Python."""

import math
from typing import Any

import pytest
import veltra_engine as ve

from reference.single_precision import f32, ucb1_from_counts

ANY_C = [0.0, 1.414, 100.0, -3.0, math.inf, math.nan]
FINITE_C = [0.0, 1.414, 100.0, -3.0]


def visited(node: ve.Node, visits: int, total: float = 0.0) -> ve.Node:
    """Gives `node` `visits` visits whose values add up to `total`."""
    for _ in range(visits - 1):
        node.update(0.0)
    node.update(total)
    return node


def family(parent_visits: int, child_visits: int, child_total: float) -> tuple[ve.Node, ve.Node]:
    parent = visited(ve.Node(), parent_visits) if parent_visits else ve.Node()
    child = parent.add_child(1, 0.5)
    return parent, visited(child, child_visits, child_total) if child_visits else child


class TestConstruction:
    def test_defaults(self) -> None:
        node = ve.Node()
        assert node.action() == -1
        assert (node.visit_count(), node.total_value(), node.mean_value()) == (0, 0.0, 0.0)
        assert node.is_expanded() is False

    @pytest.mark.parametrize(
        "args, kwargs, action",
        [
            ((7,), {}, 7),
            ((), {"prior_prob": 0.25}, -1),
            ((), {"prior_prob": 0.5, "action": 3}, 3),
            ((3, 2), {}, 3),
            ((-(2**31), 1.0), {}, -(2**31)),
            ((2**31 - 1,), {}, 2**31 - 1),
        ],
    )
    def test_accepted_arguments(
        self, args: tuple[Any, ...], kwargs: dict[str, Any], action: int
    ) -> None:
        assert ve.Node(*args, **kwargs).action() == action

    @pytest.mark.parametrize(
        "args", [(1.5,), (2.0,), (2**31,), (-(2**31) - 1,), ("1",), (None,), (1, "x"), (1, None)]
    )
    def test_refused_arguments(self, args: tuple[Any, ...]) -> None:
        with pytest.raises(TypeError):
            ve.Node(*args)


class TestStatistics:
    def test_update_accumulates(self) -> None:
        node = ve.Node()
        for value in (1.0, 1.0, -0.5):
            node.update(value)
        assert (node.visit_count(), node.total_value(), node.mean_value()) == (3, 1.5, 0.5)

    def test_two_equal_updates_average_to_that_value(self) -> None:
        node = ve.Node()
        node.update(2.0)
        node.update(2)
        assert (node.total_value(), node.mean_value()) == (4.0, 2.0)

    def test_arithmetic_is_single_precision(self) -> None:
        node = ve.Node()
        for _ in range(3):
            node.update(0.1)
        total = f32(f32(f32(0.1) + f32(0.1)) + f32(0.1))
        assert node.total_value() == total != 0.1 + 0.1 + 0.1
        assert node.mean_value() == f32(total / 3)

    def test_huge_values_saturate_to_infinity(self) -> None:
        node = ve.Node()
        node.update(1e39)
        assert node.total_value() == math.inf
        node.update(-1e39)
        assert math.isnan(node.total_value())
        assert node.visit_count() == 2

    @pytest.mark.parametrize("value", ["1", None, [1.0]])
    def test_refused_update_leaves_node_untouched(self, value: Any) -> None:
        node = visited(ve.Node(), 1, 2.0)
        with pytest.raises(TypeError):
            node.update(value)
        assert (node.visit_count(), node.total_value()) == (1, 2.0)


class TestUcbScore:
    @pytest.mark.parametrize("c", ANY_C)
    @pytest.mark.parametrize("parent_visits", [0, 1, 10])
    def test_unvisited_child_scores_infinity(self, c: float, parent_visits: int) -> None:
        _, child = family(parent_visits, 0, 0.0)
        assert child.ucb_score(c) == math.inf
        assert ve.Node().ucb_score(c) == math.inf

    @pytest.mark.parametrize("c", ANY_C)
    def test_parentless_node_scores_its_mean(self, c: float) -> None:
        node = visited(ve.Node(5), 3, 2.0)
        assert node.ucb_score(c) == node.mean_value() == f32(2.0 / 3)

    @pytest.mark.parametrize("c", FINITE_C)
    def test_parent_with_one_visit_gives_no_exploration(self, c: float) -> None:
        _, child = family(1, 4, 3.0)
        assert child.ucb_score(c) == 0.75

    def test_parent_without_visits_gives_nan(self) -> None:
        _, child = family(0, 2, 1.0)
        assert math.isnan(child.ucb_score(1.414))

    def test_ten_parent_visits_four_child_visits(self) -> None:
        _, child = family(10, 4, 2.0)
        score = child.ucb_score(1.414)
        assert score == pytest.approx(1.5728, abs=1e-4)
        assert score == ucb1_from_counts(10, 4, 2.0, 1.414)

    @pytest.mark.parametrize(
        "parent_visits, visits, total, c",
        [(100, 7, -3.5, 1.414), (3, 1, 1.0, 0.5), (1000, 999, 600.0, 2.0), (50, 5, 0.0, -1.0)],
    )
    def test_matches_single_precision_formula(
        self, parent_visits: int, visits: int, total: float, c: float
    ) -> None:
        _, child = family(parent_visits, visits, total)
        assert child.ucb_score(c) == ucb1_from_counts(parent_visits, visits, total, c)

    def test_reads_the_parents_current_visits(self) -> None:
        parent, child = family(1, 1, 1.0)
        assert child.ucb_score(2.0) == 1.0
        visited(parent, 9)
        assert child.ucb_score(2.0) == ucb1_from_counts(10, 1, 1.0, 2.0)

    def test_int_weight_accepted(self) -> None:
        _, child = family(10, 4, 2.0)
        assert child.ucb_score(2) == child.ucb_score(2.0)
        with pytest.raises(TypeError):
            child.ucb_score("2")  # type: ignore[arg-type]


class TestChildren:
    def test_add_child_returns_a_fresh_node(self) -> None:
        parent = visited(ve.Node(), 3, 1.0)
        child = parent.add_child(4, 0.3)
        assert type(child) is ve.Node
        assert (child.action(), child.visit_count(), child.total_value()) == (4, 0, 0.0)
        assert child.is_expanded() is False
        assert parent.is_expanded() is True
        assert parent.visit_count() == 3

    def test_same_action_twice_gives_two_children(self) -> None:
        parent = ve.Node()
        first, second = parent.add_child(5, 0.5), parent.add_child(5, 0.5)
        assert first is not second
        assert first.action() == second.action() == 5
        first.update(1.0)
        assert second.visit_count() == 0

    @pytest.mark.parametrize("args", [(1.5, 0.2), (2**31, 0.2), (1, "x"), (1,)])
    def test_refused_arguments_add_nothing(self, args: tuple[Any, ...]) -> None:
        parent = ve.Node()
        with pytest.raises(TypeError):
            parent.add_child(*args)
        assert parent.is_expanded() is False

    def test_int_prior_accepted(self) -> None:
        assert ve.Node().add_child(2, 1).action() == 2

    def test_child_keeps_its_ancestors_alive(self) -> None:
        root = visited(ve.Node(), 10)
        middle = visited(root.add_child(1, 0.5), 4, 2.0)
        leaf = visited(middle.add_child(2, 0.5), 1, 1.0)
        del root
        assert middle.ucb_score(1.414) == pytest.approx(1.5728, abs=1e-4)
        del middle
        assert leaf.ucb_score(2.0) == ucb1_from_counts(4, 1, 1.0, 2.0)


class TestClearChildren:
    def test_former_child_stays_usable_and_attached(self) -> None:
        parent = visited(ve.Node(), 10)
        child = visited(parent.add_child(1, 0.5), 4, 2.0)
        grandchild = child.add_child(2, 0.1)
        parent.clear_children()
        assert parent.is_expanded() is False
        assert (child.visit_count(), child.total_value(), child.is_expanded()) == (4, 2.0, True)
        assert grandchild.action() == 2
        assert child.ucb_score(1.414) == pytest.approx(1.5728, abs=1e-4)
        visited(parent, 1)  # 11 visits now
        assert child.ucb_score(1.414) == ucb1_from_counts(11, 4, 2.0, 1.414)

    def test_clear_then_add(self) -> None:
        tree = ve.SearchTree()
        root = tree.root()
        for action in range(3):
            root.add_child(action, 0.1).add_child(action, 0.1)
        assert tree.total_nodes() == 7
        root.clear_children()
        root.clear_children()
        assert tree.total_nodes() == 1
        root.add_child(9, 0.1)
        assert (tree.total_nodes(), root.is_expanded()) == (2, True)
