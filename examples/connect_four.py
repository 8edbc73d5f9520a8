"""Plays many games of Connect Four at once between two search forests, with random-playout values.

Each forest holds one root per game. Its states are the positions themselves: recurrent_fn gets
the parent positions and the moves of one simulation step for all the games, plays each move on
its parent, and evaluates the new positions together with one random playout each (uniform
priors). Nothing is replayed from the root in Python, and both forests keep their trees from
move to move: after every move each advances to the position it leads to.

Forest A searches with --simulations per move, forest B with --opponent-simulations; A moves
first in the first half of the games and second in the other half.

Run: python3 examples/connect_four.py [--games 64] [--simulations 200]
     [--opponent-simulations 50] [--seed 0]   (with the built module importable)
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import numpy as np
import numpy.typing as npt

import veltra_search
from connect_four_game import NUM_CELLS, START, WIDTH, Position, apply_moves, random_playouts


class PlayoutModel:
    """recurrent_fn for both forests: moves applied to the parent positions, random playouts."""

    def __init__(self, seed: int) -> None:
        self.rng = np.random.default_rng(seed)
        self.evaluations = 0

    def __call__(self, parents: list[Any], columns: npt.NDArray[np.int64]) -> tuple[Any, ...]:
        children = apply_moves(parents, columns)
        values = np.zeros(len(parents))
        open_positions = np.flatnonzero(~children.terminal)
        if open_positions.size:
            values[open_positions] = random_playouts(
                [children.positions[i] for i in open_positions], self.rng)
        self.evaluations += len(parents)
        discounts = np.full(len(parents), -1.0)
        logits = np.zeros((len(parents), WIDTH))
        return children.positions, children.rewards, discounts, logits, values, children.legal


def new_forest(games: int, simulations: int, seed: int, model: PlayoutModel) -> Any:
    config = veltra_search.SearchConfig(WIDTH, num_simulations=simulations, seed=seed)
    root_value = random_playouts([START] * games, model.rng)
    legal = np.array([START.legal()] * games)
    return veltra_search.Forest(config, [START] * games, np.zeros((games, WIDTH)), root_value,
                                legal)


def main() -> None:
    parser = argparse.ArgumentParser(description="Connect Four between two search forests.")
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--simulations", type=int, default=200)
    parser.add_argument("--opponent-simulations", type=int, default=50)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    games = args.games
    model = PlayoutModel(args.seed)
    forests = {
        "A": new_forest(games, args.simulations, args.seed, model),
        "B": new_forest(games, args.opponent_simulations, args.seed + 1, model),
    }
    first = ["A" if g < (games + 1) // 2 else "B" for g in range(games)]
    positions: list[Position] = [START] * games
    winners: list[str] = [""] * games  # "A", "B", "draw"; "" while the game goes on
    start = time.perf_counter()
    simulations = 0
    for ply in range(NUM_CELLS):
        movers = [f if ply % 2 == 0 else ("B" if f == "A" else "A") for f in first]
        moves = np.full(games, -1, dtype=np.int64)
        for name, forest in forests.items():
            if name not in {m for m, w in zip(movers, winners) if not w}:
                continue
            forest.search(model)
            simulations += forest.config.num_simulations * winners.count("")
            chosen = forest.select()
            for g in range(games):
                if movers[g] == name and not winners[g]:
                    moves[g] = chosen[g]
        for g in np.flatnonzero(moves >= 0).tolist():
            move = int(moves[g])
            positions[g], won = positions[g].play(move)
            if won:
                winners[g] = movers[g]
            elif positions[g].plies == NUM_CELLS:
                winners[g] = "draw"
            for forest in forests.values():
                forest.advance(g, move)
        if all(winners):
            break
    elapsed = time.perf_counter() - start

    for g in range(min(games, 4)):
        print(f"game {g}: {first[g]} moved first (x), {describe(winners[g])} after "
              f"{positions[g].plies} moves\n{positions[g]}\n")
    for name in forests:
        won_first = sum(w == name and f == name for w, f in zip(winners, first))
        won_second = sum(w == name and f != name for w, f in zip(winners, first))
        print(f"forest {name} ({forests[name].config.num_simulations} simulations per move): "
              f"won {won_first + won_second} of {games} games "
              f"({won_first} moving first, {won_second} moving second)")
    print(f"draws: {winners.count('draw')}")
    print(f"{simulations} simulations, {model.evaluations} positions evaluated by playouts, "
          f"{elapsed:.1f} s: {simulations / elapsed:,.0f} simulations/s")


def describe(winner: str) -> str:
    return "a draw" if winner == "draw" else f"won by {winner}"


if __name__ == "__main__":
    main()
