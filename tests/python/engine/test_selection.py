"""Child selection rules: UCB1 (UCBSelection) and prior-weighted UCB (PolicyWeightedUCB)."""

import math
import struct
from collections.abc import Callable, Sequence

import pytest

import veltra_engine as ve
from reference.single_precision import LOWEST_F32, f32, ucb1_from_counts

DEFAULT_C = 1.4140000343322754  # 1.414 rounded to single precision
REFERENCE_ACTION = 999

# (visits, total value, prior) of one child.
Stats = tuple[int, float, float]

POLICIES = [ve.UCBSelection, ve.PolicyWeightedUCB]
Policy = ve.UCBSelection | ve.PolicyWeightedUCB


def f32_step(x: float, steps: int) -> float:
    """The single-precision float `steps` representable values away from the positive float x."""
    assert x > 0.0
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    return float(struct.unpack("<f", struct.pack("<I", bits + steps))[0])


def weighted_f32(node_visits: int, visits: int, total: float, prior: float, c: float) -> float:
    """Prior-weighted UCB in single precision: (sqrt(max(N, 1)) / (n + 1)) * (P * c) + Q."""
    s = f32(math.sqrt(max(node_visits, 1)))
    mean = f32(f32(total) / visits) if visits else 0.0
    return f32(f32(f32(s / (visits + 1)) * f32(f32(prior) * f32(c))) + mean)


def give_visits(node: ve.Node, visits: int, total: float = 0.0) -> ve.Node:
    """Records `visits` updates on the node whose values sum exactly to `total`."""
    if visits:
        node.update(total)
        for _ in range(visits - 1):
            node.update(0.0)
    return node


def grow(tree: ve.SearchTree, root_visits: int, children: Sequence[Stats]) -> list[ve.Node]:
    """Gives the tree's root `root_visits` visits and one child per entry, in order."""
    root = give_visits(tree.root(), root_visits)
    return [
        give_visits(root.add_child(action, prior), visits, total)
        for action, (visits, total, prior) in enumerate(children)
    ]


def add_reference(tree: ve.SearchTree, mean: float) -> ve.Node:
    """Appends to the root a child that both rules score exactly `mean`.

    The child gets one visit and prior 0 (no prior-weighted bonus), then the tree promotes it
    to its root, so its parent link is empty and UCB1 scores it by its mean alone. The former
    root, which the caller still holds, keeps listing it last among its children.
    """
    reference = give_visits(tree.root().add_child(REFERENCE_ACTION, 0.0), 1, mean)
    tree.reroot(REFERENCE_ACTION)
    return reference


def assert_best_score(
    policy: Policy, build: Callable[[ve.SearchTree], ve.Node], expected: float
) -> None:
    """The best score the policy sees among the children made by `build` is exactly `expected`.

    A later child scoring `expected` loses the tie to the winner; one a float step above wins.
    """
    for reference_mean, reference_wins in ((expected, False), (f32_step(expected, 1), True)):
        tree = ve.SearchTree()
        root = tree.root()
        winner = build(tree)
        reference = add_reference(tree, reference_mean)
        assert policy.select(root) is (reference if reference_wins else winner)


class TestRegistration:
    def test_base_cannot_be_instantiated(self) -> None:
        message = r"^veltra_engine\.SelectionPolicy: No constructor defined!$"
        with pytest.raises(TypeError, match=message):
            ve.SelectionPolicy()

    @pytest.mark.parametrize("policy_class", POLICIES)
    def test_rules_derive_from_base(self, policy_class: type) -> None:
        assert issubclass(policy_class, ve.SelectionPolicy)
        assert isinstance(policy_class(), ve.SelectionPolicy)


