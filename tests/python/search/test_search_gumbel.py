"""The Gumbel policy of veltra_search against what it promises on its own terms: the schedule of
sequential halving, the move and weights of searches too small to need the tree, the Gumbel-max
distribution of the move, seeded noise, and which move select(0.0) gives. (Exact agreement with the
reference forest over whole games is in test_search_agreement.py.)"""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import RandomModel, make_forest

from reference import gumbel as reference_gumbel


@pytest.mark.parametrize("k, simulations, expected", [
    (4, 16, "0 0 0 0 1 1 1 1 2 2 3 3 4 4 5 5"),
    (3, 10, "0 0 0 1 1 2 2 3 3 4"),
    (5, 12, "0 0 0 0 0 1 1 2 2 3 3 4"),
    (2, 7, "0 0 1 1 2 2 3"),
    (16, 20, " ".join(["0"] * 16 + ["1"] * 4)),
    (7, 3, "0 0 0"),
    (1, 4, "0 1 2 3"),
])
def test_the_reference_schedule_matches_the_documented_examples(k: int, simulations: int,
                                                                expected: str) -> None:
    assert reference_gumbel.considered_visits(k, simulations) == [int(v) for v in expected.split()]


def gumbel_forest(logits: np.ndarray, legal: np.ndarray, **config: Any) -> Any:
    num_roots, num_actions = logits.shape
    return vs.Forest(vs.SearchConfig(num_actions, policy="gumbel", **config), [0] * num_roots,
                     logits, np.zeros(num_roots), legal)


def legal_softmax(logits: np.ndarray, legal: np.ndarray) -> np.ndarray:
    shifted = np.where(legal, logits, -np.inf)
    weights = np.exp(shifted - shifted.max(axis=1, keepdims=True))
    return weights / weights.sum(axis=1, keepdims=True)


def legal_argmax(scores: np.ndarray, legal: np.ndarray) -> np.ndarray:
    return np.argmax(np.where(legal, scores, -np.inf), axis=1)


class TestSmallSearches:
    model = RandomModel(5, 4, legal_fraction=0.6, terminal_fraction=0.0)

    def roots(self) -> tuple[np.ndarray, np.ndarray]:
        _, logits, _, legal = self.model.roots(30)
        return logits, legal

    def test_without_simulations_the_weights_are_the_softmax_of_the_logits(self) -> None:
        logits, legal = self.roots()
        output = gumbel_forest(logits, legal, num_simulations=0, gumbel_scale=0.0).search(
            self.model)
        np.testing.assert_allclose(output.action_weights, legal_softmax(logits, legal),
                                   rtol=0, atol=1e-12)
        np.testing.assert_array_equal(output.selected_actions, legal_argmax(logits, legal))
        assert self.model.calls == [] and not output.visit_counts.any()

    def test_one_simulation_without_noise_plays_the_best_logit(self) -> None:
        logits, legal = self.roots()
        output = gumbel_forest(logits, legal, num_simulations=1, gumbel_scale=0.0).search(
            self.model)
        expected = legal_argmax(logits, legal)
        np.testing.assert_array_equal(output.selected_actions, expected)
        np.testing.assert_array_equal(output.visit_counts.argmax(axis=1), expected)


def test_one_simulation_draws_the_move_from_the_softmax_of_the_logits() -> None:
    """Gumbel-max: the moves of 6000 identical roots, searched once each, follow softmax(logits)
    over the legal actions (chi-square, 2 degrees of freedom, below its 0.1% point 13.82)."""
    roots, logits, legal = 6000, np.array([1.0, 0.0, -np.inf, 0.5]), [True, True, False, True]
    output = gumbel_forest(np.tile(logits, (roots, 1)), np.tile(legal, (roots, 1)),
                           num_simulations=1, seed=12345).search(RandomModel(4, 2))
    counts = np.bincount(output.selected_actions, minlength=4)
    expected = roots * legal_softmax(logits[None], np.array([legal]))[0]
    assert counts[2] == 0
    chi_square = float((((counts - expected) ** 2)[legal] / expected[legal]).sum())
    assert chi_square < 13.82, (counts, expected)


def test_the_noise_depends_on_the_seed_only() -> None:
    model = RandomModel(6, 9, terminal_fraction=0.0)
    moves = [make_forest(vs, model, 40, num_simulations=3, policy="gumbel",
                         seed=seed).search(model).selected_actions for seed in (5, 5, 6)]
    np.testing.assert_array_equal(moves[0], moves[1])
    assert (moves[0] != moves[2]).any()


class Failing:
    def __call__(self, states: Any, actions: Any) -> Any:
        raise RuntimeError("model down")


class TestSelectAtTemperatureZero:
    @pytest.fixture(params=["puct", "gumbel"])
    def searched(self, request: pytest.FixtureRequest) -> tuple[Any, Any, RandomModel]:
        """Two simulations over four considered actions: ties in visits that the final action
        breaks by its score, not by the lowest index."""
        model = RandomModel(4, 21, legal_fraction=1.0, terminal_fraction=0.0)
        forest = make_forest(vs, model, 40, num_simulations=2, policy=request.param,
                             max_considered_actions=4)
        return forest, forest.search(model), model

    @staticmethod
    def most_visited(output: Any) -> np.ndarray:
        return np.argmax(output.visit_counts, axis=1)

    def test_gives_the_selected_actions_of_the_last_search(self, searched: Any) -> None:
        forest, output, _ = searched
        np.testing.assert_array_equal(forest.select(0.0), output.selected_actions)
        if forest.config.policy == "puct":
            np.testing.assert_array_equal(output.selected_actions, self.most_visited(output))
        else:
            assert (output.selected_actions != self.most_visited(output)).any()

    def test_falls_back_to_the_most_visited_after_a_failed_search(self, searched: Any) -> None:
        forest, output, _ = searched
        with pytest.raises(RuntimeError, match="model down"):
            forest.search(Failing())
        np.testing.assert_array_equal(forest.select(0.0), self.most_visited(output))

    def test_forgets_the_selection_of_a_root_reset_or_advanced(self, searched: Any) -> None:
        """Root 0 is reset, root i moves to its selected child, one with a single visit (so no
        children): neither has visited children, so both give their lowest legal action, 0."""
        forest, output, model = searched
        states, logits, values, legal = model.roots(1)
        forest.reset(0, states[0], logits[0], values[0], legal[0])
        moves = output.selected_actions
        i = next(i for i in range(1, len(moves)) if output.visit_counts[i, moves[i]] == 1)
        forest.advance(i, moves[i])
        expected = moves.copy()
        expected[[0, i]] = 0
        np.testing.assert_array_equal(forest.select(0.0), expected)
