"""Search on a game: the recurrent_fn that plays moves and evaluates the new positions, and the
players that hold one forest for many games at once."""

from __future__ import annotations

import time
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
import veltra_search as vs

from .games import Game

# Priors (logits [B, A]) and values [B] of states, for the player to move in each.
EvaluateFn = Callable[[list[Any]], tuple[npt.NDArray[Any], npt.NDArray[Any]]]


class GameModel:
    """recurrent_fn for veltra_search: applies the moves, evaluates the open positions in one call.

    A move that ends the game has the outcome as reward for its mover and discount 0; any other
    has reward 0 and discount -1 when the turn passes (the value changes sides), +1 when it does
    not. `game_seconds` and `evaluate_seconds` add up where the time goes."""

    def __init__(self, game: Game, evaluate: EvaluateFn) -> None:
        self.game, self.evaluate = game, evaluate
        self.game_seconds = 0.0
        self.evaluate_seconds = 0.0

    def roots(self, states: list[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[np.bool_]]:
        """Logits, values and legal masks of `states` for new roots (terminal ones not evaluated)."""
        start = time.perf_counter()
        legal = np.stack([self.game.legal_mask(s) for s in states])
        open_rows = np.flatnonzero(legal.any(axis=1))
        self.game_seconds += time.perf_counter() - start
        logits, values = self._evaluate(states, open_rows)
        return logits, values, legal

    def _evaluate(self, states: list[Any], rows: npt.NDArray[np.int64]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        logits, values = np.zeros((len(states), self.game.num_actions)), np.zeros(len(states))
        if rows.size:
            start = time.perf_counter()
            logits[rows], values[rows] = self.evaluate([states[i] for i in rows])
            self.evaluate_seconds += time.perf_counter() - start
        return logits, values

    def __call__(self, parents: list[Any], actions: npt.NDArray[np.int64]) -> tuple[Any, ...]:
        start = time.perf_counter()
        game = self.game
        children, rewards, discounts = [], np.zeros(len(parents)), np.zeros(len(parents))
        for i, (parent, action) in enumerate(zip(parents, actions.tolist())):
            child = game.apply(parent, action)
            children.append(child)
            mover = game.current_player(parent)
            outcome = game.outcome(child)
            if outcome is None:
                discounts[i] = -1.0 if game.current_player(child) != mover else 1.0
            else:
                rewards[i] = outcome if mover == 0 else -outcome
        legal = np.stack([game.legal_mask(c) for c in children])
        open_rows = np.flatnonzero(discounts != 0.0)
        legal[discounts == 0.0] = False
        self.game_seconds += time.perf_counter() - start
        logits, values = self._evaluate(children, open_rows)
        return children, rewards, discounts, logits, values, legal


class ForestPlayer:
    """Plays many games at once with one forest, keeping each tree from move to move."""

    def __init__(self, model: GameModel, config: Any) -> None:
        self.model, self.config = model, config
        self.forest: Any = None

    def start(self, states: list[Any]) -> None:
        logits, values, legal = self.model.roots(states)
        self.forest = vs.Forest(self.config, list(states), logits, values, legal)

    def choose(self, states: list[Any]) -> npt.NDArray[np.int64]:
        """The move in every game (-1 where it is over): the most visited action under PUCT, the
        selected action under Gumbel, both what select(0.0) returns."""
        self.forest.search(self.model)
        return self.forest.select(0.0)

    def advance(self, moves: npt.NDArray[np.int64], states: list[Any]) -> None:
        """Moves every tree to the position `states[i]` reached by `moves[i]` (-1: no move). A
        root still pending (moved twice without a search) restarts from its state."""
        pending = [i for i, s in enumerate(self.forest.root_states) if s is None]
        for i in np.flatnonzero(moves >= 0).tolist():
            if i not in pending:
                self.forest.advance(i, int(moves[i]))
        if pending:
            logits, values, legal = self.model.roots([states[i] for i in pending])
            for row, i in enumerate(pending):
                self.forest.reset(i, states[i], logits[row], values[row], legal[row])
