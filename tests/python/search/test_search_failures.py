"""Failures, for veltra_search and the reference forest alike: every kind of bad recurrent_fn output
and bad argument gives a clear TypeError/ValueError/IndexError naming what is wrong, an exception
from recurrent_fn propagates unchanged, and a failed call changes nothing."""

from __future__ import annotations

import math
import pickle
from types import ModuleType
from typing import Any, Callable, Optional, Tuple

import numpy as np
import pytest
import veltra_search

from search_models import RandomModel, assert_same_output, make_forest, reference

NUM_ROOTS, NUM_ACTIONS = 3, 4
LAST = NUM_ROOTS - 1


@pytest.fixture(params=["veltra_search", "reference"])
def module(request: pytest.FixtureRequest) -> ModuleType:
    if request.param == "reference":
        return reference
    return veltra_search


class Boom(Exception):
    pass


BOOM = Boom("from the model")


class FaultyModel(RandomModel):
    """A model without terminal positions, so that every step expands every root, whose call
    number `fail_at` goes wrong as `fault` says."""

    def __init__(self, fault: Optional[Callable[[list[Any]], Any]] = None,
                 fail_at: int = 2) -> None:
        super().__init__(NUM_ACTIONS, 1, legal_fraction=1.0, terminal_fraction=0.0)
        self.fault, self.fail_at = fault, fail_at

    def __call__(self, states: list[Any], actions: np.ndarray) -> Any:
        output = list(super().__call__(states, actions))
        if self.fault is None or len(self.calls) - 1 != self.fail_at:
            return tuple(output)
        return self.fault(output)


def replace(index: int, change: Callable[[Any], Any]) -> Callable[[list[Any]], Any]:
    def fault(output: list[Any]) -> Any:
        output[index] = change(output[index])
        return tuple(output)

    return fault


def set_row(index: int, value: Any) -> Callable[[list[Any]], Any]:
    def change(array: np.ndarray) -> np.ndarray:
        array = array.copy()
        array[LAST] = value
        return array

    return replace(index, change)


def raise_boom(output: list[Any]) -> Any:
    raise BOOM


STATES, REWARDS, DISCOUNTS, LOGITS, VALUES, LEGAL = range(6)

# Each case: (what goes wrong, the exception, a pattern its message must contain).
OUTPUT_FAULTS: dict[str, Tuple[Any, ...]] = {
    "next_states_short": (replace(STATES, lambda s: s[:-1]), ValueError, "'next_states'"),
    "next_states_not_a_list": (replace(STATES, lambda s: 7), TypeError, "next_states"),
    "rewards_2d": (replace(REWARDS, lambda a: a[:, None]), ValueError,
                   r"'rewards' has shape \(3, 1\); expected \(3,\)"),
    "discounts_long": (replace(DISCOUNTS, lambda a: np.append(a, 0.5)), ValueError,
                       r"'discounts' has shape \(4,\); expected \(3,\)"),
    "values_2d": (replace(VALUES, lambda a: a[:, None]), ValueError,
                  r"'values' has shape \(3, 1\); expected \(3,\)"),
    "logits_wide": (replace(LOGITS, lambda a: np.zeros((3, NUM_ACTIONS + 1))), ValueError,
                    r"'prior_logits' has shape \(3, 5\); expected \(3, 4\)"),
    "legal_narrow": (replace(LEGAL, lambda a: a[:, 1:]), ValueError,
                     r"'legal' has shape \(3, 3\); expected \(3, 4\)"),
    "reward_nan": (set_row(REWARDS, math.nan), ValueError, "'rewards' row 2"),
    "discount_inf": (set_row(DISCOUNTS, math.inf), ValueError, "'discounts' row 2"),
    "value_minus_inf": (set_row(VALUES, -math.inf), ValueError, "'values' row 2"),
    "logit_nan": (set_row(LOGITS, [0.0, math.nan, 0.0, 0.0]), ValueError, "'prior_logits' row 2"),
    "logit_plus_inf": (set_row(LOGITS, [0.0, 0.0, math.inf, 0.0]), ValueError,
                       "'prior_logits' row 2"),
    "no_finite_legal_logit": (set_row(LOGITS, -math.inf), ValueError, "'prior_logits' row 2"),
    "values_as_text": (replace(VALUES, lambda a: ["x"] * len(a)), TypeError, "'values'"),
    "legal_as_floats": (replace(LEGAL, lambda a: a.astype(float)), TypeError, "'legal'"),
    "five_outputs": (lambda output: tuple(output[:5]), TypeError, "tuple"),
    "a_list_not_a_tuple": (lambda output: list(output), TypeError, "tuple"),
    "exception": (raise_boom, Boom, "from the model"),
}


