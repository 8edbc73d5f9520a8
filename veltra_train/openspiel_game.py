"""Any two-player, zero-sum, perfect-information, deterministic OpenSpiel game with an observation
tensor, as a `Game`. The state is OpenSpiel's own; `apply` uses `child`, so states never change."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .games import Mask, Planes, identity_only


class OpenSpielGame:
    def __init__(self, game_string: str) -> None:
        try:
            import pyspiel
        except ImportError as error:
            raise ValueError("game 'openspiel:...' needs the open_spiel package (pip install open_spiel)") from error
        try:
            game = pyspiel.load_game(game_string)
        except pyspiel.SpielError as error:
            raise ValueError(f"OpenSpiel cannot load game {game_string!r}: {error}") from error
        kind = game.get_type()
        problems = []
        if game.num_players() != 2:
            problems.append(f"{game.num_players()} players")
        if kind.utility != pyspiel.GameType.Utility.ZERO_SUM:
            problems.append("not zero-sum")
        if kind.information != pyspiel.GameType.Information.PERFECT_INFORMATION:
            problems.append("imperfect information")
        if kind.chance_mode != pyspiel.GameType.ChanceMode.DETERMINISTIC:
            problems.append("chance events")
        if kind.dynamics != pyspiel.GameType.Dynamics.SEQUENTIAL:
            problems.append("simultaneous moves")
        if not kind.provides_observation_tensor:
            problems.append("no observation tensor")
        if problems:
            raise ValueError(f"OpenSpiel game {game_string!r} cannot be trained: {', '.join(problems)}; "
                             "it must be a two-player, zero-sum, perfect-information, deterministic, "
                             "sequential game with an observation tensor")
        self.game = game
        self.name = "openspiel:" + game_string
        self.num_actions = game.num_distinct_actions()
        shape = list(game.observation_tensor_shape())
        self._shape = shape
        # Planes of 1, 2 or 3 dimensions become [C, H, W]; one more plane says whose turn it is.
        channels, rows, columns = ([1, 1] + shape)[-3:] if len(shape) < 3 else (
            math.prod(shape[:-2]), shape[-2], shape[-1])
        self.observation_shape = (channels + 1, rows, columns)
        self.symmetries = identity_only(self.num_actions)

    def initial_state(self) -> Any:
        return self.game.new_initial_state()

    def current_player(self, state: Any) -> int:
        return int(state.current_player()) if not state.is_terminal() else 0

    def legal_mask(self, state: Any) -> Mask:
        mask = np.zeros(self.num_actions, dtype=bool)
        if not state.is_terminal():
            mask[state.legal_actions()] = True
        return mask

    def apply(self, state: Any, action: int) -> Any:
        return state.child(int(action))

    def outcome(self, state: Any) -> float | None:
        if not state.is_terminal():
            return None
        return float(np.sign(state.returns()[0]))

    def encode(self, states: list[Any]) -> Planes:
        channels, rows, columns = self.observation_shape
        planes = np.empty((len(states), channels, rows, columns), dtype=np.float32)
        for i, state in enumerate(states):
            player = self.current_player(state)
            planes[i, :-1] = np.asarray(state.observation_tensor(player), dtype=np.float32).reshape(
                channels - 1, rows, columns)
            planes[i, -1] = player
        return planes

    def render(self, state: Any) -> str:
        return str(state)
