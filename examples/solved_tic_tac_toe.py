"""Solves tic-tac-toe with veltra_search: a search with solve=True proves the value of a position.

Every position is evaluated with uniform priors and a value of 0, except finished games, whose
value is the outcome for the player to move: -1 when the opponent has just completed a line, 0 for
a full board. With solve=True those outcomes are exact, and the search proves positions from
them: a position is solved once a move is proven to win or every move is proven, and the search
ends when its root is solved. A large exploration constant suits these uninformative values (see
docs/playing.md).

Run: python3 examples/solved_tic_tac_toe.py [--moves 0,4] [--simulations 200000]
(with the built modules importable, e.g. PYTHONPATH=build).
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

import veltra_search

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from tic_tac_toe import EMPTY, EMPTY_BOARD, Board, legal_moves, play, winner  # noqa: E402

NUM_CELLS = 9
DEFAULT_SIMULATIONS = 200_000
OUTCOMES = {1.0: "a win for the player to move", 0.0: "a draw",
            -1.0: "a loss for the player to move"}


def evaluate(boards: list[Board]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The root_fn: uniform priors, the outcome of finished games, 0 otherwise."""
    legal = np.zeros((len(boards), NUM_CELLS), dtype=bool)
    values = np.zeros(len(boards))
    for row, board in enumerate(boards):
        legal[row, legal_moves(board)] = True
        if winner(board) != EMPTY:
            values[row] = -1.0  # the player to move has lost
    return np.zeros((len(boards), NUM_CELLS)), values, legal


def recurrent_fn(boards: list[Board], cells: np.ndarray) -> tuple[Any, ...]:
    """Plays each cell; the value of the board reached is for the opponent, hence discount -1."""
    next_boards = [play(board, int(cell)) for board, cell in zip(boards, cells)]
    logits, values, legal = evaluate(next_boards)
    count = len(next_boards)
    return next_boards, np.zeros(count), np.full(count, -1.0), logits, values, legal


def solve(board: Board, simulations: int,
          pb_c_init: float = 20.0) -> tuple[veltra_search.SearchOutput, int]:
    """The search of `board` and the positions it evaluated (the nodes of its tree)."""
    config = veltra_search.SearchConfig(NUM_CELLS, num_simulations=simulations, solve=True,
                                        pb_c_init=pb_c_init, dirichlet_fraction=0.0)
    forest = veltra_search.Forest(config, [board], root_fn=evaluate)
    output = forest.search(recurrent_fn)
    return output, forest.num_nodes


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--moves", default="", help="cells played first, e.g. 0,4")
    parser.add_argument("--simulations", type=int, default=DEFAULT_SIMULATIONS)
    args = parser.parse_args(argv)
    board = EMPTY_BOARD
    for cell in filter(None, args.moves.split(",")):
        board = play(board, int(cell))
    output, positions = solve(board, args.simulations)
    if not output.solved[0]:
        print(f"not solved after {output.num_simulations} simulations")
        return
    value = float(output.solved_values[0])
    print(f"solved after {output.num_simulations} simulations ({positions} positions evaluated): "
          f"{OUTCOMES.get(value, value)}, proven move {int(output.selected_actions[0])}")


if __name__ == "__main__":
    main()
