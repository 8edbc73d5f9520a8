"""Forest.tree: root i's tree as nested dicts, the same as the reference's to the last bit, cut at
max_depth, consistent with the search's output at the root, None for a pending root, and bad
indices and depths refused."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import Pair, RandomModel, make_forest, reference


def model() -> RandomModel:
    return RandomModel(4, 11, legal_fraction=0.8, terminal_fraction=0.1, discounts=(-1.0, 0.9))


def depth(node: dict[str, Any]) -> int:
    return 1 + max((depth(child) for child in node["children"]), default=-1)


@pytest.mark.parametrize("policy", ["puct", "gumbel"])
def test_trees_match_the_reference_and_the_output(policy: str) -> None:
    pair = Pair(vs, model, 3, num_simulations=30, policy=policy)
    output = pair.search()
    for i in range(3):
        tree = pair.native.tree(i)
        assert tree == pair.reference.tree(i)
        assert tree["value"] == output.root_values[i] and tree["action"] is None
        visits = np.zeros(4, dtype=np.int64)
        q_values = np.full(4, np.nan)
        for child in tree["children"]:
            visits[child["action"]] = child["visits"]
            q_values[child["action"]] = child["reward"] + child["discount"] * child["value"]
        np.testing.assert_array_equal(visits, output.visit_counts[i])
        np.testing.assert_array_equal(q_values, output.q_values[i])
        if tree["children"]:  # a terminal root only counts visits
            assert tree["visits"] == 1 + visits.sum()
        for max_depth in (0, 1, 2):
            cut = pair.native.tree(i, max_depth)
            assert cut == pair.reference.tree(i, max_depth)
            assert depth(cut) == min(max_depth, depth(tree))


def test_a_pending_root_has_no_tree() -> None:
    m = model()
    forest = make_forest(vs, m, 4, num_simulations=0)
    forest.search(m)
    i = next(i for i, state in enumerate(forest.root_states) if m.legal_actions(state))
    forest.advance(i, m.legal_actions(forest.root_states[i])[0])
    assert forest.tree(i) is None and forest.tree(i - 1)["children"] == []


@pytest.mark.parametrize("module", [vs, reference], ids=["native", "reference"])
@pytest.mark.parametrize("args, error, words", [
    ((2,), IndexError, "root index"), ((-3,), IndexError, "root index"),
    ((0, -1), ValueError, "max_depth"), ((0, "1"), TypeError, "max_depth"),
    (("0",), TypeError, "i"),
])
def test_bad_indices_and_depths_are_refused(module: Any, args: tuple[Any, ...], error: type,
                                            words: str) -> None:
    forest = make_forest(module, model(), 2, num_simulations=3)
    with pytest.raises(error, match=words):
        forest.tree(*args)
