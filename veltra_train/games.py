"""Games behind one small interface, and the registry that makes them by name.

A game is one class: it makes an initial state, applies a move to a state (returning a new one;
states are never changed in place), says whose turn it is, which moves are legal and how a
finished game ended, and encodes a state as float32 planes from the point of view of the player to
move. Symmetries map planes and policies together, for the replay buffer's augmentation.

Outcomes are always from player 0's point of view: +1 when player 0 has won, -1 when player 1 has,
0 for a draw, None while the game goes on.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, NamedTuple, Protocol

import numpy as np
import numpy.typing as npt

Planes = npt.NDArray[np.float32]
Mask = npt.NDArray[np.bool_]


@dataclass(frozen=True)
class Symmetry:
    """A map of the board onto itself: `planes` transforms arrays whose last two axes are the
    board, and the policy of the transformed position is `policy[..., action_permutation]`."""

    planes: Callable[[npt.NDArray[Any]], npt.NDArray[Any]]
    action_permutation: npt.NDArray[np.int64]


def identity_only(num_actions: int) -> list[Symmetry]:
    return [Symmetry(lambda planes: planes, np.arange(num_actions))]


class Game(Protocol):
    """What the trainer needs of a game (two players, zero sum, perfect information)."""

    name: str
    num_actions: int
    observation_shape: tuple[int, int, int]  # channels, rows, columns
    symmetries: list[Symmetry]  # the identity first

    def initial_state(self) -> Any: ...
    def current_player(self, state: Any) -> int: ...
    def legal_mask(self, state: Any) -> Mask: ...
    def apply(self, state: Any, action: int) -> Any: ...
    def outcome(self, state: Any) -> float | None: ...
    def encode(self, states: list[Any]) -> Planes: ...
    def render(self, state: Any) -> str: ...


def random_playouts(game: Game, states: list[Any], rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """One uniformly random game from each state: its outcome for the player to move there."""
    values = np.zeros(len(states))
    for i, state in enumerate(states):
        player = game.current_player(state)
        outcome = game.outcome(state)
        while outcome is None:
            state = game.apply(state, int(rng.choice(np.flatnonzero(game.legal_mask(state)))))
            outcome = game.outcome(state)
        values[i] = outcome if player == 0 else -outcome
    return values


# ----------------------------------------------------------------------------------------------
# Connect Four: 6 rows x 7 columns, action = column 0-6 from the left.
# A position is a bitboard: cell (column c, row r from the bottom) is bit 7 * c + r, the seventh
# bit of each column stays empty so that lines never wrap into the next column.

C4_WIDTH, C4_HEIGHT, C4_COLUMN_BITS = 7, 6, 7
C4_BOTTOM = [1 << (C4_COLUMN_BITS * c) for c in range(C4_WIDTH)]
C4_TOP = [1 << (C4_COLUMN_BITS * c + C4_HEIGHT - 1) for c in range(C4_WIDTH)]
C4_SHIFTS = (1, C4_COLUMN_BITS, C4_COLUMN_BITS - 1, C4_COLUMN_BITS + 1)
C4_CELL_BITS = np.array([C4_COLUMN_BITS * c + r for r in range(C4_HEIGHT) for c in range(C4_WIDTH)],
                        dtype=np.uint64)


class FourState(NamedTuple):
    stones: int  # of the player to move
    mask: int  # both players' stones
    won: bool  # the last move completed a line


def _four_in_line(stones: int) -> bool:
    for shift in C4_SHIFTS:
        pairs = stones & (stones >> shift)
        if pairs & (pairs >> (2 * shift)):
            return True
    return False


class ConnectFour:
    name = "connect_four"
    num_actions = C4_WIDTH
    observation_shape = (2, C4_HEIGHT, C4_WIDTH)
    symmetries = [
        Symmetry(lambda planes: planes, np.arange(C4_WIDTH)),
        Symmetry(lambda planes: planes[..., ::-1], np.arange(C4_WIDTH)[::-1].copy()),
    ]

    def initial_state(self) -> FourState:
        return FourState(0, 0, False)

    def current_player(self, state: FourState) -> int:
        return state.mask.bit_count() % 2

    def legal_mask(self, state: FourState) -> Mask:
        if state.won:
            return np.zeros(C4_WIDTH, dtype=bool)
        return np.array([state.mask & top == 0 for top in C4_TOP])

    def apply(self, state: FourState, action: int) -> FourState:
        mask = state.mask | (state.mask + C4_BOTTOM[action])
        mover = state.stones | (mask ^ state.mask)
        return FourState(mover ^ mask, mask, _four_in_line(mover))

    def outcome(self, state: FourState) -> float | None:
        plies = state.mask.bit_count()
        if state.won:
            return 1.0 if plies % 2 == 1 else -1.0  # player 0 made the odd plies
        return 0.0 if plies == C4_WIDTH * C4_HEIGHT else None

    def encode(self, states: list[FourState]) -> Planes:
        """[B, 2, 6, 7], row 0 at the bottom: the stones of the player to move, then the other's."""
        stones = np.array([s.stones for s in states], dtype=np.uint64)
        others = np.array([s.mask for s in states], dtype=np.uint64) ^ stones
        planes = np.stack([stones, others], axis=1)[:, :, None] >> C4_CELL_BITS
        return (planes & np.uint64(1)).astype(np.float32).reshape(len(states), *self.observation_shape)

    def render(self, state: FourState) -> str:
        first = state.stones if self.current_player(state) == 0 else state.stones ^ state.mask
        rows = []
        for r in reversed(range(C4_HEIGHT)):
            cells = []
            for c in range(C4_WIDTH):
                bit = 1 << (C4_COLUMN_BITS * c + r)
                cells.append("." if not state.mask & bit else "x" if first & bit else "o")
            rows.append(" ".join(cells))
        return "\n".join(rows + [" ".join(str(c) for c in range(C4_WIDTH))])

    def random_playouts(self, states: list[FourState], rng: np.random.Generator) -> npt.NDArray[np.float64]:
        """As `random_playouts`, all games at once on NumPy bitboards."""
        stones = np.array([s.stones for s in states], dtype=np.uint64)
        mask = np.array([s.mask for s in states], dtype=np.uint64)
        bottoms, tops = np.array(C4_BOTTOM, dtype=np.uint64), np.array(C4_TOP, dtype=np.uint64)
        results = np.zeros(len(states))
        done = np.array([s.won for s in states])
        results[done] = -1.0  # the player to move has lost
        active = np.flatnonzero(~done)
        stones, mask = stones[active], mask[active]
        sign = 1.0
        while active.size:
            legal = (mask[:, None] & tops) == 0
            playable = legal.any(axis=1)
            column = np.where(legal, rng.random(legal.shape), -1.0).argmax(axis=1)
            new_mask = mask | (mask + bottoms[column])
            mover = stones | (new_mask ^ mask)
            won = playable & _lines_in(mover)
            results[active[won]] = sign
            going_on = playable & ~won
            active, stones, mask = active[going_on], (mover ^ new_mask)[going_on], new_mask[going_on]
            sign = -sign
        return results


