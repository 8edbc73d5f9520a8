"""Arrays from DLPack producers: PyTorch CPU tensors and producers that only DLPack reads, as
arguments and as recurrent_fn's outputs, give the results of the same NumPy arrays; what cannot
be read in host memory is a TypeError naming the argument."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest
import torch
import veltra_search as vs

from search_models import DLPackOnly, RandomModel, assert_same_output, make_forest

NUM_ACTIONS = 5


def model(output: str = "numpy") -> RandomModel:
    return RandomModel(NUM_ACTIONS, 3, legal_fraction=0.7, terminal_fraction=0.2, output=output)


def as_torch(array: np.ndarray) -> Any:
    return torch.from_numpy(np.ascontiguousarray(array))


def strided_tensor(array: np.ndarray) -> Any:
    """A tensor of `array`'s values whose rows are every other one of its memory."""
    tensor = as_torch(np.repeat(array, 2, axis=0))[::2]
    assert not tensor.is_contiguous()
    return tensor


class TestProducersAgree:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("output", ["torch", "dlpack"])
    def test_outputs_from_producers_match_numpy(self, output: str, policy: str) -> None:
        expected = make_forest(vs, model(), 6, num_simulations=20, policy=policy)
        actual = make_forest(vs, model(), 6, num_simulations=20, policy=policy)
        assert_same_output(actual.search(model(output)), expected.search(model()))

    @pytest.mark.parametrize("wrap", [as_torch, DLPackOnly, strided_tensor])
    def test_arguments_from_producers_match_numpy(self, wrap: Any) -> None:
        states, logits, values, legal = model().roots(4)
        config = vs.SearchConfig(NUM_ACTIONS, num_simulations=12)
        expected = vs.Forest(config, states, logits, values, legal)
        # float32 logits are read as they are: the same as the float64 of their values.
        logits32 = logits.astype(np.float32)
        expected32 = vs.Forest(config, states, logits32.astype(np.float64), values, legal)
        actual = vs.Forest(config, states, wrap(logits), wrap(values), wrap(legal))
        actual32 = vs.Forest(config, states, wrap(logits32), wrap(values), wrap(legal))
        for forest, reference in ((actual, expected), (actual32, expected32)):
            assert_same_output(forest.search(model()), reference.search(model()))
            moves = reference.select()
            reference.advance(moves)
            forest.advance(wrap(moves))
            forest.reset(0, states[1], wrap(logits[1]), values[1], wrap(legal[1]))  # a scalar
            reference.reset(0, states[1], logits[1], values[1], legal[1])
            assert_same_output(forest.search(model()), reference.search(model()))


class TestUnreadableProducers:
    @pytest.mark.parametrize("make, detail", [
        (lambda a: DLPackOnly(a, device=(2, 0)), "host memory"),
        (lambda a: torch.tensor(a, requires_grad=True), "values"),
    ])
    def test_unreadable_values_are_a_type_error(self, make: Any, detail: str) -> None:
        states, logits, values, legal = model().roots(3)
        with pytest.raises(TypeError, match="values") as raised:
            vs.Forest(vs.SearchConfig(NUM_ACTIONS), states, logits, make(values), legal)
        assert detail in str(raised.value)

    def test_an_unreadable_output_applies_nothing(self) -> None:
        forest = make_forest(vs, model(), 3, num_simulations=4)

        def recurrent_fn(states: Any, actions: Any) -> Any:
            output = list(model()(states, actions))
            output[4] = DLPackOnly(np.asarray(output[4]), device=(2, 0))
            return tuple(output)

        with pytest.raises(TypeError, match="'values'.*host memory"):
            forest.search(recurrent_fn)
        assert forest.num_nodes == 3
