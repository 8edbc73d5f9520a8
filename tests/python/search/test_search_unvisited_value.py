"""What an unvisited child scores under PUCT, on a root worked by hand: priors 0.9 and 0.1, every
evaluated position worth -1 to the mover's parent. After one simulation the root has V = -0.5 and
child 0 has Q = -1, so the range is [-1, -0.5] and the scale sqrt(2) * pb_c is about 1.77: child
0 scores 0 + 1.77 * 0.9 / 2 = 0.80; the unvisited child 1 scores 1.77 * 0.1 = 0.18 under "min"
(q̂ = 0), and 1 + 0.18 under "parent" (q̂ = (V - m) / (M - m) = 1) and under "mixed" (v_mix =
(0 + 1 * (0.9 * -1) / 0.9) / 2 = -0.5, q̂ = 1). Exact agreement with the reference over whole
games, all three rules, is in test_search_agreement.py."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import veltra_search as vs

from search_models import reference

LOGITS = np.log([[0.9, 0.1]])


def losing_everywhere(states: list[Any], actions: np.ndarray) -> tuple[Any, ...]:
    n = len(states)
    return (list(actions.tolist()), np.zeros(n), np.ones(n), np.repeat(LOGITS, n, axis=0),
            np.full(n, -1.0), np.ones((n, 2), dtype=bool))


@pytest.mark.parametrize("module", [vs, reference], ids=["native", "reference"])
@pytest.mark.parametrize("rule, visits", [("min", [2, 0]), ("parent", [1, 1]), ("mixed", [1, 1])])
def test_the_second_simulation_follows_the_rule(module: Any, rule: str, visits: list[int]) -> None:
    config = module.SearchConfig(2, num_simulations=2, dirichlet_fraction=0.0,
                                 unvisited_value=rule)
    forest = module.Forest(config, ["root"], LOGITS, [0.0])
    np.testing.assert_array_equal(forest.search(losing_everywhere).visit_counts, [visits])