@pytest.mark.parametrize("policy_class", POLICIES)
class TestCommonRules:
    def test_none_gives_none(self, policy_class: type) -> None:
        assert policy_class().select(None) is None

    def test_leaf_returns_itself(self, policy_class: type) -> None:
        leaf = ve.Node(3, 0.5)
        assert policy_class().select(leaf) is leaf

    def test_node_is_positional_only(self, policy_class: type) -> None:
        root = ve.Node()
        root.add_child(1, 0.5)
        for keyword in ("arg0", "node"):
            with pytest.raises(TypeError):
                policy_class().select(**{keyword: root})

    def test_constant_by_keyword_or_position(self, policy_class: type) -> None:
        # Root visits 10; a: mean 0.5 after 1 visit, b: mean 0.9 after 4. A small constant
        # favours b's mean, a large one a's exploration bonus.
        tree = ve.SearchTree()
        a, b = grow(tree, 10, [(1, 0.5, 0.5), (4, 3.6, 0.5)])
        for c, winner in ((0.1, b), (3, a)):  # an int is accepted as the constant
            assert policy_class(c).select(tree.root()) is winner
            assert policy_class(c=c).select(tree.root()) is winner

    def test_select_reads_only(self, policy_class: type) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 10, [(4, 2.0, 0.5), (1, 0.2, 0.3), (0, 0.0, 0.2)])
        before = [(n.visit_count(), n.total_value()) for n in [tree.root(), *children]]
        policy_class().select(tree.root())
        after = [(n.visit_count(), n.total_value()) for n in [tree.root(), *children]]
        assert after == before
        assert tree.total_nodes() == 4
        assert not any(child.is_expanded() for child in children)

    @pytest.mark.parametrize("total", [math.nan, -math.inf, LOWEST_F32])
    def test_node_itself_when_no_child_wins(self, policy_class: type, total: float) -> None:
        # Root visits 1 and prior 0: both rules score each child by its mean alone.
        tree = ve.SearchTree()
        grow(tree, 1, [(1, total, 0.0), (1, total, 0.0)])
        root = tree.root()
        assert policy_class().select(root) is root

    def test_ties_go_to_earliest_child(self, policy_class: type) -> None:
        tree = ve.SearchTree()
        _, first, _ = grow(tree, 10, [(3, 0.3, 0.2), (2, 1.0, 0.4), (2, 1.0, 0.4)])
        assert policy_class().select(tree.root()) is first

    def test_zero_constant_picks_highest_mean(self, policy_class: type) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 20, [(1, 0.1, 0.9), (9, 5.4, 0.0), (3, 2.1, 0.5), (7, 3.5, 0.9)])
        assert policy_class(0.0).select(tree.root()) is children[2]  # mean 0.7


@pytest.mark.parametrize(
    "policy_class, root_visits, probe, score",
    [
        # UCB1 with N = 3 and n = 1: sqrt(ln 3) * c, a factor above 1 in the binade of c.
        (ve.UCBSelection, 3, (1, 0.0, 0.0), lambda c: ucb1_from_counts(3, 1, 0.0, c)),
        # Prior-weighted with N = 1, an unvisited child and prior 1: the score is c itself.
        (ve.PolicyWeightedUCB, 1, (0, 0.0, 1.0), lambda c: weighted_f32(1, 0, 0.0, 1.0, c)),
    ],
)
def test_default_constant_is_single_precision(
    policy_class: type, root_visits: int, probe: Stats, score: Callable[[float], float]
) -> None:
    # The probe's score changes with every float step of c, so its best score pins c exactly.
    expected = score(DEFAULT_C)
    assert score(f32_step(DEFAULT_C, -1)) < expected < score(f32_step(DEFAULT_C, 1))
    for policy in (policy_class(), policy_class(DEFAULT_C), policy_class(c=1.414)):
        assert_best_score(policy, lambda tree: grow(tree, root_visits, [probe])[0], expected)


class TestUCBSelection:
    # Root visits 10; children (visits, total): (4, 2.0), (1, 0.2), (5, 4.0).
    EXAMPLE = [(4, 2.0, 0.0), (1, 0.2, 0.0), (5, 4.0, 0.0)]
    EXAMPLE_SCORES = [1.57282, 2.34564, 1.75956]

    def test_example_scores(self) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 10, self.EXAMPLE)
        for child, (visits, total, _), expected in zip(children, self.EXAMPLE, self.EXAMPLE_SCORES):
            assert child.ucb_score(DEFAULT_C) == ucb1_from_counts(10, visits, total, DEFAULT_C)
            assert child.ucb_score(DEFAULT_C) == pytest.approx(expected, abs=1e-5)
        assert ve.UCBSelection().select(tree.root()) is children[1]

    @pytest.mark.parametrize("index", range(3))
    def test_policy_scores_like_node(self, index: int) -> None:
        visits, total, _ = self.EXAMPLE[index]

        def single_child(tree: ve.SearchTree) -> ve.Node:
            root = give_visits(tree.root(), 10)
            return give_visits(root.add_child(index, 0.0), visits, total)

        assert_best_score(ve.UCBSelection(), single_child, ucb1_from_counts(10, visits, total, DEFAULT_C))

    @pytest.mark.parametrize(
        "visits, winner",
        [
            ([0, 0, 0], 0),  # all unvisited: the first
            ([4, 1, 0], 2),  # the only unvisited child, though others score high
            ([3, 0, 0], 1),  # a later unvisited child never displaces an earlier one
        ],
    )
    def test_unvisited_child_wins(self, visits: list[int], winner: int) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 10, [(n, 5.0 * n, 0.0) for n in visits])
        assert ve.UCBSelection().select(tree.root()) is children[winner]

    def test_single_parent_visit_leaves_only_the_mean(self) -> None:
        # ln 1 = 0: no exploration term, so the highest mean wins whatever c is.
        tree = ve.SearchTree()
        children = grow(tree, 1, [(1, 0.5, 0.0), (8, 4.8, 0.0), (2, 1.0, 0.0)])
        assert ve.UCBSelection(100.0).select(tree.root()) is children[1]

    def test_unvisited_parent_makes_visited_scores_nan(self) -> None:
        # ln 0 = -inf: visited children score NaN and never win, an unvisited one does.
        tree = ve.SearchTree()
        children = grow(tree, 0, [(1, 1.0, 0.0), (0, 0.0, 0.0)])
        assert math.isnan(children[0].ucb_score(DEFAULT_C))
        assert ve.UCBSelection().select(tree.root()) is children[1]

    def test_promoted_child_scored_by_mean(self) -> None:
        # Root visits 10; a: 1 visit, mean 0.5 (UCB1 about 2.65); b: 4 visits, mean 0.9 (about
        # 1.97). Once the tree promotes a, the former root scores it by its mean alone.
        tree = ve.SearchTree()
        root = tree.root()
        a, b = grow(tree, 10, [(1, 0.5, 0.0), (4, 3.6, 0.0)])
        assert ve.UCBSelection().select(root) is a
        tree.reroot(0)
        assert tree.root() is a
        assert a.ucb_score(DEFAULT_C) == a.mean_value() == 0.5
        assert ve.UCBSelection().select(root) is b