def _lines_in(stones: npt.NDArray[np.uint64]) -> npt.NDArray[np.bool_]:
    found = np.zeros(stones.shape, dtype=bool)
    for shift in C4_SHIFTS:
        pairs = stones & (stones >> np.uint64(shift))
        found |= (pairs & (pairs >> np.uint64(2 * shift))) != 0
    return found


# ----------------------------------------------------------------------------------------------
# Tic-tac-toe: action = cell 3 * row + column, row 0 at the top.

TTT_LINES = [sum(1 << c for c in line) for line in (
    (0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))]
TTT_CELLS = np.arange(9, dtype=np.int64)


class CrossState(NamedTuple):
    stones: int  # of the player to move
    others: int
    won: bool


def _dihedral() -> list[Symmetry]:
    symmetries = []
    for flip in (False, True):
        for turns in range(4):
            def transform(planes: npt.NDArray[Any], flip: bool = flip, turns: int = turns) -> npt.NDArray[Any]:
                planes = np.rot90(planes, turns, axes=(-2, -1))
                return planes[..., ::-1] if flip else planes
            permutation = transform(TTT_CELLS.reshape(3, 3)).reshape(9).copy()
            symmetries.append(Symmetry(transform, permutation))
    return symmetries


class TicTacToe:
    name = "tic_tac_toe"
    num_actions = 9
    observation_shape = (2, 3, 3)
    symmetries = _dihedral()

    def initial_state(self) -> CrossState:
        return CrossState(0, 0, False)

    def current_player(self, state: CrossState) -> int:
        return (state.stones | state.others).bit_count() % 2

    def legal_mask(self, state: CrossState) -> Mask:
        if state.won:
            return np.zeros(9, dtype=bool)
        taken = state.stones | state.others
        return (taken >> TTT_CELLS) & 1 == 0

    def apply(self, state: CrossState, action: int) -> CrossState:
        mover = state.stones | (1 << action)
        return CrossState(state.others, mover, any(mover & line == line for line in TTT_LINES))

    def outcome(self, state: CrossState) -> float | None:
        plies = (state.stones | state.others).bit_count()
        if state.won:
            return 1.0 if plies % 2 == 1 else -1.0
        return 0.0 if plies == 9 else None

    def encode(self, states: list[CrossState]) -> Planes:
        bits = np.array([[s.stones, s.others] for s in states], dtype=np.int64).reshape(len(states), 2, 1)
        return ((bits >> TTT_CELLS) & 1).astype(np.float32).reshape(len(states), 2, 3, 3)

    def render(self, state: CrossState) -> str:
        first, second = (state.stones, state.others) if self.current_player(state) == 0 else (
            state.others, state.stones)
        marks = ["x" if first >> c & 1 else "o" if second >> c & 1 else str(c) for c in range(9)]
        return "\n".join(" ".join(marks[3 * r:3 * r + 3]) for r in range(3))