class TestRecurrentFnFailures:
    @pytest.mark.parametrize("fault", sorted(OUTPUT_FAULTS))
    def test_a_failing_step_applies_nothing(self, module: ModuleType, fault: str) -> None:
        change, error, message = OUTPUT_FAULTS[fault]
        forest = make_forest(module, FaultyModel(), NUM_ROOTS, num_simulations=5)
        with pytest.raises(error, match=message) as raised:
            forest.search(FaultyModel(change, fail_at=2))
        if error is Boom:
            assert raised.value is BOOM
        # The two steps before stay, one node per root each; the search after goes on from them
        # exactly as the reference's does after the same failure.
        assert forest.num_nodes == NUM_ROOTS * 3
        expected = make_forest(reference, FaultyModel(), NUM_ROOTS, num_simulations=5)
        with pytest.raises(error):
            expected.search(FaultyModel(change, fail_at=2))
        assert_same_output(forest.search(FaultyModel()), expected.search(FaultyModel()))

    def test_a_failed_evaluation_of_pending_roots_leaves_them_pending(
        self, module: ModuleType
    ) -> None:
        forest = make_forest(module, FaultyModel(), NUM_ROOTS, num_simulations=1)
        forest.search(FaultyModel())
        forest.advance(0, 1)  # never expanded: pending
        with pytest.raises(Boom):
            forest.search(FaultyModel(raise_boom, fail_at=0))
        assert forest.root_states[0] is None
        model = FaultyModel()
        forest.search(model)
        assert model.calls[0][1] == (1,)

    def test_logits_of_a_terminal_row_are_not_read(self, module: ModuleType) -> None:
        def terminal_last_row(output: list[Any]) -> Any:
            output = list(set_row(LOGITS, math.nan)(output))
            output[LEGAL] = output[LEGAL].copy()
            output[LEGAL][LAST] = False
            return tuple(output)

        forest = make_forest(module, FaultyModel(), NUM_ROOTS, num_simulations=4)
        expected = make_forest(reference, FaultyModel(), NUM_ROOTS, num_simulations=4)
        assert_same_output(forest.search(FaultyModel(terminal_last_row, fail_at=0)),
                           expected.search(FaultyModel(terminal_last_row, fail_at=0)))


def fresh_forest(module: ModuleType) -> Any:
    config = module.SearchConfig(3, num_simulations=6)
    return module.Forest(config, ["a", "b"], np.zeros((2, 3)), [0.0, 0.5],
                         [[True, True, False], [True, True, True]])


def chain_model(states: list[Any], actions: np.ndarray) -> Tuple[Any, ...]:
    count = len(states)
    return ([f"{s}{a}" for s, a in zip(states, actions.tolist())], np.zeros(count),
            -np.ones(count), np.zeros((count, 3)), np.linspace(-1, 1, count), None)


