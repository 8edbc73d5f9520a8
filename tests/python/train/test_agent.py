"""load_agent(...).act: legal moves from any position, the win when there is one, clear errors."""

import numpy as np
import pytest

from veltra_train import TrainConfig, load_agent
from veltra_train.games import make_game
from test_checkpoints import write_checkpoint

WON_IN_ONE = {
    "tic_tac_toe": ([0, 3, 1, 4], 2),  # x x . / o o . : x completes the top row
    "connect_four": ([0, 6, 0, 6, 0, 5], 0),  # three in column 0
}


@pytest.fixture(params=sorted(WON_IN_ONE))
def agent(request, tmp_path):
    config = TrainConfig(game=request.param, blocks=1, channels=8)
    # Uniform priors: PUCT tries every move within 64 simulations (a low prior on the winning move
    # could keep it untried), so the search must find the win whatever the values say.
    return load_agent(write_checkpoint(tmp_path / "checkpoint.pt", config, uniform_priors=True),
                      num_simulations=64)


class TestAct:
    def test_takes_a_win_in_one(self, agent):
        moves, win = WON_IN_ONE[agent.game.name]
        assert agent.act(moves) == win

    def test_moves_are_legal_along_random_games(self, agent):
        game, rng = agent.game, np.random.default_rng(0)
        for _ in range(3):
            state, moves = game.initial_state(), []
            while game.outcome(state) is None:
                move = agent.act(moves)
                assert game.legal_mask(state)[move]
                move = move if rng.random() < 0.5 else int(rng.choice(np.flatnonzero(game.legal_mask(state))))
                state, moves = game.apply(state, move), moves + [move]

    def test_bad_moves_are_refused_by_index(self, agent):
        full = [0] * (make_game(agent.game.name).observation_shape[1] + 1)  # column/cell 0 overfull
        with pytest.raises(ValueError, match=r"moves\[\d\] = 0 is not a legal move"):
            agent.act(full if agent.game.name == "connect_four" else [0, 0])
        with pytest.raises(ValueError, match=r"moves\[0\] = 99 is not a legal move"):
            agent.act([99])
        with pytest.raises(TypeError, match=r"moves\[1\] must be an int, not str"):
            agent.act([1, "2"])
        moves, win = WON_IN_ONE[agent.game.name]
        with pytest.raises(ValueError, match="the game is over"):
            agent.act(moves + [win])


def test_load_agent_refuses_bad_simulations(tmp_path):
    with pytest.raises(ValueError, match="num_simulations must be an int >= 1"):
        load_agent(write_checkpoint(tmp_path / "c.pt"), num_simulations=0)
