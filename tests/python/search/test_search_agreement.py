"""veltra_search gives the reference forest's results bit for bit: visit counts, q_values, root
values, action weights, moves, tree sizes and the recurrent_fn calls themselves, over whole games
of searches, moves (both forms of advance, pending roots), resets and sampled selections."""

from __future__ import annotations

import random
from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import Pair, RandomModel, assert_same_output, make_forest, reference


def play_round(pair: Pair, rng: random.Random) -> None:
    """One or two searches (the second on the same trees, with new noise), one selection and one
    move per root, in a form that varies from round to round: the selected move (at a temperature
    of 0.002 the weights overflow to the greedy move), or the least visited legal move (often never
    expanded, which leaves a pending root); advance per root or for all; now and then a reset."""
    output = pair.search()
    if rng.random() < 0.5:
        output = pair.search()
    moves = pair.select(rng.choice([0.0, 0.002, 0.5, 1.0, 3.0]))
    if rng.random() < 0.5:
        for i, state in enumerate(pair.native.root_states):
            if moves[i] >= 0:
                legal = pair.models[0].legal_actions(state)
                moves[i] = min(legal, key=lambda a: (output.visit_counts[i, a], a))
    if rng.random() < 0.5:
        pair.advance(moves)
    else:
        for i, move in enumerate(moves.tolist()):
            if move >= 0:
                pair.advance(i, move)
    if rng.random() < 0.3:
        pair.reset(-1, pair.native.num_roots)


def policy_options(policy: str, rng: random.Random) -> dict[str, Any]:
    """The policy's own fields of a config drawn from `rng`."""
    if policy == "puct":
        return dict(unvisited_value=rng.choice(["min", "parent", "mixed"]))
    return dict(policy="gumbel", max_considered_actions=rng.choice([1, 2, 3, 4, 16, 100]),
                gumbel_scale=rng.choice([1.0, 1.0, 0.0, 0.3]),
                value_scale=rng.choice([0.1, 1.0]), maxvisit_init=rng.choice([50.0, 0.0, 4.0]))