CONFIG_ERRORS: dict[str, Tuple[Any, ...]] = {
    "no_actions": ((0,), {}, ValueError, "num_actions"),
    "actions_as_text": (("7",), {}, TypeError, None),
    "negative_simulations": ((7,), {"num_simulations": -1}, ValueError, "num_simulations"),
    "fractional_simulations": ((7,), {"num_simulations": 1.5}, TypeError, None),
    "zero_base": ((7,), {"pb_c_base": 0.0}, ValueError, "pb_c_base"),
    "infinite_base": ((7,), {"pb_c_base": math.inf}, ValueError, "pb_c_base"),
    "nan_init": ((7,), {"pb_c_init": math.nan}, ValueError, "pb_c_init"),
    "zero_alpha": ((7,), {"dirichlet_alpha": 0.0}, ValueError, "dirichlet_alpha"),
    "fraction_above_one": ((7,), {"dirichlet_fraction": 1.5}, ValueError, "dirichlet_fraction"),
    "negative_fraction": ((7,), {"dirichlet_fraction": -0.1}, ValueError, "dirichlet_fraction"),
    "negative_seed": ((7,), {"seed": -1}, ValueError, "seed"),
    "seed_too_large": ((7,), {"seed": 2**64}, ValueError, "seed"),
    "unknown_keyword": ((7,), {"simulations": 5}, TypeError, None),
    "unknown_policy": ((7,), {"policy": "alpha"}, ValueError,
                       "policy must be 'puct' or 'gumbel', got 'alpha'"),
    "policy_not_text": ((7,), {"policy": 1}, TypeError, "policy must be a str, not int"),
    "no_considered_actions": ((7,), {"max_considered_actions": 0}, ValueError,
                              "max_considered_actions must be at least 1"),
    "too_many_considered_actions": ((7,), {"max_considered_actions": 2**31}, ValueError,
                                    "max_considered_actions must be below 2"),
    "fractional_considered_actions": ((7,), {"max_considered_actions": 2.0}, TypeError,
                                      "max_considered_actions"),
    "negative_gumbel_scale": ((7,), {"gumbel_scale": -0.5}, ValueError, "gumbel_scale"),
    "infinite_gumbel_scale": ((7,), {"gumbel_scale": math.inf}, ValueError, "gumbel_scale"),
    "zero_value_scale": ((7,), {"value_scale": 0.0}, ValueError, "value_scale"),
    "nan_value_scale": ((7,), {"value_scale": math.nan}, ValueError, "value_scale"),
    "negative_maxvisit_init": ((7,), {"maxvisit_init": -1.0}, ValueError, "maxvisit_init"),
    "infinite_maxvisit_init": ((7,), {"maxvisit_init": math.inf}, ValueError, "maxvisit_init"),
    "dirichlet_checked_under_gumbel": ((7,), {"policy": "gumbel", "dirichlet_alpha": 0.0},
                                       ValueError, "dirichlet_alpha"),
    "negative_threads": ((7,), {"num_threads": -1}, ValueError, r"num_threads must be in \[0, 1024\]"),
    "too_many_threads": ((7,), {"num_threads": 1025}, ValueError, "num_threads"),
    "fractional_threads": ((7,), {"num_threads": 2.0}, TypeError, "num_threads"),
    "positional_option": ((7, 100), {}, TypeError, None),
    "unknown_unvisited_value": ((7,), {"unvisited_value": "max"}, ValueError, "unvisited_value"),
    "unvisited_value_not_a_str": ((7,), {"unvisited_value": 0}, TypeError, "unvisited_value"),
    "parent_value_under_gumbel": ((7,), {"policy": "gumbel", "unvisited_value": "parent"},
                                  ValueError, "unvisited_value must be 'min' under the Gumbel"),
}

# Each case: a call on fresh_forest(module) and module, the exception, a pattern of its message.
CALL_ERRORS: dict[str, Tuple[Any, ...]] = {
    "config_not_a_config": (
        lambda f, m: m.Forest("config", ["a"], [[0.0] * 3], [0.0]), TypeError, "config"),
    "no_states": (lambda f, m: m.Forest(f.config, [], np.zeros((0, 3)), []), ValueError, None),
    "states_not_a_list": (lambda f, m: m.Forest(f.config, 5, [[0.0] * 3], [0.0]), TypeError, None),
    "logits_shape": (
        lambda f, m: m.Forest(m.SearchConfig(7), ["a", "b"], np.zeros((2, 5)), [0.0, 0.0]),
        ValueError, r"prior_logits has shape \(2, 5\); expected \(2, 7\)"),
    "values_shape": (lambda f, m: m.Forest(f.config, ["a"], [[0.0] * 3], [0.0, 1.0]),
                     ValueError, "values"),
    "legal_shape": (lambda f, m: m.Forest(f.config, ["a"], [[0.0] * 3], [0.0], [[True] * 2]),
                    ValueError, "legal"),
    "legal_not_0_or_1": (lambda f, m: m.Forest(f.config, ["a"], [[0.0] * 3], [0.0], [[0, 2, 1]]),
                         ValueError, "legal"),
    "legal_as_floats": (lambda f, m: m.Forest(f.config, ["a"], [[0.0] * 3], [0.0], [[0.5] * 3]),
                        TypeError, "legal"),
    "value_nan": (lambda f, m: m.Forest(f.config, ["a"], [[0.0] * 3], [math.nan]),
                  ValueError, "values"),
    "root_logit_nan": (lambda f, m: m.Forest(f.config, ["a"], [[0.0, math.nan, 0.0]], [0.0]),
                       ValueError, "prior_logits"),
    "root_logits_text": (lambda f, m: m.Forest(f.config, ["a"], [["x", "y", "z"]], [0.0]),
                         TypeError, "prior_logits"),
    "recurrent_fn_not_callable": (lambda f, m: f.search(5), TypeError, "recurrent_fn"),
    "temperature_text": (lambda f, m: f.select("hot"), TypeError, None),
    "index_past_the_end": (lambda f, m: f.advance(2, 0), IndexError, None),
    "index_before_the_start": (lambda f, m: f.advance(-3, 0), IndexError, None),
    "action_past_the_end": (lambda f, m: f.advance(0, 3), ValueError, None),
    "action_negative": (lambda f, m: f.advance(0, -1), ValueError, None),
    "action_illegal": (lambda f, m: f.advance(0, 2), ValueError, None),
    "actions_shape": (lambda f, m: f.advance(np.array([0])), ValueError, None),
    "actions_as_floats": (lambda f, m: f.advance(np.array([0.0, 1.0])), TypeError, None),
    "actions_illegal_in_one_root": (lambda f, m: f.advance(np.array([0, 3])), ValueError, None),
    "reset_index": (lambda f, m: f.reset(2, "c", np.zeros(3), 0.0), IndexError, None),
    "reset_logits_shape": (lambda f, m: f.reset(0, "c", np.zeros(4), 0.0), ValueError,
                           "prior_logits"),
    "reset_value_nan": (lambda f, m: f.reset(0, "c", np.zeros(3), math.nan), ValueError, "value"),
    "reset_value_text": (lambda f, m: f.reset(0, "c", np.zeros(3), "x"), TypeError, "value"),
    "reset_legal_shape": (lambda f, m: f.reset(0, "c", np.zeros(3), 0.0, [True]), ValueError,
                          "legal"),
    "pickle": (lambda f, m: pickle.dumps(f), TypeError, None),
}


