"""A trained agent for outside programs: `load_agent(path).act(moves)`."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from .checkpoint import CheckpointError, load_checkpoint
from .config import TrainConfig, search_config
from .games import Game, make_game
from .network import Evaluator, PolicyValueNet
from .search import ForestPlayer, GameModel


def build_network(game: Game, config: TrainConfig) -> PolicyValueNet:
    return PolicyValueNet(game.observation_shape, game.num_actions, config.blocks, config.channels)


def network_from_checkpoint(data: dict[str, Any], path: str | os.PathLike[str]) -> tuple[TrainConfig, PolicyValueNet]:
    """The run's config and its network with the checkpoint's weights; CheckpointError when they
    do not fit together."""
    try:
        config = TrainConfig.from_dict(data["config"])
        net = build_network(make_game(config.game), config)
        net.load_state_dict(data["model"])
    except (TypeError, ValueError, KeyError) as error:
        raise CheckpointError(f"checkpoint {path} has an unusable config: {error}") from error
    except RuntimeError as error:  # load_state_dict lists every mismatch: name the first
        lines = [line.strip() for line in str(error).splitlines()[1:] if line.strip()] or [str(error)]
        raise CheckpointError(f"checkpoint {path}: its weights do not fit its network ({config.game}, "
                              f"{config.blocks} blocks of {config.channels} channels): {lines[0]}") from error
    return config, net.eval()


class Agent:
    """The network of a checkpoint with search, playing at temperature 0."""

    def __init__(self, game: Game, config: TrainConfig, net: PolicyValueNet, num_simulations: int) -> None:
        self.game, self.config, self.net = game, config, net
        self.num_simulations = num_simulations
        self.evaluate = Evaluator(game, net)

    def player(self, seed: int = 0) -> ForestPlayer:
        return ForestPlayer(GameModel(self.game, self.evaluate),
                            search_config(self.config, self.num_simulations, seed, training=False))

    def act(self, moves: list[int]) -> int:
        """The agent's move in the position reached from the start by `moves`."""
        state = self.game.initial_state()
        for index, move in enumerate(moves):
            if isinstance(move, bool) or not isinstance(move, (int, np.integer)):
                raise TypeError(f"moves[{index}] must be an int, not {type(move).__name__}")
            if self.game.outcome(state) is not None:
                raise ValueError(f"moves[{index}]: the game is already over")
            if not 0 <= move < self.game.num_actions or not self.game.legal_mask(state)[move]:
                raise ValueError(f"moves[{index}] = {move} is not a legal move in that position")
            state = self.game.apply(state, int(move))
        if self.game.outcome(state) is not None:
            raise ValueError("the game is over after these moves; there is no move to make")
        player = self.player()
        player.start([state])
        return int(player.choose([state])[0])


def load_agent(path: str | os.PathLike[str], num_simulations: int = 64) -> Agent:
    """The agent of a checkpoint written by `python -m veltra_train train`."""
    if isinstance(num_simulations, bool) or not isinstance(num_simulations, int) or num_simulations < 1:
        raise ValueError(f"num_simulations must be an int >= 1, not {num_simulations!r}")
    config, net = network_from_checkpoint(load_checkpoint(path), path)
    return Agent(make_game(config.game), config, net, num_simulations)
