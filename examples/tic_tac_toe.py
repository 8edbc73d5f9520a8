"""Plays tic-tac-toe with a Monte Carlo tree search driven by hand.

The tree's nodes (veltra_engine.Node) hold only moves and statistics; the game lives in Python.
Each iteration of the search for one move:

1. Selection: from the root, UCBSelection picks a child while the node has children, and the
   move of each picked node is replayed on a copy of the board.
2. Expansion: if the game is not over there, FullExpansion gives the node one child per legal
   move and returns the first, which is played too.
3. Simulation: the game is finished with uniformly random moves.
4. Backpropagation: every node on the walked path is updated with the result as seen by the
   player who made that node's move, so the sign flips from one level to the next.

The move played is the root child visited most often. The searching player is X and moves
first; O plays uniformly random moves. One generator, seeded from the command line, drives both
the random playouts and the opponent, so a seed always gives the same games.

Run: python3 examples/tic_tac_toe.py [--games 100] [--seed 0] [--iterations 1000]
(with the built module importable, e.g. PYTHONPATH=build).
"""

import argparse
import dataclasses
import random
from collections.abc import Sequence

import veltra_engine

X, O, EMPTY = 1, -1, 0
# Nine cells, row by row, each X, O or EMPTY.
Board = tuple[int, ...]
EMPTY_BOARD: Board = (EMPTY,) * 9
LINES = (
    (0, 1, 2), (3, 4, 5), (6, 7, 8),  # rows
    (0, 3, 6), (1, 4, 7), (2, 5, 8),  # columns
    (0, 4, 8), (2, 4, 6),  # diagonals
)  # fmt: skip
ITERATIONS = 1000


def to_move(board: Board) -> int:
    """The player whose turn it is: X moves first, then the players alternate."""
    return X if board.count(X) == board.count(O) else O


def play(board: Board, cell: int) -> Board:
    """The board after the player to move marks `cell`."""
    if board[cell] != EMPTY:
        raise ValueError(f"cell {cell} is taken")
    return board[:cell] + (to_move(board),) + board[cell + 1 :]


def winner(board: Board) -> int:
    """X or O if that player has three in a line, EMPTY otherwise."""
    for a, b, c in LINES:
        if board[a] != EMPTY and board[a] == board[b] == board[c]:
            return board[a]
    return EMPTY


def legal_moves(board: Board) -> list[int]:
    """The empty cells, or none once the game is won."""
    if winner(board) != EMPTY:
        return []
    return [cell for cell, mark in enumerate(board) if mark == EMPTY]


def random_playout(board: Board, rng: random.Random) -> int:
    """Finishes the game with uniformly random moves; returns the winner (EMPTY: a draw)."""
    while moves := legal_moves(board):
        board = play(board, rng.choice(moves))
    return winner(board)


def search(board: Board, iterations: int, rng: random.Random) -> int:
    """The move the tree search picks for the player to move; the game must not be over."""
    root = veltra_engine.Node()
    selection = veltra_engine.UCBSelection()
    expansion = veltra_engine.FullExpansion()
    # Nodes cannot list their children, so the root's children are collected from the paths.
    root_children: dict[int, veltra_engine.Node] = {}
    for _ in range(iterations):
        node, state, path = root, board, [root]
        # 1. Selection: follow UCB1 down to a node without children.
        while node.is_expanded():
            child = selection.select(node)
            assert child is not None  # only None selects None
            node, state = child, play(state, child.action())
            path.append(node)
        # 2. Expansion: one child per legal move, continuing from the first.
        if moves := legal_moves(state):
            child = expansion.expand(node, moves)
            assert child is not None
            node, state = child, play(state, child.action())
            path.append(node)
        # 3. Simulation.
        result = random_playout(state, rng)
        # 4. Backpropagation. The last node's move was made by the player not to move in `state`.
        value = float(result * -to_move(state))
        for visited in reversed(path):
            visited.update(value)
            value = -value
        root_children[path[1].action()] = path[1]
    return max(root_children.values(), key=lambda child: child.visit_count()).action()


def play_game(rng: random.Random, iterations: int = ITERATIONS) -> int:
    """One game of the searching X against a random O; returns the winner (EMPTY: a draw)."""
    board = EMPTY_BOARD
    while moves := legal_moves(board):
        if to_move(board) == X:
            cell = search(board, iterations, rng)
        else:
            cell = rng.choice(moves)
        board = play(board, cell)
    return winner(board)


@dataclasses.dataclass
class Tally:
    """Results from X's point of view."""

    wins: int = 0
    draws: int = 0
    losses: int = 0

    def __str__(self) -> str:
        return f"wins {self.wins} draws {self.draws} losses {self.losses}"


def play_games(games: int, seed: int, iterations: int = ITERATIONS) -> Tally:
    rng = random.Random(seed)
    tally = Tally()
    for _ in range(games):
        result = play_game(rng, iterations)
        if result == X:
            tally.wins += 1
        elif result == O:
            tally.losses += 1
        else:
            tally.draws += 1
    return tally


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="Tree search (X) against a random player (O).")
    parser.add_argument("--games", type=int, default=100)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument(
        "--iterations", type=int, default=ITERATIONS, help="search iterations per move"
    )
    args = parser.parse_args(argv)
    print(play_games(args.games, args.seed, args.iterations))


if __name__ == "__main__":
    main()
