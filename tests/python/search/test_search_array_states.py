"""Array states: a forest given its states as one float array keeps them as rows, hands
recurrent_fn and root_fn one array per batch and gives the results of the same model on object
states (and of the reference) bit for bit; bad states are refused with nothing changed."""

from __future__ import annotations

import random
from typing import Any, List, Tuple

import numpy as np
import pytest
import torch
import veltra_search as vs

from search_models import LatentModel, assert_same_output, reference

NUM_ACTIONS = 4


def make(module: Any, model: LatentModel, num_roots: int, root_fn: bool, **config: Any) -> Any:
    states, logits, values, legal = model.roots(num_roots)
    search_config = module.SearchConfig(NUM_ACTIONS, **config)
    if root_fn:
        return module.Forest(search_config, states, root_fn=model.root_fn)
    return module.Forest(search_config, states, logits, values, legal)


def same_root_states(forests: List[Any]) -> None:
    """Root states as arrays, object ones stacked (None, a root pending on a move, as NaN)."""
    def stacked(states: Any) -> np.ndarray:
        if not isinstance(states, list):
            return states
        return np.stack([np.full(forests[0].root_states.shape[1:], np.nan) if s is None else s
                         for s in states]).astype(forests[0].root_states.dtype)
    first = stacked(forests[0].root_states)
    for forest in forests[1:]:
        np.testing.assert_array_equal(stacked(forest.root_states), first, strict=True)


def play(forests: List[Any], models: List[LatentModel], seed: int, rounds: int = 3) -> None:
    """The same searches (some of a subset of roots), moves (some to never searched children,
    which leave roots pending) and resets on every forest, each with its own model; results,
    calls and root states must be the same."""
    rng = random.Random(seed)
    count = forests[0].num_roots
    for round_ in range(rounds + 1):
        roots = None if rng.random() < 0.6 else rng.sample(range(count), rng.randint(1, count))
        outputs = [f.search(m, roots=roots) for f, m in zip(forests, models)]
        for output in outputs[1:]:
            assert_same_output(output, outputs[0])
        assert all(m.calls == models[0].calls for m in models)
        same_root_states(forests)
        if round_ == rounds:
            return
        moves = forests[0].select()
        states = np.asarray(forests[0].root_states)
        for i, move in enumerate(moves.tolist()):
            if move >= 0 and rng.random() < 0.3:  # the least visited legal move
                legal = np.flatnonzero(models[0].table.legal[models[0].rows(states[i:i + 1])[0]])
                moves[i] = min(legal, key=lambda a: (outputs[0].visit_counts[i, a], a))
        for forest in forests:
            for i, move in enumerate(moves.tolist()):
                if move >= 0:
                    forest.advance(i, move)
        if rng.random() < 0.5:
            slot = rng.randrange(count)
            for forest, model in zip(forests, models):
                forest.reset(slot, model.state(round_), np.zeros(NUM_ACTIONS), 0.25)


CASES = [  # policy, dtype, state shape, root_fn, num_threads, output
    ("puct", np.float32, (4,), False, 1, "numpy"),
    ("puct", np.float64, (2, 3), True, 2, "torch"),
    ("gumbel", np.float32, (), True, 1, "torch"),
    ("gumbel", np.float64, (5,), False, 2, "numpy"),
]


class TestArrayStatesAgree:
    @pytest.mark.parametrize("policy, dtype, shape, root_fn, threads, output", CASES)
    def test_array_states_give_what_object_states_give(self, policy: str, dtype: Any,
                                                        shape: Tuple[int, ...], root_fn: bool,
                                                        threads: int, output: str) -> None:
        models = [LatentModel(NUM_ACTIONS, shape, dtype, output=output),
                  LatentModel(NUM_ACTIONS, shape, dtype, objects=True)]
        config = dict(num_simulations=25, policy=policy, num_threads=threads, seed=3)
        forests = [make(vs, model, 5, root_fn, **config) for model in models]
        play(forests, models, seed=len(shape))

    @pytest.mark.parametrize("policy, dtype, shape, root_fn, threads, output", CASES[:3])
    def test_array_states_match_the_reference(self, policy: str, dtype: Any,
                                              shape: Tuple[int, ...], root_fn: bool, threads: int,
                                              output: str) -> None:
        models = [LatentModel(NUM_ACTIONS, shape, dtype, output=output) for _ in range(2)]
        config = dict(num_simulations=20, policy=policy, seed=5)
        forests = [make(vs, models[0], 4, root_fn, num_threads=threads, **config),
                   make(reference, models[1], 4, root_fn, **config)]
        play(forests, models, seed=7)


    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_array_states_solve_as_object_states_do(self, policy: str) -> None:
        models = [LatentModel(NUM_ACTIONS, (3,), np.float32, objects=objects, exact_terminals=True)
                  for objects in (False, True)]
        config = dict(num_simulations=40, policy=policy, solve=True)
        forests = [make(vs, model, 4, True, **config) for model in models]
        play(forests, models, seed=11)
        assert forests[0].search(models[0]).solved.any()


