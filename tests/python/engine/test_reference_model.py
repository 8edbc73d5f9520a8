"""The reference model's building blocks (reference/engine_model.py,
reference/single_precision.py) against known values."""

import math

from reference import engine_model as ref
import pytest
import veltra_engine as ve
from reference.single_precision import EXACT_LOG, f32, sqrt_f32


class TestReferenceModel:
    """The model's own building blocks against known reference values."""

    @pytest.mark.parametrize(
        ("seed", "skip", "expected"),
        [(0, 0, [2357136044, 2546248239, 3071714933]), (5489, 9999, [4123659995])],
    )
    def test_mt19937_sequence(self, seed: int, skip: int, expected: list[int]) -> None:
        rng = ref.MT19937(seed)
        for _ in range(skip):
            rng()
        assert [rng() for _ in expected] == expected

    def test_index_draw_for_seed_0_and_three_actions(self) -> None:
        assert ref.uniform_index(ref.MT19937(0), 3) == 1

    @pytest.mark.parametrize(
        ("value", "expected"),
        [
            (0.1, 0.10000000149011612),
            (1e39, math.inf),
            (-1e39, -math.inf),
            (3.4028235e38, 3.4028234663852886e38),
        ],
    )
    def test_f32_rounds_to_nearest(self, value: float, expected: float) -> None:
        assert f32(value) == expected

    def test_logarithm_is_the_native_single_precision_one(self) -> None:
        # ln(1579) is the first visit count where the rounded double logarithm and glibc's logf
        # differ; with a child of 2 visits and c = 1 the difference reaches the score.
        assert EXACT_LOG, "the C library's logf is not reachable; scores may differ by 1 ulp"
        parent, visits = 1579, 2
        rounded_double = f32(sqrt_f32(f32(f32(math.log(parent)) / visits)))
        model_parent = ref.ModelNode(-1, visits=parent)
        model_child = ref.ModelNode(0, parent=model_parent, visits=visits)
        assert model_child.ucb(1.0) != rounded_double

        node = ve.Node()
        child = node.add_child(0, 0.0)
        for _ in range(parent):
            node.update(0.0)
        for _ in range(visits):
            child.update(0.0)
        assert child.ucb_score(1.0) == model_child.ucb(1.0)
