"""Fixed opponents and matches: `random`, `mcts:N` (uniform priors, one random playout per leaf,
N simulations a move, on veltra_search) and `checkpoint:PATH`; scores with a 95% interval."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
import veltra_search as vs

from .games import Game, random_playouts
from .search import ForestPlayer, GameModel


class Player(Protocol):
    def start(self, states: list[Any]) -> None: ...
    def choose(self, states: list[Any]) -> npt.NDArray[np.int64]: ...
    def advance(self, moves: npt.NDArray[np.int64], states: list[Any]) -> None: ...


def parse_opponent(opponent: str) -> tuple[str, str]:
    """("random", ""), ("mcts", "N") or ("checkpoint", PATH); ValueError naming a bad opponent."""
    if not isinstance(opponent, str):
        raise TypeError(f"opponent must be a str, not {type(opponent).__name__}")
    kind, _, argument = opponent.partition(":")
    if kind == "random" and not argument:
        return kind, ""
    if kind == "mcts" and argument.isdigit() and int(argument) >= 1:
        return kind, argument
    if kind == "checkpoint" and argument:
        return kind, argument
    raise ValueError(f"unknown opponent {opponent!r}; expected random, mcts:N (N >= 1 simulations) "
                     "or checkpoint:PATH")


class RandomPlayer:
    def __init__(self, game: Game, seed: int) -> None:
        self.game, self.rng = game, np.random.default_rng(seed)

    def start(self, states: list[Any]) -> None:
        pass

    def choose(self, states: list[Any]) -> npt.NDArray[np.int64]:
        moves = np.full(len(states), -1, dtype=np.int64)
        for i, state in enumerate(states):
            legal = np.flatnonzero(self.game.legal_mask(state))
            if legal.size:
                moves[i] = self.rng.choice(legal)
        return moves

    def advance(self, moves: npt.NDArray[np.int64], states: list[Any]) -> None:
        pass


def mcts_player(game: Game, simulations: int, seed: int) -> ForestPlayer:
    rng = np.random.default_rng(seed)
    playouts = getattr(game, "random_playouts", None)

    def evaluate(states: list[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        values = playouts(states, rng) if playouts else random_playouts(game, states, rng)
        return np.zeros((len(states), game.num_actions)), values

    config = vs.SearchConfig(game.num_actions, num_simulations=simulations, dirichlet_fraction=0.0,
                             seed=seed)
    return ForestPlayer(GameModel(game, evaluate), config)


def make_opponent(opponent: str, game: Game, seed: int, simulations: int) -> Player:
    kind, argument = parse_opponent(opponent)
    if kind == "random":
        return RandomPlayer(game, seed)
    if kind == "mcts":
        return mcts_player(game, int(argument), seed)
    from .agent import load_agent

    agent = load_agent(argument, num_simulations=simulations)
    if agent.game.name != game.name:
        raise ValueError(f"opponent checkpoint {argument} plays {agent.game.name}, not {game.name}")
    return agent.player(seed)


@dataclass(frozen=True)
class Score:
    """The mean score (win 1, draw 0.5, loss 0) of `games` games, with a 95% Wilson interval."""

    score: float
    low: float
    high: float
    games: int
    wins: int
    draws: int

    def to_dict(self) -> dict[str, float | int]:
        return {"score": self.score, "low": self.low, "high": self.high, "games": self.games,
                "wins": self.wins, "draws": self.draws}


def score_of(results: list[float]) -> Score:
    n = len(results)
    p = sum(results) / n
    z = 1.959963984540054
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return Score(p, max(0.0, centre - half), min(1.0, centre + half), n,
                 sum(r == 1.0 for r in results), sum(r == 0.5 for r in results))


def play_games(game: Game, first: Player, second: Player, games: int) -> list[float]:
    """`games` games at once, `first` moving first in all; the results for `first`."""
    states = [game.initial_state() for _ in range(games)]
    players = (first, second)
    for player in players:
        player.start(states)
    while True:
        outcomes = [game.outcome(s) for s in states]
        live = [i for i, o in enumerate(outcomes) if o is None]
        if not live:
            break
        moves = np.full(games, -1, dtype=np.int64)
        for index, player in enumerate(players):
            turn = [i for i in live if game.current_player(states[i]) == index]
            if turn:
                chosen = player.choose(states)
                moves[turn] = chosen[turn]
        states = [game.apply(s, int(m)) if m >= 0 else s for s, m in zip(states, moves)]
        for player in players:
            player.advance(moves, states)
    return [(1.0 + float(o)) / 2 for o in outcomes]  # type: ignore[arg-type]


def match(game: Game, agent: Player, opponent: Player, games: int) -> Score:
    """`agent` against `opponent`, colours alternating (the agent moves first in half the games)."""
    as_first = (games + 1) // 2
    results = play_games(game, agent, opponent, as_first)
    if games - as_first:
        results += [1.0 - r for r in play_games(game, opponent, agent, games - as_first)]
    return score_of(results)
