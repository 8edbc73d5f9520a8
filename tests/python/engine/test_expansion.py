"""Node expansion rules: FullExpansion (every action at once) and ProgressiveExpansion (one
seeded random action per call)."""

import gc
import random
from collections.abc import Iterator, Sequence

import pytest

import veltra_engine as ve

POLICIES = [ve.FullExpansion, ve.ProgressiveExpansion]
MAX_SEED = 2**32 - 1


def children_in_order(node: ve.Node) -> list[ve.Node]:
    """The node's children in order; they must all be unvisited.

    UCB1 picks the first unvisited child, so selecting and visiting (value 0) in turn walks the
    children in order; the walk ends when only visited children are left.
    """
    found: list[ve.Node] = []
    policy = ve.UCBSelection()
    while (child := policy.select(node)) is not node and child.visit_count() == 0:
        child.update(0.0)
        found.append(child)
    return found


def give_visits(node: ve.Node, visits: int) -> ve.Node:
    for _ in range(visits):
        node.update(0.0)
    return node


def reference_engine(seed: int) -> random.Random:
    """Python's Mersenne Twister in the state the standard MT19937 seeding gives `seed`."""
    state = [seed]
    for i in range(1, 624):
        previous = state[-1]
        state.append((1812433253 * (previous ^ (previous >> 30)) + i) & MAX_SEED)
    engine = random.Random()
    engine.setstate((3, (*state, 624), None))
    return engine


def reference_indices(seed: int, n: int) -> Iterator[int]:
    """Uniform indices below n: floor(x * n / 2^32) of engine outputs x, rejecting the outputs
    whose low product bits fall under 2^32 mod n."""
    engine = reference_engine(seed)
    threshold = (MAX_SEED + 1) % n
    while True:
        product = engine.getrandbits(32) * n
        while product & MAX_SEED < threshold:
            product = engine.getrandbits(32) * n
        yield product >> 32


def drawn_actions(policy: ve.ProgressiveExpansion, actions: Sequence[int], calls: int) -> list[int]:
    """The actions of the children that `calls` expansions of a fresh leaf create."""
    leaf = ve.Node()
    return [policy.expand(leaf, actions).action() for _ in range(calls)]


class TestRegistration:
    def test_base_cannot_be_instantiated(self) -> None:
        message = r"^veltra_engine\.ExpansionPolicy: No constructor defined!$"
        with pytest.raises(TypeError, match=message):
            ve.ExpansionPolicy()

    @pytest.mark.parametrize("policy_class", POLICIES)
    def test_rules_derive_from_base(self, policy_class: type) -> None:
        assert issubclass(policy_class, ve.ExpansionPolicy)
        assert not issubclass(policy_class, ve.SelectionPolicy)


@pytest.mark.parametrize("policy_class", POLICIES)
class TestCommon:
    def test_none_gives_none(self, policy_class: type) -> None:
        assert policy_class().expand(None, [1, 2]) is None

    def test_arguments_are_positional_only(self, policy_class: type) -> None:
        leaf = ve.Node()
        with pytest.raises(TypeError):
            policy_class().expand(leaf, arg1=[1])
        with pytest.raises(TypeError):
            policy_class().expand(node=leaf, actions=[1])
        assert not leaf.is_expanded()

    def test_children_start_fresh(self, policy_class: type) -> None:
        root = give_visits(ve.Node(), 5)
        child = policy_class().expand(root, [8])
        assert root.is_expanded()
        assert (child.action(), child.visit_count(), child.total_value()) == (8, 0, 0.0)
        assert not child.is_expanded()

    @pytest.mark.parametrize("mean, winner", [(1e-30, 0), (-1e-30, 1)])
    def test_children_have_zero_prior(self, policy_class: type, mean: float, winner: int) -> None:
        # With prior 0 the prior-weighted rule scores each child by its mean alone. Any positive
        # prior would give the less visited second child the larger bonus (sqrt(N) = 100).
        root = give_visits(ve.Node(), 10_000)
        for action in range(2):
            policy_class().expand(root, [action])
        children = children_in_order(root)  # one visit each, value 0
        children[0].update(2 * mean)
        assert ve.PolicyWeightedUCB().select(root) is children[winner]

    def test_children_keep_ancestors_alive(self, policy_class: type) -> None:
        # Only the grandchild stays referenced; its score still needs its parent's 4 visits.
        root = give_visits(ve.Node(), 10)
        child = give_visits(policy_class().expand(root, [1]), 4)
        grandchild = policy_class().expand(child, [2])
        del root, child
        gc.collect()
        grandchild.update(1.0)
        assert grandchild.ucb_score(1.0) == pytest.approx(1.0 + 1.1774100)  # sqrt(ln 4) + 1


