"""Results worked out by hand, for veltra_search and the reference forest alike: the arithmetic of a
small search, terminal roots and leaves, reuse of subtrees, pending roots, resets, noise and
selection; and the reference's random generator against published values."""

from __future__ import annotations

import math
from types import ModuleType
from typing import Any, List, Tuple

import numpy as np
import pytest
import veltra_search

from search_models import RandomModel, reference


@pytest.fixture(params=["veltra_search", "reference"])
def module(request: pytest.FixtureRequest) -> ModuleType:
    if request.param == "reference":
        return reference
    return veltra_search


class FixedModel:
    """Every position has the same answer, chosen by the test; states are the move sequences."""

    def __init__(self, num_actions: int, value: Any = 0.0, reward: float = 0.0,
                 discount: float = -1.0, terminal: bool = False) -> None:
        self.num_actions = num_actions
        self.value, self.reward, self.discount, self.terminal = value, reward, discount, terminal
        self.calls: List[Tuple[List[Any], List[int]]] = []

    def __call__(self, states: List[Any], actions: np.ndarray) -> Tuple[Any, ...]:
        self.calls.append((list(states), actions.tolist()))
        count, moves = len(states), actions.tolist()
        values = [self.value(a) if callable(self.value) else self.value for a in moves]
        legal = np.full((count, self.num_actions), not self.terminal)
        return ([s + (a,) for s, a in zip(states, moves)], np.full(count, self.reward),
                np.full(count, self.discount), np.zeros((count, self.num_actions)),
                np.array(values), legal)


def forest(module: ModuleType, num_actions: int, num_roots: int = 1, value: float = 0.0,
           legal: Any = None, **config: Any) -> Any:
    config.setdefault("dirichlet_fraction", 0.0)
    return module.Forest(module.SearchConfig(num_actions, **config),
                         [(i,) for i in range(num_roots)], np.zeros((num_roots, num_actions)),
                         np.full(num_roots, value), legal)


class TestArithmetic:
    def test_three_simulations_worked_by_hand(self, module: ModuleType) -> None:
        # Children reached by action 0 are worth +1 to their mover's opponent, by action 1 -1.
        # 1: both priors 0.5, tie -> 0; root V = (0 + -1) / 2 = -0.5.
        # 2: Q0 = -1 is the minimum, q_hat 0; unvisited 1 scores more -> 1; V = (-1 + 1) / 3 = 0.
        # 3: q_hat1 = 1 wins -> child 1, then its action 0 (tie); G = -1 there, child V =
        #    (-1 - 1) / 2 = -1; root G = 1, V = (0 * 3 + 1) / 4 = 0.25.
        model = FixedModel(2, value=lambda a: 1.0 if a == 0 else -1.0)
        output = forest(module, 2, num_simulations=3).search(model)
        assert [actions for _, actions in model.calls] == [[0], [1], [0]]
        assert model.calls[2][0] == [(0, 1)]
        np.testing.assert_array_equal(output.visit_counts, [[1, 2]])
        np.testing.assert_array_equal(output.q_values, [[-1.0, 1.0]])
        np.testing.assert_array_equal(output.root_values, [0.25])
        np.testing.assert_array_equal(output.action_weights, [[1 / 3, 2 / 3]])
        assert output.num_simulations == 3

    def test_priors_are_a_softmax_over_legal_actions_only(self, module: ModuleType) -> None:
        # Legal priors 0.5 and 0.5: after action 0 (worth the most, q_hat 1) action 2 explores,
        # sqrt(2) * 4.0 * 0.5 = 2.83 > 1 + sqrt(2) * 4.0 * 0.5 / 2. Had the illegal logit taken
        # the mass, the exploration terms would vanish and action 0 would go on.
        roots = module.Forest(
            module.SearchConfig(3, num_simulations=2, pb_c_init=4.0, dirichlet_fraction=0.0),
            [()], [[0.0, 50.0, 0.0]], [0.0], [[True, False, True]])
        model = FixedModel(3, value=lambda a: -1.0 if a == 0 else 0.0)
        roots.search(model)
        assert model.calls == [([()], [0]), ([()], [2])]


class TestTerminal:
    def test_a_root_without_legal_action_is_never_expanded(self, module: ModuleType) -> None:
        model = FixedModel(3)
        roots = forest(module, 3, num_roots=2, value=0.5, legal=[[False] * 3, [True] * 3],
                       num_simulations=5)
        output = roots.search(model)
        assert model.calls and all(s[0] == 1 for states, _ in model.calls for s in states)
        np.testing.assert_array_equal(output.visit_counts[0], [0, 0, 0])
        np.testing.assert_array_equal(output.action_weights[0], [0.0, 0.0, 0.0])
        assert np.isnan(output.q_values[0]).all()
        assert output.root_values[0] == 0.5
        for temperature in (0.0, 1.0):
            assert roots.select(temperature)[0] == -1
        with pytest.raises(ValueError):
            roots.advance(0, 0)
        with pytest.raises(ValueError):
            roots.advance(np.array([0, 0]))
        roots.advance(np.array([-1, 0]))
        assert roots.root_states == [(0,), (1, 0)]

    def test_terminal_leaves_are_backed_up_without_calls(self, module: ModuleType) -> None:
        model = FixedModel(3, value=0.5, reward=0.25, discount=-1.0, terminal=True)
        output = forest(module, 3, num_simulations=10).search(model)
        assert sorted(actions[0] for _, actions in model.calls) == [0, 1, 2]
        assert output.visit_counts.sum() == 10
        np.testing.assert_array_equal(output.q_values, [[-0.25] * 3])