class TestPolicyWeightedUCB:
    # Root visits 9 (s = 3); children (visits, total, prior).
    EXAMPLE = [(2, 1.0, 0.5), (0, 0.0, 0.3), (4, 3.0, 0.2)]
    EXAMPLE_SCORES = [1.2070, 1.2726, 0.91968]

    def test_example_winner(self) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 9, self.EXAMPLE)
        assert ve.PolicyWeightedUCB().select(tree.root()) is children[1]

    @pytest.mark.parametrize("index", range(3))
    def test_example_scores(self, index: int) -> None:
        visits, total, prior = self.EXAMPLE[index]
        expected = weighted_f32(9, visits, total, prior, DEFAULT_C)
        assert expected == pytest.approx(self.EXAMPLE_SCORES[index], abs=1e-4)
        assert_best_score(
            ve.PolicyWeightedUCB(), lambda tree: grow(tree, 9, [self.EXAMPLE[index]])[0], expected
        )

    @pytest.mark.parametrize("root_visits", [0, 1])
    def test_unvisited_node_counts_as_one_visit(self, root_visits: int) -> None:
        # s = sqrt(max(N, 1)) = 1 for both: the unvisited child scores 0.9 * c, above 0.5.
        tree = ve.SearchTree()
        children = grow(tree, root_visits, [(1, 0.5, 0.0), (0, 0.0, 0.9)])
        assert ve.PolicyWeightedUCB().select(tree.root()) is children[1]
        assert_best_score(
            ve.PolicyWeightedUCB(),
            lambda tree: grow(tree, root_visits, [(0, 0.0, 0.9)])[0],
            weighted_f32(1, 0, 0.0, 0.9, DEFAULT_C),
        )

    def test_visits_of_node_scale_exploration(self) -> None:
        # Mean 0.8 against an unvisited prior-0.3 child: 0.3 * c * sqrt(N) passes 0.8 from N = 4.
        for root_visits, winner in ((3, 0), (4, 1)):
            tree = ve.SearchTree()
            children = grow(tree, root_visits, [(1, 0.8, 0.0), (0, 0.0, 0.3)])
            assert ve.PolicyWeightedUCB().select(tree.root()) is children[winner]

    @pytest.mark.parametrize("mean, winner", [(-0.25, 1), (0.25, 0)])
    def test_zero_prior_has_no_bonus(self, mean: float, winner: int) -> None:
        # Without priors an unvisited child scores 0, whatever the node's visits.
        tree = ve.SearchTree()
        children = grow(tree, 10_000, [(5, 5 * mean, 0.0), (0, 0.0, 0.0)])
        assert ve.PolicyWeightedUCB().select(tree.root()) is children[winner]

    def test_zero_constant_counts_unvisited_as_zero(self) -> None:
        tree = ve.SearchTree()
        children = grow(tree, 10, [(2, -0.2, 0.5), (0, 0.0, 0.9), (1, -0.1, 0.9)])
        assert ve.PolicyWeightedUCB(0.0).select(tree.root()) is children[1]