GAMES: dict[str, Callable[[], Game]] = {"connect_four": ConnectFour, "tic_tac_toe": TicTacToe}
OPENSPIEL_PREFIX = "openspiel:"


def make_game(name: str) -> Game:
    """The game called `name`: "connect_four", "tic_tac_toe", "openspiel:<game string>", or
    "module:Class" for your own class (importable wherever the workers run)."""
    if not isinstance(name, str):
        raise TypeError(f"game must be a str, not {type(name).__name__}")
    if name.startswith(OPENSPIEL_PREFIX):
        from .openspiel_game import OpenSpielGame

        return OpenSpielGame(name[len(OPENSPIEL_PREFIX):])
    if ":" in name:
        return _user_game(name)
    if name not in GAMES:
        known = ", ".join(list(GAMES) + [OPENSPIEL_PREFIX + "<game string>", "module:Class"])
        raise ValueError(f"unknown game {name!r}; known games: {known}")
    return GAMES[name]()


def _user_game(name: str) -> Game:
    import importlib

    module_name, _, class_name = name.partition(":")
    try:
        cls = getattr(importlib.import_module(module_name), class_name)
    except (ImportError, AttributeError) as error:
        raise ValueError(f"game {name!r}: cannot import class {class_name!r} from {module_name!r}: {error}") from error
    try:
        game = cls()
    except TypeError as error:
        raise ValueError(f"game {name!r}: {class_name} cannot be made without arguments: {error}") from error
    missing = [m for m in ("name", "num_actions", "observation_shape", "symmetries", "initial_state",
                           "current_player", "legal_mask", "apply", "outcome", "encode", "render")
               if not hasattr(game, m)]
    if missing:
        raise ValueError(f"game {name!r} lacks {', '.join(missing)}")
    return game
