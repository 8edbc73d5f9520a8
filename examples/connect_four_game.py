"""Connect Four positions as bitboards, and the recurrent_fn pieces the examples share.

A position is two integers: the stones of the player to move and the mask of all stones. Each
column takes 7 bits, the bottom six for its cells and an empty seventh so that lines never wrap
from one column into the next: cell (column c, row r) is bit 7 * c + r.

A move is scored from the point of view of its mover and a value from that of the player to move,
which is the discount of -1: the reward of a move that completes four in a line is +1 and the
position after it is terminal (no legal move, value 0); a move that fills the board is a draw,
reward 0 and terminal; any other move has reward 0 and a position to evaluate.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

WIDTH, HEIGHT, COLUMN_BITS = 7, 6, 7
NUM_CELLS = WIDTH * HEIGHT
COLUMN_BOTTOM = [1 << (COLUMN_BITS * c) for c in range(WIDTH)]
COLUMN_TOP = [1 << (COLUMN_BITS * c + HEIGHT - 1) for c in range(WIDTH)]
# Neighbours along a column, a row and the two diagonals.
LINE_SHIFTS = (1, COLUMN_BITS, COLUMN_BITS - 1, COLUMN_BITS + 1)

Floats = npt.NDArray[np.float64]
Bools = npt.NDArray[np.bool_]
Words = npt.NDArray[np.uint64]


class Position(NamedTuple):
    stones: int  # of the player to move
    mask: int  # of both players

    @property
    def plies(self) -> int:
        return self.mask.bit_count()

    def legal(self) -> list[bool]:
        return [self.mask & top == 0 for top in COLUMN_TOP]

    def play(self, column: int) -> tuple[Position, bool]:
        """The position after the player to move drops a stone in `column`, and whether that
        stone completes a line."""
        mask = self.mask | (self.mask + COLUMN_BOTTOM[column])
        mover = self.stones | (mask ^ self.mask)
        return Position(mover ^ mask, mask), has_line(mover)

    def __str__(self) -> str:
        """The board, top row first: x for the stones of the player who moved first, o for the
        other player's."""
        first = self.stones if self.plies % 2 == 0 else self.stones ^ self.mask
        rows = []
        for r in reversed(range(HEIGHT)):
            row = ""
            for c in range(WIDTH):
                bit = 1 << (COLUMN_BITS * c + r)
                row += "." if not self.mask & bit else "x" if first & bit else "o"
            rows.append(row)
        return "\n".join(rows)


START = Position(0, 0)


def has_line(stones: int) -> bool:
    for shift in LINE_SHIFTS:
        pairs = stones & (stones >> shift)
        if pairs & (pairs >> (2 * shift)):
            return True
    return False


class Children(NamedTuple):
    """What recurrent_fn returns about the positions its moves lead to."""

    positions: list[Position]
    rewards: Floats
    terminal: Bools
    legal: Bools


def apply_moves(parents: list[Position], columns: npt.NDArray[np.int64]) -> Children:
    positions, rewards, terminal = [], np.zeros(len(parents)), np.zeros(len(parents), dtype=bool)
    for i, (parent, column) in enumerate(zip(parents, columns.tolist())):
        child, won = parent.play(column)
        positions.append(child)
        rewards[i] = 1.0 if won else 0.0
        terminal[i] = won or child.plies == NUM_CELLS
    legal = np.array([p.legal() for p in positions], dtype=bool).reshape(len(positions), WIDTH)
    legal[terminal] = False
    return Children(positions, rewards, terminal, legal)


def random_playouts(positions: list[Position], rng: np.random.Generator) -> Floats:
    """One uniformly random game from each position, all at once: +1 where the player to move
    wins it, -1 where it loses, 0 for a draw."""
    stones = np.array([p.stones for p in positions], dtype=np.uint64)
    mask = np.array([p.mask for p in positions], dtype=np.uint64)
    bottoms = np.array(COLUMN_BOTTOM, dtype=np.uint64)
    tops = np.array(COLUMN_TOP, dtype=np.uint64)
    results = np.zeros(len(positions))
    active = np.arange(len(positions))
    sign = 1.0  # +1 while the player to move at the start is moving
    while active.size:
        legal = (mask[:, None] & tops) == 0
        playable = legal.any(axis=1)
        scores = np.where(legal, rng.random(legal.shape), -1.0)
        column = scores.argmax(axis=1)
        new_mask = mask | (mask + bottoms[column])
        mover = stones | (new_mask ^ mask)
        won = playable & lines_in(mover)
        results[active[won]] = sign
        going_on = playable & ~won
        active, stones, mask = active[going_on], (mover ^ new_mask)[going_on], new_mask[going_on]
        sign = -sign
    return results


# Bit of each cell, row by row from the bottom, for encode().
CELL_BITS = np.array([COLUMN_BITS * c + r for r in range(HEIGHT) for c in range(WIDTH)],
                     dtype=np.uint64)


def encode(positions: list[Position]) -> npt.NDArray[np.float32]:
    """Network input [B, 2, HEIGHT, WIDTH]: the stones of the player to move, then the other's."""
    stones = np.array([p.stones for p in positions], dtype=np.uint64)
    others = np.array([p.mask for p in positions], dtype=np.uint64) ^ stones
    planes = np.stack([stones, others], axis=1)[:, :, None] >> CELL_BITS
    return (planes & np.uint64(1)).astype(np.float32).reshape(len(positions), 2, HEIGHT, WIDTH)


def lines_in(stones: Words) -> Bools:
    found = np.zeros(stones.shape, dtype=bool)
    for shift in LINE_SHIFTS:
        pairs = stones & (stones >> np.uint64(shift))
        found |= (pairs & (pairs >> np.uint64(2 * shift))) != 0
    return found