class TestFullExpansion:
    def test_one_child_per_action_in_order(self) -> None:
        tree = ve.SearchTree()
        root = tree.root()
        first = ve.FullExpansion().expand(root, [3, 1, 2])
        assert tree.total_nodes() == 4
        children = children_in_order(root)
        assert [child.action() for child in children] == [3, 1, 2]
        assert first is children[0]

    def test_leaf_with_no_actions_returns_itself(self) -> None:
        leaf = ve.Node(4)
        assert ve.FullExpansion().expand(leaf, []) is leaf
        assert not leaf.is_expanded()

    @pytest.mark.parametrize("actions", [[], [7, 8]])
    def test_expanded_node_returns_existing_first_child(self, actions: list[int]) -> None:
        tree = ve.SearchTree()
        root = tree.root()
        first = ve.FullExpansion().expand(root, [3, 1])
        assert ve.FullExpansion().expand(root, actions) is first
        assert tree.total_nodes() == 3 + len(actions)
        assert [child.action() for child in children_in_order(root)] == [3, 1, *actions]

    def test_duplicate_actions_give_duplicate_children(self) -> None:
        root = ve.Node()
        ve.FullExpansion().expand(root, [5, 5])
        first, second = children_in_order(root)
        assert first is not second
        assert first.action() == second.action() == 5

    def test_expanding_twice_doubles_children(self) -> None:
        tree = ve.SearchTree()
        root = tree.root()
        policy = ve.FullExpansion()
        first = policy.expand(root, [3, 1, 2])
        assert policy.expand(root, [3, 1, 2]) is first
        assert tree.total_nodes() == 7
        assert [child.action() for child in children_in_order(root)] == [3, 1, 2] * 2


class TestProgressiveExpansion:
    def test_each_call_adds_and_returns_one_child(self) -> None:
        tree = ve.SearchTree()
        root = tree.root()
        policy = ve.ProgressiveExpansion()
        made = []
        for calls in range(1, 6):
            made.append(policy.expand(root, [10, 20, 30]))
            assert tree.total_nodes() == 1 + calls
        assert [child.action() for child in made] == [20, 20, 30, 30, 20]
        assert children_in_order(root) == made  # distinct children, in the order made

    @pytest.mark.parametrize(
        "seed, actions, expected",
        [
            (0, list(range(10)), [5, 5, 7, 8, 6]),
            (7, [0, 1, 2], [0, 0, 2, 0, 1]),
        ],
    )
    def test_known_draws(self, seed: int, actions: list[int], expected: list[int]) -> None:
        assert drawn_actions(ve.ProgressiveExpansion(seed), actions, 5) == expected

    @pytest.mark.parametrize("seed", [1, 5489, MAX_SEED])
    @pytest.mark.parametrize("n", [1, 3, 100_003])
    def test_draws_follow_mt19937(self, seed: int, n: int) -> None:
        calls = 40 if n < 100 else 5
        indices = reference_indices(seed, n)
        expected = [next(indices) for _ in range(calls)]
        assert drawn_actions(ve.ProgressiveExpansion(seed), range(n), calls) == expected

    def test_one_action_adds_a_child_every_call(self) -> None:
        root = ve.Node()
        policy = ve.ProgressiveExpansion(3)
        made = [policy.expand(root, [42]) for _ in range(3)]
        assert children_in_order(root) == made
        assert [child.action() for child in made] == [42] * 3

    def test_calls_without_a_draw_leave_the_engine_untouched(self) -> None:
        leaf = ve.Node()
        policy = ve.ProgressiveExpansion()
        assert policy.expand(leaf, []) is leaf
        assert not leaf.is_expanded()
        assert policy.expand(None, [1, 2, 3]) is None
        with pytest.raises(TypeError):
            policy.expand(leaf, [1, 2.5])
        actions = list(range(10))
        expected = drawn_actions(ve.ProgressiveExpansion(), actions, 5)
        assert drawn_actions(policy, actions, 5) == expected

    def test_equal_seeds_give_equal_sequences(self) -> None:
        lists = [[1, 2], list(range(7)), [9], list(range(100)), [3, 4, 5]] * 4
        first, second = ve.ProgressiveExpansion(2024), ve.ProgressiveExpansion(seed=2024)
        leaf_a, leaf_b = ve.Node(), ve.Node()
        made_a = [first.expand(leaf_a, actions).action() for actions in lists]
        made_b = [second.expand(leaf_b, actions).action() for actions in lists]
        assert made_a == made_b

    def test_default_seed_is_zero(self) -> None:
        actions = list(range(1000))
        expected = drawn_actions(ve.ProgressiveExpansion(0), actions, 20)
        assert drawn_actions(ve.ProgressiveExpansion(), actions, 20) == expected
        assert drawn_actions(ve.ProgressiveExpansion(seed=0), actions, 20) == expected

    @pytest.mark.parametrize("seed", [-1, 2**32, 1.0])
    def test_bad_seed_refused(self, seed: object) -> None:
        with pytest.raises(TypeError):
            ve.ProgressiveExpansion(seed)