class TestReuse:
    def test_advance_keeps_the_subtree_and_its_statistics(self, module: ModuleType) -> None:
        roots = module.Forest(module.SearchConfig(4, num_simulations=50), [0, 1],
                              np.zeros((2, 4)), [0.0, 0.0])
        model = RandomModel(4, 2, legal_fraction=1.0, terminal_fraction=0.0)
        first = roots.search(model)
        moves = roots.select()
        kept = first.visit_counts[np.arange(2), moves]
        roots.advance(moves)
        assert roots.num_nodes == kept.sum()  # each visit below the move made one node
        calls_before = len(model.calls)
        second = roots.search(model)
        assert len(model.calls) == calls_before + 50
        # The new root had kept visits, all but its own creation spent on its children.
        np.testing.assert_array_equal(second.visit_counts.sum(axis=1), kept - 1 + 50)

    def test_a_move_to_a_child_never_created_is_evaluated_by_the_next_search(
        self, module: ModuleType
    ) -> None:
        model = FixedModel(3)
        roots = forest(module, 3, num_roots=3, num_simulations=1)
        roots.search(model)  # each root expands its action 0 only
        roots.advance(0, 2)
        roots.advance(1, 0)
        roots.advance(-1, 1)
        assert roots.root_states == [None, (1, 0), None]
        assert roots.num_nodes == 1
        np.testing.assert_array_equal(roots.select(), [-1, 0, -1])
        with pytest.raises(ValueError, match="root 0 has not been evaluated yet"):
            roots.advance(0, 1)
        with pytest.raises(ValueError):
            roots.advance(np.array([0, 1, 0]))  # all or nothing: root 1 must not move
        assert roots.root_states == [None, (1, 0), None]
        roots.reset(2, ("new",), np.zeros(3), 0.0)
        del model.calls[:]
        roots.search(model)
        assert model.calls[0] == ([(0,)], [2])
        assert roots.root_states[:2] == [(0, 2), (1, 0)]
        assert roots.root_states[2] == ("new",)

    def test_pending_roots_are_evaluated_even_without_simulations(
        self, module: ModuleType
    ) -> None:
        model = FixedModel(2, value=0.75)
        roots = forest(module, 2, num_simulations=0)
        roots.advance(0, 1)
        output = roots.search(model)
        assert model.calls == [([(0,)], [1])]
        np.testing.assert_array_equal(output.root_values, [0.75])
        np.testing.assert_array_equal(output.visit_counts, [[0, 0]])

    def test_reset_starts_a_new_game_in_one_slot(self, module: ModuleType) -> None:
        roots = forest(module, 2, num_roots=2, num_simulations=8)
        roots.search(FixedModel(2))
        nodes = roots.num_nodes
        roots.reset(1, ("fresh",), [0.0, 1.0], -0.5, [False, True])
        assert roots.root_states[1] == ("fresh",)
        assert roots.num_nodes == nodes - 8
        output = roots.search(FixedModel(2))
        np.testing.assert_array_equal(output.visit_counts[1], [0, 8])


def searched_forest(module: ModuleType, model: RandomModel, seed: int, fraction: float) -> Any:
    states, logits, values, legal = model.roots(8)
    config = module.SearchConfig(model.num_actions, num_simulations=60, seed=seed,
                                 dirichlet_fraction=fraction)
    return module.Forest(config, states, logits, values, legal)


class TestNoise:
    def test_the_seed_decides_the_noise(self, module: ModuleType) -> None:
        model = RandomModel(6, 4, legal_fraction=1.0)

        def visits(seed: int, fraction: float) -> np.ndarray:
            roots = searched_forest(module, model, seed, fraction)
            return np.asarray(roots.search(model).visit_counts)

        assert np.array_equal(visits(7, 0.25), visits(7, 0.25))
        assert not np.array_equal(visits(7, 0.25), visits(8, 0.25))
        assert np.array_equal(visits(7, 0.0), visits(8, 0.0))


class TestSelect:
    def test_sampling_follows_the_visits(self, module: ModuleType) -> None:
        model = RandomModel(5, 9, legal_fraction=1.0, terminal_fraction=0.0)
        roots = searched_forest(module, model, 3, 0.25)
        visits = np.asarray(roots.search(model).visit_counts)
        greedy = roots.select(0.0)
        np.testing.assert_array_equal(greedy, visits.argmax(axis=1))
        # An exponent of 1000 makes every weight infinite: the greedy move, with no draw.
        np.testing.assert_array_equal(roots.select(1e-3), greedy)
        samples = np.array([roots.select(1.0) for _ in range(300)])
        chosen_visits = np.take_along_axis(visits, samples.T, axis=1)
        assert (chosen_visits > 0).all()
        frequency = (samples == greedy).mean(axis=0)
        expected = visits.max(axis=1) / visits.sum(axis=1)
        assert np.all(np.abs(frequency - expected) < 0.15)

    @pytest.mark.parametrize("temperature", [-0.5, math.nan])
    def test_a_negative_or_nan_temperature_is_refused(
        self, module: ModuleType, temperature: float
    ) -> None:
        with pytest.raises(ValueError, match="temperature"):
            forest(module, 2).select(temperature)


class TestReferenceGenerator:
    def test_splitmix64_gives_the_published_sequence(self) -> None:
        generator = reference.Generator(0)
        assert [generator.next_u64() for _ in range(3)] == [
            0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]

    @pytest.mark.parametrize("alpha", [0.3, 1.0, 2.5])
    def test_gamma_draws_have_the_right_mean_and_variance(self, alpha: float) -> None:
        generator = reference.Generator(5)
        draws = np.array([generator.gamma(alpha) for _ in range(20000)])
        assert abs(draws.mean() - alpha) < 0.05 * alpha + 0.01
        assert abs(draws.var() - alpha) < 0.1 * alpha + 0.01
