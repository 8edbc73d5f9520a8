"""leaves_per_step: each step descends up to K times in every tree, pending visits steering the
descents apart, before its one recurrent_fn call. Games of such searches match the reference bit
for bit with every other feature (both policies, advance and reset, roots=, threads, root_fn,
solve=True, num_simulations not a multiple of K), and K = 1 is the search without the field."""

from __future__ import annotations

import math
import random
from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import Pair, RandomModel, assert_same_output, make_forest, reference
from test_search_agreement import play_round, policy_options
from test_search_failures import FaultyModel, raise_boom

MODULES = [vs, reference]


class TestLeavesAgree:
    @pytest.mark.parametrize("leaves", [2, 3, 8])
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(5))
    def test_a_game_matches_the_reference(self, seed: int, policy: str, leaves: int) -> None:
        rng = random.Random(4000 + seed)
        num_actions = rng.randint(1, 8)
        solve = seed % 2 == 1
        legal_fraction = rng.choice([0.4, 0.7, 1.0])
        terminal_fraction = rng.choice([0.0, 0.15, 0.4])
        discounts = (-1.0,) if solve else rng.choice([(-1.0,), (0.97, -1.0)])

        def make_model() -> RandomModel:
            return RandomModel(num_actions, seed, legal_fraction=legal_fraction,
                               terminal_fraction=terminal_fraction, discounts=discounts,
                               exact_terminals=solve)

        num_roots = rng.randint(1, 5)
        pair = Pair(vs, make_model, num_roots, num_simulations=rng.choice([1, 7, 20, 41]),
                    leaves_per_step=leaves, solve=solve, num_threads=rng.choice([1, 2]),
                    dirichlet_fraction=rng.choice([0.0, 0.25]), seed=seed,
                    **policy_options(policy, rng))
        for _ in range(3):
            pair.search(roots=[rng.random() < 0.7 for _ in range(num_roots)])
            play_round(pair, rng)
        pair.search()

    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_roots_pending_on_their_states_match(self, policy: str) -> None:
        forests, models = [], []
        for module in MODULES:
            model = RandomModel(5, 2, terminal_fraction=0.1)
            config = module.SearchConfig(5, num_simulations=13, leaves_per_step=4, policy=policy)
            forests.append(module.Forest(config, model.roots(3)[0], root_fn=model.root_fn))
            models.append(model)
        for step in range(3):
            outputs = [f.search(m) for f, m in zip(forests, models)]
            assert_same_output(*outputs)
            for f, m in zip(forests, models):
                f.advance(outputs[0].selected_actions)
                f.reset(step, m.roots(4 + step)[0][-1])
        assert models[0].calls == models[1].calls


class TestStepsOfSeveralLeaves:
    @pytest.mark.parametrize("module", MODULES)
    @pytest.mark.parametrize("simulations, leaves", [(16, 8), (13, 4), (5, 8)])
    def test_one_call_per_step_and_every_descent_counts(self, module: Any, simulations: int,
                                                        leaves: int) -> None:
        model = RandomModel(6, 1, legal_fraction=1.0, terminal_fraction=0.0)
        forest = make_forest(module, model, 3, num_simulations=simulations,
                             leaves_per_step=leaves)
        output = forest.search(model)
        assert output.num_simulations == simulations
        assert len(model.calls) == math.ceil(simulations / leaves)
        assert all(len(actions) <= 3 * leaves for _, actions in model.calls)
        np.testing.assert_array_equal(output.visit_counts.sum(axis=1), simulations)

    @pytest.mark.parametrize("module", MODULES)
    def test_the_gumbel_halving_spreads_a_step_over_the_considered_actions(self,
                                                                          module: Any) -> None:
        model = RandomModel(9, 4, legal_fraction=1.0, terminal_fraction=0.0)
        forest = make_forest(module, model, 2, num_simulations=8, leaves_per_step=8,
                             policy="gumbel")
        output = forest.search(model)
        assert len(model.calls) == 1 and len(model.calls[0][1]) == 16
        np.testing.assert_array_equal(np.sort(output.visit_counts, axis=1)[:, 1:], 1)

    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_a_failed_step_applies_nothing_and_leaves_no_pending_visit(self, policy: str) -> None:
        options = dict(num_simulations=9, leaves_per_step=3, policy=policy, num_threads=2)
        native = make_forest(vs, FaultyModel(), 4, **options)
        expected = make_forest(reference, FaultyModel(), 4, **options)
        for forest in (native, expected):
            with pytest.raises(Exception, match="from the model"):
                forest.search(FaultyModel(raise_boom, fail_at=2))
        assert native.num_nodes == expected.num_nodes
        assert_same_output(native.search(FaultyModel()), expected.search(FaultyModel()))

    @pytest.mark.parametrize("module", MODULES)
    def test_a_time_limit_ends_at_a_step_boundary(self, module: Any) -> None:
        model = RandomModel(4, 3)
        forest = make_forest(module, model, 2, num_simulations=50, leaves_per_step=6)
        assert forest.search(model, time_limit=0).num_simulations == 6

    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_one_leaf_per_step_is_the_search_without_the_field(self, policy: str) -> None:
        model = RandomModel(5, 6, terminal_fraction=0.1)
        plain = make_forest(vs, model, 3, num_simulations=30, policy=policy)
        one = make_forest(vs, model, 3, num_simulations=30, policy=policy, leaves_per_step=1)
        assert one.config == plain.config and hash(one.config) == hash(plain.config)
        assert_same_output(one.search(model), plain.search(model))


class TestConfigField:
    @pytest.mark.parametrize("module", MODULES)
    def test_it_is_a_field_of_the_config(self, module: Any) -> None:
        config = module.SearchConfig(3, leaves_per_step=16)
        assert config.leaves_per_step == 16 and module.SearchConfig(3).leaves_per_step == 1
        assert config != module.SearchConfig(3)
        assert "leaves_per_step=16" in repr(config)

    @pytest.mark.parametrize("module", MODULES)
    @pytest.mark.parametrize("value, error", [(0, ValueError), (-3, ValueError),
                                              (1025, ValueError), (2**70, ValueError),
                                              (2.0, TypeError), ("4", TypeError),
                                              (True, TypeError), (None, TypeError)])
    def test_bad_values_are_refused(self, module: Any, value: Any, error: type) -> None:
        with pytest.raises(error, match="leaves_per_step"):
            module.SearchConfig(3, leaves_per_step=value)
