"""num_threads changes no result: games of searches on many roots, split over several native
threads, match the reference (which searches one root after the other) bit for bit, noise,
Gumbel schedules and sampled moves included; a failing step on several threads applies
nothing."""

from __future__ import annotations

import random

import pytest
import veltra_search as vs

from search_models import Pair, RandomModel, assert_same_output, make_forest, reference
from test_search_agreement import play_round, policy_options
from test_search_failures import FaultyModel, raise_boom


class TestThreadsAgree:
    @pytest.mark.parametrize("num_threads", [2, 3, 0])
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(8))
    def test_a_game_on_threads_matches_the_reference(self, seed: int, policy: str,
                                                     num_threads: int) -> None:
        rng = random.Random(1000 + seed)
        num_actions = rng.randint(2, 8)
        terminal_fraction = rng.choice([0.0, 0.2])

        def make_model() -> RandomModel:
            return RandomModel(num_actions, seed, legal_fraction=rng_legal,
                               terminal_fraction=terminal_fraction)

        rng_legal = rng.choice([0.5, 1.0])
        pair = Pair(vs, make_model, rng.randint(1, 13), num_simulations=rng.choice([7, 30]),
                    dirichlet_fraction=rng.choice([0.0, 0.25]), seed=seed,
                    num_threads=num_threads, **policy_options(policy, rng))
        for _ in range(2):
            play_round(pair, rng)
        pair.search()


class TestThreadsWithSomeRoots:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(4))
    def test_searching_some_roots_on_threads_matches_the_reference(self, seed: int,
                                                                   policy: str) -> None:
        rng = random.Random(2000 + seed)
        num_roots = rng.randint(3, 11)
        pair = Pair(vs, lambda: RandomModel(5, seed, legal_fraction=0.6), num_roots,
                    num_simulations=9, seed=seed, num_threads=3, **policy_options(policy, rng))
        for _ in range(3):
            mask = [rng.random() < 0.5 for _ in range(num_roots)]
            pair.search(roots=mask)
            play_round(pair, rng)


class TestThreadsFailures:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_a_failing_step_on_threads_applies_nothing(self, policy: str) -> None:
        options = dict(num_simulations=6, num_threads=3, policy=policy)
        forest = make_forest(vs, FaultyModel(), 7, **options)
        expected = make_forest(reference, FaultyModel(), 7, **options)
        for f in (forest, expected):
            with pytest.raises(Exception, match="from the model"):
                f.search(FaultyModel(raise_boom, fail_at=3))
        assert forest.num_nodes == expected.num_nodes == 7 * 4
        assert_same_output(forest.search(FaultyModel()), expected.search(FaultyModel()))
