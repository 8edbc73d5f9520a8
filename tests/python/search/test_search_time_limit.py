"""Searches on a time budget: where they stop (never before their first step, at the first step
boundary after the limit), what a search cut short reports and chooses under both policies, bit
for bit against the reference stopped at the same step, and the refused limits. No assertion
depends on how fast the machine is: a recurrent_fn that sleeps past the limit bounds the steps
from above, and the reference's clock is a step counter."""

from __future__ import annotations

import itertools
import math
import time
from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import RandomModel, assert_same_output, make_forest, reference

POLICIES = ["puct", "gumbel"]


def model() -> RandomModel:
    return RandomModel(6, 3, legal_fraction=0.7, terminal_fraction=0.1)


def step_clock() -> Any:
    """A clock that reads 0 when a search starts and k after its k-th step."""
    return itertools.count().__next__


@pytest.mark.parametrize("policy", POLICIES)
class TestWhereASearchStops:
    def test_a_zero_limit_runs_exactly_the_first_step(self, policy: str) -> None:
        native_model, reference_model, one_step_model = model(), model(), model()
        native = make_forest(vs, native_model, 5, num_simulations=40, policy=policy)
        expected = make_forest(reference, reference_model, 5, num_simulations=40, policy=policy)
        output = native.search(native_model, time_limit=0)
        assert output.num_simulations == 1
        assert_same_output(output, expected.search(reference_model, time_limit=0.0))
        assert native_model.calls == reference_model.calls
        if policy == "puct":  # PUCT's choices do not depend on the simulations still to come
            one_step = make_forest(vs, one_step_model, 5, num_simulations=1, policy=policy)
            assert_same_output(output, one_step.search(one_step_model))

    @pytest.mark.parametrize("time_limit", [None, math.inf, 1e9])
    def test_without_a_reachable_limit_every_step_runs(self, policy: str, time_limit: Any) -> None:
        native_model, reference_model = model(), model()
        native = make_forest(vs, native_model, 4, num_simulations=25, policy=policy)
        expected = make_forest(reference, reference_model, 4, num_simulations=25, policy=policy)
        output = native.search(native_model, time_limit=time_limit)
        assert output.num_simulations == 25
        assert_same_output(output, expected.search(reference_model))

    @pytest.mark.parametrize("slow_call", [2, 5, 11])
    def test_a_search_cut_short_is_the_references_stopped_at_the_same_step(
            self, policy: str, slow_call: int) -> None:
        native_model, reference_model = model(), model()
        limit = 0.05

        def slow(states: Any, actions: np.ndarray) -> Any:
            if len(native_model.calls) == slow_call - 1:
                time.sleep(limit)
            return native_model(states, actions)

        native = make_forest(vs, native_model, 6, num_simulations=64, policy=policy,
                             max_considered_actions=4)
        expected = make_forest(reference, reference_model, 6, num_simulations=64, policy=policy,
                               max_considered_actions=4)
        output = native.search(slow, time_limit=limit)
        steps = output.num_simulations
        assert 1 <= steps <= slow_call  # every step makes one call here: no root is terminal
        assert_same_output(output, expected.search(reference_model, time_limit=steps,
                                                   clock=step_clock()))
        assert native_model.calls == reference_model.calls
        np.testing.assert_array_equal(native.select(0.0), expected.select(0.0), strict=True)
        # The trees stay searchable: the next search starts a new schedule on both.
        assert_same_output(native.search(native_model), expected.search(reference_model))


class TestRefusedLimits:
    @pytest.mark.parametrize("time_limit, error", [
        (-1.0, ValueError), (-1e-300, ValueError), (math.nan, ValueError), ("1", TypeError),
        (True, TypeError), (object(), TypeError),
    ])
    @pytest.mark.parametrize("module", [vs, reference], ids=["native", "reference"])
    def test_a_bad_limit_names_it_and_leaves_the_forest_as_it_was(
            self, module: Any, time_limit: Any, error: type) -> None:
        used, fresh = model(), model()
        forest = make_forest(module, used, 3, num_simulations=6)
        twin = make_forest(module, fresh, 3, num_simulations=6)
        with pytest.raises(error, match="time_limit"):
            forest.search(used, time_limit=time_limit)
        assert used.calls == [] and forest.num_nodes == 3
        assert_same_output(forest.search(used), twin.search(fresh))
