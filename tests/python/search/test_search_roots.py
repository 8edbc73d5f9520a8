"""Searching some roots: the roots searched step exactly as in a forest holding only them, the
others keep their trees and their rows of the output bit for bit, their states never reach
recurrent_fn (a pending one stays pending), the reference agrees, and bad selections are refused."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import RandomModel, assert_same_output, make_forest, output_arrays, reference

POLICIES = ["puct", "gumbel"]
NUM_ROOTS = 6
CHOSEN = [1, 4, 5]


def model() -> RandomModel:
    return RandomModel(5, 7, legal_fraction=0.7, terminal_fraction=0.1)


def mask_of(indices: list[int]) -> np.ndarray:
    return np.isin(np.arange(NUM_ROOTS), indices)


def rows(output: Any, indices: list[int]) -> dict[str, np.ndarray]:
    return {name: array[indices] for name, array in output_arrays(output).items()}


def assert_same_rows(actual: dict[str, np.ndarray], expected: dict[str, np.ndarray]) -> None:
    for name, array in expected.items():
        np.testing.assert_array_equal(actual[name], array, err_msg=name, strict=True)


@pytest.mark.parametrize("policy", POLICIES)
@pytest.mark.parametrize("selection", [CHOSEN, [-5, 4, -1], mask_of(CHOSEN)],
                         ids=["indices", "negative", "mask"])
def test_searched_roots_step_as_in_a_forest_of_only_them(policy: str, selection: Any) -> None:
    whole_model, only_model = model(), model()
    states, logits, values, legal = whole_model.roots(NUM_ROOTS)
    config = vs.SearchConfig(5, num_simulations=30, policy=policy)
    whole = vs.Forest(config, states, logits, values, legal)
    only = vs.Forest(config, [states[i] for i in CHOSEN], logits[CHOSEN], values[CHOSEN],
                     legal[CHOSEN])
    for _ in range(2):  # the second search reuses the trees and draws new noise on both
        before = whole.search(whole_model, roots=[])  # steps nothing, draws nothing
        output = whole.search(whole_model, roots=selection)
        assert_same_rows(rows(output, CHOSEN), output_arrays(only.search(only_model)))
        assert whole_model.calls == only_model.calls
        untouched = [0, 2, 3]
        assert_same_rows(rows(output, untouched), rows(before, untouched))


@pytest.mark.parametrize("policy", POLICIES)
def test_untouched_roots_keep_their_trees_and_the_reference_agrees(policy: str) -> None:
    models = (model(), model())
    forests = [make_forest(module, m, NUM_ROOTS, num_simulations=3, policy=policy)
               for module, m in zip((vs, reference), models)]
    full = [forest.search(m) for forest, m in zip(forests, models)]
    assert_same_output(*full)
    # Root 0 moves to a child never created, so it is pending; only roots 1 and 3 are searched.
    parent_key = models[0].key(forests[0].root_states[0])
    for forest, m in zip(forests, models):
        visits = full[0].visit_counts[0]
        legal = m.legal_actions(forest.root_states[0])
        forest.advance(0, min(legal, key=lambda a: (visits[a], a)))
    calls_before = len(models[0].calls)
    outputs = [forest.search(m, roots=[1, 3]) for forest, m in zip(forests, models)]
    assert_same_output(*outputs)
    assert models[0].calls == models[1].calls
    assert forests[0].root_states[0] is None
    assert all(parent_key not in parents for parents, _ in models[0].calls[calls_before:])
    native = outputs[0]
    assert native.visit_counts[0].sum() == 0 and np.isnan(native.root_values[0])
    assert native.selected_actions[0] == -1 and not native.action_weights[0].any()
    untouched = [2, 4, 5]
    assert_same_rows(rows(native, untouched), rows(full[0], untouched))
    # The pending root is evaluated by the next search that includes it.
    assert_same_output(*(forest.search(m) for forest, m in zip(forests, models)))
    assert forests[0].root_states[0] is not None


class TestRefusedSelections:
    @pytest.mark.parametrize("roots, error, words", [
        ([6], IndexError, "out of range"), ([-7], IndexError, "out of range"),
        ([1, 1], ValueError, "twice"), ([1, -5], ValueError, "twice"),
        (np.ones(5, dtype=bool), ValueError, "shape"), ([[1, 2]], ValueError, "one-dimensional"),
        ([1.0], TypeError, "ints"), (["a"], TypeError, "roots"),
    ])
    @pytest.mark.parametrize("module", [vs, reference], ids=["native", "reference"])
    def test_a_bad_selection_names_it_and_leaves_the_forest_as_it_was(
            self, module: Any, roots: Any, error: type, words: str) -> None:
        used, fresh = model(), model()
        forest = make_forest(module, used, NUM_ROOTS, num_simulations=4)
        twin = make_forest(module, fresh, NUM_ROOTS, num_simulations=4)
        with pytest.raises(error, match="roots") as raised:
            forest.search(used, roots=roots)
        assert words in str(raised.value)
        assert used.calls == [] and forest.num_nodes == NUM_ROOTS
        assert_same_output(forest.search(used), twin.search(fresh))