class TestGamesAgree:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(40))
    def test_a_game_of_searches_matches_the_reference(self, seed: int, policy: str) -> None:
        """Three rounds of play_round, on a model and a config drawn from `seed`."""
        rng = random.Random(seed)
        num_actions = rng.randint(1, 9)
        legal_fraction = rng.choice([0.3, 0.7, 1.0])
        terminal_fraction = rng.choice([0.0, 0.1, 0.4])
        discounts = rng.choice([(-1.0,), (0.97, 0.0), (1.0, -1.0, 0.5)])
        boxed = rng.random() < 0.5

        def make_model() -> RandomModel:
            return RandomModel(num_actions, seed, legal_fraction=legal_fraction,
                               terminal_fraction=terminal_fraction, discounts=discounts,
                               boxed=boxed)

        alpha, fraction = rng.choice([(0.3, 0.25), (2.5, 1.0), (0.03, 0.5), (1.0, 0.0)])
        pair = Pair(vs, make_model, rng.randint(1, 6),
                    num_simulations=rng.choice([0, 1, 7, 40, 40]), dirichlet_alpha=alpha,
                    dirichlet_fraction=fraction, pb_c_init=rng.choice([1.25, 0.0, 4.0]),
                    seed=rng.choice([0, 1, 2**64 - 1]), **policy_options(policy, rng))
        for _ in range(3):
            play_round(pair, rng)
        pair.search()

    @pytest.mark.parametrize("num_actions, simulations, considered, legal_fraction, discounts", [
        (7, 5, 16, 1.0, (-1.0,)),      # S < A
        (7, 37, 4, 0.7, (0.9,)),       # S not a power of two, halving from 4
        (2, 12, 16, 1.0, (-1.0, 0.9)),  # A = 2
        (6, 20, 1, 0.7, (-1.0,)),      # m = 1
        (9, 64, 100, 0.4, (0.9, -1.0)),  # m > legal actions, sparse masks
        (5, 0, 16, 0.7, (-1.0,)),      # S = 0
    ])
    def test_gumbel_searches_reusing_their_trees_match(
            self, num_actions: int, simulations: int, considered: int, legal_fraction: float,
            discounts: tuple[float, ...]) -> None:
        """A search and a move per root, three times: each search keeps the subtree the move
        kept, so the halving counts only its own visits."""
        pair = Pair(vs, lambda: RandomModel(num_actions, simulations, legal_fraction=legal_fraction,
                                            terminal_fraction=0.15, discounts=discounts), 8,
                    num_simulations=simulations, policy="gumbel",
                    max_considered_actions=considered, seed=simulations)
        for _ in range(3):
            output = pair.search()
            np.testing.assert_array_equal(pair.select(0.0), output.selected_actions)
            pair.advance(output.selected_actions)
        pair.search()

    @pytest.mark.parametrize("pb_c_init", [-1.25, -0.01, 1e-300])
    def test_exploration_scales_the_prior_shortcut_cannot_order(self, pb_c_init: float) -> None:
        """Negative or vanishing scales take the action-by-action scan at every node."""
        pair = Pair(vs, lambda: RandomModel(6, 11, legal_fraction=0.7), 3, num_simulations=40,
                    dirichlet_fraction=0.0, pb_c_init=pb_c_init)
        for _ in range(2):
            pair.search()

    def test_searches_of_the_same_trees_draw_fresh_noise_on_the_stored_priors(self) -> None:
        pair = Pair(vs, lambda: RandomModel(5, 1), 3, num_simulations=30, dirichlet_fraction=0.25)
        for _ in range(3):
            pair.search()

    @pytest.mark.parametrize("output", ["float32", "list", "torch"])
    def test_outputs_numpy_can_read_give_the_same_search(self, output: str) -> None:
        pair = Pair(vs, lambda: RandomModel(6, 3, output=output), 4, num_simulations=60)
        pair.search()
        pair.advance(pair.select())
        pair.search()

    def test_a_large_batched_search_matches(self) -> None:
        pair = Pair(vs, lambda: RandomModel(7, 11, terminal_fraction=0.02), 64,
                    num_simulations=150, pb_c_base=50.0)
        pair.search()
        pair.advance(pair.select(1.0))
        pair.search()


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    lambda a: a.astype(np.float32) if a.dtype == np.float64 else a,
    lambda a: __import__("torch").from_numpy(a),
], ids=["list", "float32", "torch"])
def test_root_inputs_numpy_can_read_are_accepted(convert: Any) -> None:
    states, logits, values, legal = RandomModel(5, 8).roots(3)
    logits, values, legal = (convert(a) for a in (logits, values, legal))
    native = vs.Forest(vs.SearchConfig(5, num_simulations=30), states, logits, values, legal)
    expected = reference.Forest(reference.SearchConfig(5, num_simulations=30), states,
                                np.asarray(logits, dtype=np.float64),
                                np.asarray(values, dtype=np.float64), np.asarray(legal))
    assert_same_output(native.search(RandomModel(5, 8)), expected.search(RandomModel(5, 8)))


def test_a_forest_of_many_roots_gives_what_forests_of_one_root_give() -> None:
    num_roots, config = 12, dict(num_simulations=80, dirichlet_fraction=0.0)
    together = make_forest(vs, RandomModel(4, 5), num_roots, **config).search(RandomModel(4, 5))
    states, logits, values, legal = RandomModel(4, 5).roots(num_roots)
    for i in range(num_roots):
        alone = vs.Forest(vs.SearchConfig(4, **config), [states[i]], logits[i:i + 1],
                          values[i:i + 1], legal[i:i + 1]).search(RandomModel(4, 5))
        for name in ("visit_counts", "q_values", "root_values", "action_weights"):
            np.testing.assert_array_equal(getattr(alone, name)[0], getattr(together, name)[i])
