"""Self-play training of agents with veltra_search, PyTorch and Ray.

    python -m veltra_train train --game connect_four --minutes 30 --out runs/c4
    agent = veltra_train.load_agent("runs/c4/checkpoint.pt"); agent.act([3, 3, 2])
"""

from .agent import Agent, load_agent
from .checkpoint import CheckpointError
from .config import TrainConfig
from .games import ConnectFour, Game, Symmetry, TicTacToe, make_game

__all__ = ["Agent", "CheckpointError", "ConnectFour", "Game", "Symmetry", "TicTacToe", "TrainConfig",
           "load_agent", "make_game"]