class TestBadArguments:
    @pytest.mark.parametrize("case", sorted(CONFIG_ERRORS))
    def test_bad_config(self, module: ModuleType, case: str) -> None:
        args, kwargs, error, message = CONFIG_ERRORS[case]
        with pytest.raises(error, match=message):
            module.SearchConfig(*args, **kwargs)

    def test_config_is_a_read_only_value(self, module: ModuleType) -> None:
        config = module.SearchConfig(7, seed=3)
        assert (config.num_actions, config.num_simulations, config.pb_c_init, config.pb_c_base,
                config.dirichlet_alpha, config.dirichlet_fraction, config.seed, config.policy,
                config.max_considered_actions, config.gumbel_scale, config.value_scale,
                config.maxvisit_init) == (7, 100, 1.25, 19652.0, 0.3, 0.25, 3, "puct", 16, 1.0,
                                          0.1, 50.0)
        assert config == module.SearchConfig(num_actions=7, seed=3) != module.SearchConfig(7)
        assert "seed=3" in repr(config) and config.unvisited_value == "min"
        parent = module.SearchConfig(7, seed=3, unvisited_value="parent")
        assert parent != config and hash(parent) != hash(config)
        assert "unvisited_value='parent'" in repr(parent)
        gumbel = module.SearchConfig(7, seed=3, policy="gumbel", max_considered_actions=4)
        assert gumbel != config and hash(gumbel) != hash(config)
        assert "policy='gumbel'" in repr(gumbel) and "max_considered_actions=4" in repr(gumbel)
        threads = module.SearchConfig(7, seed=3, num_threads=0)
        assert threads.num_threads == 0 and config.num_threads == 1 and "num_threads=0" in repr(threads)
        assert threads != config and hash(threads) != hash(config)
        for field, value in (("gumbel_scale", 0.0), ("value_scale", 1.0), ("maxvisit_init", 0.0)):
            changed = module.SearchConfig(7, seed=3, policy="gumbel", max_considered_actions=4,
                                          **{field: value})
            assert changed != gumbel and hash(changed) != hash(gumbel), field
        with pytest.raises(AttributeError):
            config.seed = 4

    @pytest.mark.parametrize("case", sorted(CALL_ERRORS))
    def test_bad_call_changes_nothing(self, module: ModuleType, case: str) -> None:
        call, error, message = CALL_ERRORS[case]
        forest = fresh_forest(module)
        forest.search(chain_model)
        with pytest.raises(error, match=message):
            call(forest, module)
        untouched = fresh_forest(module)
        untouched.search(chain_model)
        assert forest.root_states == untouched.root_states
        assert_same_output(forest.search(chain_model), untouched.search(chain_model))