def spoiled(model: LatentModel, spoil: Any) -> Any:
    def recurrent_fn(states: Any, actions: np.ndarray) -> Tuple[Any, ...]:
        next_states, *rest = model(states, actions)
        return (spoil(next_states), *rest)
    return recurrent_fn


def with_nan(states: np.ndarray) -> np.ndarray:
    states = states.copy()
    states[-1, 1] = np.nan
    return states


class TestBadStates:
    @pytest.mark.parametrize("spoil, message", [
        (lambda s: s[:, :3], r"'next_states' has shape \(5, 3\) and dtype float32; expected shape "
                             r"\(5, 4\) and dtype float32"),
        (lambda s: s.astype(np.float64), r"'next_states' has shape \(5, 4\) and dtype float64; "
                                         r"expected shape \(5, 4\) and dtype float32"),
        (with_nan, r"'next_states' row 4 holds nan; states must be finite"),
    ])
    def test_bad_next_states_are_refused_with_nothing_applied(self, spoil: Any,
                                                              message: str) -> None:
        failed, untouched = (make(vs, LatentModel(NUM_ACTIONS), 5, False, num_simulations=6,
                                  dirichlet_fraction=0.0)
                             for _ in range(2))
        with pytest.raises(ValueError, match=message):
            failed.search(spoiled(LatentModel(NUM_ACTIONS), spoil))
        assert failed.num_nodes == 5
        assert_same_output(failed.search(LatentModel(NUM_ACTIONS)),
                           untouched.search(LatentModel(NUM_ACTIONS)))

    @pytest.mark.parametrize("state, error, message", [
        (np.zeros(3, np.float32), ValueError, r"state has shape \(3,\) and dtype float32; "
                                              r"expected shape \(4,\) and dtype float32"),
        (np.zeros((1, 4), np.float32), ValueError, r"state has shape \(1, 4\)"),
        (np.zeros(4), ValueError, r"dtype float64; expected shape \(4,\) and dtype float32"),
        (np.array([0, np.inf, 0, 0], np.float32), ValueError, "state holds inf"),
        ("a state", ValueError, r"state has shape \(\) and dtype <U7"),
    ])
    def test_a_bad_reset_state_changes_nothing(self, state: Any, error: type,
                                               message: str) -> None:
        forest = make(vs, LatentModel(NUM_ACTIONS), 3, False, num_simulations=6)
        forest.search(LatentModel(NUM_ACTIONS))
        nodes, states = forest.num_nodes, forest.root_states
        with pytest.raises(error, match=message):
            forest.reset(1, state, np.zeros(NUM_ACTIONS), 0.0)
        assert forest.num_nodes == nodes
        np.testing.assert_array_equal(forest.root_states, states, strict=True)

    @pytest.mark.parametrize("states, error, message", [
        (np.zeros((2, 3), np.int64), TypeError, "float32 or float64, not an array of int64"),
        (torch.zeros((2, 3), dtype=torch.bool), TypeError, "not an array of bool"),
        (np.zeros((2, 3), np.float16), TypeError, "not an array of float16"),
        (np.array([object(), object()]), TypeError, "states must be a list or an array of floats"),
        (np.zeros((0, 3)), ValueError, "at least one root state"),
        (np.array(1.0, np.float32), ValueError, "not a scalar"),
        (np.array([[0.0, 0.0], [0.0, np.nan]]), ValueError, "states row 1 holds nan; states must be finite"),
    ])
    def test_states_that_are_no_float_array_are_refused(self, states: Any, error: type,
                                                        message: str) -> None:
        for module in (vs, reference):
            with pytest.raises(error, match=message):
                module.Forest(module.SearchConfig(2), states, np.zeros((2, 2)), np.zeros(2))
