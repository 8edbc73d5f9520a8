"""Roots evaluated by the forest's root_fn: such roots are pending until the next search, which
evaluates them in one call before its first step; the trees then grow exactly as from explicit
arrays, the reference agrees, and a root_fn that fails or answers badly applies nothing."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import RandomModel, assert_same_output, reference

NUM_ROOTS = 5
MODULES = [vs, reference]


def model(**options: Any) -> RandomModel:
    return RandomModel(4, 11, legal_fraction=0.7, terminal_fraction=0.1, **options)


def forests(module: Any, policy: str = "puct", num_threads: int = 1) -> tuple[Any, Any, Any]:
    """A forest given the roots' arrays and one evaluating them with root_fn, with their models."""
    config = module.SearchConfig(4, num_simulations=12, policy=policy, num_threads=num_threads)
    given, lazy = model(), model()
    states, logits, values, legal = given.roots(NUM_ROOTS)
    return (module.Forest(config, states, logits, values, legal),
            module.Forest(config, lazy.roots(NUM_ROOTS)[0], root_fn=lazy.root_fn), (given, lazy))


class TestRootFnGrowsTheSameTrees:
    @pytest.mark.parametrize("num_threads", [1, 2])
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    def test_as_from_arrays_through_advance_and_reset(self, policy: str, num_threads: int) -> None:
        results = {}
        for module in MODULES:
            given, lazy, (given_model, lazy_model) = forests(module, policy, num_threads)
            assert lazy.root_states == given.root_states and lazy.num_nodes == 0
            outputs = []
            for step in range(3):
                outputs.append((given.search(given_model), lazy.search(lazy_model)))
                moves = given.select()
                given.advance(moves)
                lazy.advance(moves)
                states, logits, values, legal = given_model.roots(NUM_ROOTS + step + 1)
                given.reset(step, states[-1], logits[-1], values[-1], legal[-1])
                lazy.reset(step, states[-1])
            root_calls = [keys for kind, keys in lazy_model.calls if kind == ("root",)]
            # all roots at the first search, then the reset root of each step
            assert [len(keys) for keys in root_calls] == [NUM_ROOTS, 1, 1]
            assert [c for c in lazy_model.calls if c[0] != ("root",)] == given_model.calls
            for given_output, lazy_output in outputs:
                assert_same_output(lazy_output, given_output)
            results[module] = outputs
        for native, expected in zip(results[vs], results[reference]):
            assert_same_output(native[1], expected[1])

    @pytest.mark.parametrize("module", MODULES)
    def test_only_searched_roots_are_evaluated(self, module: Any) -> None:
        _, lazy, (_, lazy_model) = forests(module)
        output = lazy.search(lazy_model, roots=[1, 3])
        states = lazy.root_states
        assert lazy_model.calls[0] == (("root",), (states[1], states[3]))
        assert np.isnan(output.root_values[[0, 2, 4]]).all()
        assert (output.selected_actions[[0, 2, 4]] == -1).all()
        assert lazy.tree(0) is None and lazy.tree(1) is not None
        with pytest.raises(ValueError, match="root 0 has not been evaluated yet"):
            lazy.advance(0, 0)


def failing_outputs() -> dict[str, tuple[Any, type, str]]:
    logits = np.zeros((NUM_ROOTS, 4))
    return {
        "raises": (ZeroDivisionError, ZeroDivisionError, None),
        "not a tuple": ([logits, np.zeros(NUM_ROOTS), None], TypeError, "must return a tuple"),
        "wrong shape": ((logits[:, :3], np.zeros(NUM_ROOTS), None), ValueError,
                        "root_fn output 'prior_logits' has shape"),
        "nan value": ((logits, np.full(NUM_ROOTS, np.nan), None), ValueError,
                      "root_fn output 'values' row 0"),
    }


class TestFailuresApplyNothing:
    @pytest.mark.parametrize("case", list(failing_outputs()))
    @pytest.mark.parametrize("module", MODULES)
    def test_the_roots_stay_pending_and_the_forest_usable(self, module: Any, case: str) -> None:
        answer, error, message = failing_outputs()[case]
        good = model()
        calls = []

        def root_fn(states: list[Any]) -> Any:
            calls.append(len(states))
            if len(calls) == 1:
                if isinstance(answer, type):
                    raise answer()
                return answer
            return good.root_fn(states)

        config = module.SearchConfig(4, num_simulations=5)
        forest = module.Forest(config, good.roots(NUM_ROOTS)[0], root_fn=root_fn)
        with pytest.raises(error, match=message):
            forest.search(good)
        assert forest.num_nodes == 0 and good.calls == []
        assert forest.search(good).num_simulations == 5 and calls == [NUM_ROOTS, NUM_ROOTS]


class TestBadArguments:
    @pytest.mark.parametrize("arguments, error, message", [
        ({}, ValueError, "prior_logits and values must be given to a forest without a root_fn"),
        ({"prior_logits": np.zeros((2, 4)), "root_fn": len}, ValueError, r"values has shape \(\)"),
        ({"values": np.zeros(2), "root_fn": len}, ValueError,
         r"prior_logits has shape \(\)"),
        ({"legal": np.ones((2, 4), bool), "root_fn": len}, ValueError,
         "legal is given without prior_logits and values"),
        ({"root_fn": 3}, TypeError, "root_fn must be callable or None, not int"),
    ])
    @pytest.mark.parametrize("module", MODULES)
    def test_forest(self, module: Any, arguments: dict, error: type, message: str) -> None:
        with pytest.raises(error, match=message):
            module.Forest(module.SearchConfig(4), [0, 1], **arguments)

    @pytest.mark.parametrize("module", MODULES)
    def test_reset_without_root_fn_keeps_the_tree(self, module: Any) -> None:
        source = model()
        states, logits, values, legal = source.roots(2)
        forest = module.Forest(module.SearchConfig(4, num_simulations=4), states, logits, values,
                               legal)
        forest.search(source)
        nodes = forest.num_nodes
        with pytest.raises(ValueError, match="prior_logits and value must be given"):
            forest.reset(0, states[0])
        with pytest.raises(TypeError, match="value must be a float, not NoneType"):
            forest.reset(0, states[0], logits[0])
        assert forest.num_nodes == nodes and forest.tree(0) is not None
