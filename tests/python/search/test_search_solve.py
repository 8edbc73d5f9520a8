"""solve=True: the values a search proves are tic-tac-toe's minimax values and its proven moves are
best; games of searches on random models with exact outcomes match the reference bit for bit
(both policies, some roots, threads, reuse); value_bounds and the outcomes it cannot take are
refused with nothing applied."""

from __future__ import annotations

import functools
import math
import random
import sys

import numpy as np
import pytest
import veltra_search as vs

from helpers import EXAMPLES, run_example
from search_models import Pair, RandomModel, make_forest, reference
from test_search_agreement import play_round, policy_options

sys.path.insert(0, str(EXAMPLES))
import solved_tic_tac_toe as game  # noqa: E402
from tic_tac_toe import EMPTY, EMPTY_BOARD, legal_moves, play, winner  # noqa: E402


@functools.lru_cache(maxsize=None)
def negamax(board: tuple) -> float:
    """The game's value for the player to move."""
    if winner(board) != EMPTY:
        return -1.0
    moves = legal_moves(board)
    return max(-negamax(play(board, cell)) for cell in moves) if moves else 0.0


def random_board(rng: random.Random, moves: int) -> tuple:
    board = EMPTY_BOARD
    for _ in range(moves):
        if not legal_moves(board):
            break
        board = play(board, rng.choice(legal_moves(board)))
    return board


class TestTicTacToeIsSolved:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(6))
    def test_solved_values_are_minimax_values_and_moves_are_best(self, seed: int,
                                                                 policy: str) -> None:
        boards = [random_board(random.Random(seed * 10 + k), 3 + k % 3) for k in range(4)]
        config = vs.SearchConfig(9, num_simulations=20_000, solve=True, pb_c_init=20.0,
                                 dirichlet_fraction=0.0, policy=policy)
        forest = vs.Forest(config, boards, root_fn=game.evaluate)
        output = forest.search(game.recurrent_fn)
        # PUCT proves them all; Gumbel's schedules keep visiting solved children, so only some
        solved = output.solved
        assert solved.all() if policy == "puct" else solved.any()
        values = [negamax(b) for b in boards]
        np.testing.assert_array_equal(output.solved_values, np.where(solved, values, np.nan))
        for board, move, value, proven in zip(boards, output.selected_actions,
                                              output.solved_values, solved):
            if not proven:
                continue
            if legal_moves(board):
                assert -negamax(play(board, int(move))) == value
            else:
                assert move == -1
        if solved.all():
            assert output.num_simulations < 20_000
            again = forest.search(game.recurrent_fn)
            assert again.num_simulations == 0
            np.testing.assert_array_equal(again.visit_counts, output.visit_counts)

    def test_the_tree_marks_what_is_solved(self) -> None:
        board = (1, 1, 0, -1, -1, 0, 0, 0, 0)  # X to move wins at 2
        forest = vs.Forest(vs.SearchConfig(9, num_simulations=50, solve=True), [board],
                           root_fn=game.evaluate)
        output = forest.search(game.recurrent_fn)
        tree = forest.tree(0)
        winning = [c for c in tree["children"] if c["action"] == 2]
        assert winning and winning[0]["solved"] and winning[0]["value"] == -1.0
        assert tree["solved"] and output.solved_values[0] == 1.0 and output.selected_actions[0] == 2

    def test_the_example_reports_a_proven_win(self) -> None:
        assert "a win for the player to move, proven move" in run_example(
            "solved_tic_tac_toe.py", "--moves", "0,1")


class TestSolveAgrees:
    @pytest.mark.parametrize("policy", ["puct", "gumbel"])
    @pytest.mark.parametrize("seed", range(10))
    def test_a_game_of_solving_searches_matches_the_reference(self, seed: int,
                                                              policy: str) -> None:
        rng = random.Random(3000 + seed)
        num_actions = rng.randint(2, 4)
        discounts = rng.choice([(-1.0,), (1.0,), (1.0, -1.0)])

        def make_model() -> RandomModel:
            return RandomModel(num_actions, seed, legal_fraction=0.6, terminal_fraction=0.45,
                               discounts=discounts, exact_terminals=True)

        num_roots = rng.randint(1, 6)
        pair = Pair(vs, make_model, num_roots, num_simulations=rng.choice([8, 40]), solve=True,
                    dirichlet_fraction=rng.choice([0.0, 0.25]), seed=seed,
                    num_threads=rng.choice([1, 2]), **policy_options(policy, rng))
        solved = 0
        for _ in range(3):
            mask = [rng.random() < 0.7 for _ in range(num_roots)]
            solved += int(pair.search(roots=mask).solved.sum())
            play_round(pair, rng)
        assert solved > 0  # the rules were exercised, not only the searches around them


class TestSolveRefuses:
    @pytest.mark.parametrize("bounds, error", [
        ((1.0, -1.0), ValueError), ((0.0, 0.0), ValueError), ((-math.inf, 1.0), ValueError),
        ((0.0, math.nan), ValueError), ((0.0,), ValueError), (0.5, TypeError),
        (("a", 1.0), TypeError)])
    @pytest.mark.parametrize("module", [vs, reference])
    def test_bad_value_bounds(self, module, bounds, error) -> None:
        with pytest.raises(error, match="value_bounds"):
            module.SearchConfig(3, solve=True, value_bounds=bounds)

    @pytest.mark.parametrize("module", [vs, reference])
    def test_solve_must_be_a_bool(self, module) -> None:
        with pytest.raises(TypeError, match="solve must be a bool"):
            module.SearchConfig(3, solve=1)

    @pytest.mark.parametrize("module", [vs, reference])
    def test_outcomes_outside_the_bounds_are_refused_with_nothing_applied(self, module) -> None:
        config = module.SearchConfig(2, num_simulations=4, solve=True, value_bounds=(-0.5, 0.5))
        none_legal = np.zeros((1, 2), dtype=bool)
        with pytest.raises(ValueError, match=r"value_bounds \[-0.5, 0.5\]: row 0 has value 0.9"):
            module.Forest(config, [0], np.zeros((1, 2)), np.array([0.9]), none_legal)
        forest = module.Forest(config, [0], np.zeros((1, 2)), np.zeros(1))
        with pytest.raises(ValueError, match="row 0 has value -0.9"):
            forest.reset(0, 1, np.zeros(2), -0.9, none_legal[0])

        def model(value: float, reward: float, legal: bool):
            def recurrent_fn(states, actions):
                count = len(states)
                return ([1] * count, np.full(count, reward), np.full(count, -1.0),
                        np.zeros((count, 2)), np.full(count, value), np.full((count, 2), legal))
            return recurrent_fn

        with pytest.raises(ValueError, match=r"reward \+ discount \* value 0.75"):
            forest.search(model(-0.5, 0.25, False))
        assert forest.num_nodes == 1 and forest.tree(0)["visits"] == 1
        assert forest.search(model(0.0, 0.0, True)).num_simulations == 4
