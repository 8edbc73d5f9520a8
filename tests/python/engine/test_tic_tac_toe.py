"""The tic-tac-toe example: its game rules and its play against a random opponent."""

import pathlib
import random
import re
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "examples"))

import tic_tac_toe as game  # noqa: E402


def board_with(cells: dict[int, int]) -> game.Board:
    return tuple(cells.get(cell, game.EMPTY) for cell in range(9))


def board_from(rows: str) -> game.Board:
    """A board drawn as nine characters from 'X', 'O' and '.', row by row."""
    marks = {"X": game.X, "O": game.O, ".": game.EMPTY}
    return tuple(marks[char] for char in rows.replace(" ", ""))


class TestRules:
    @pytest.mark.parametrize("player", [game.X, game.O])
    @pytest.mark.parametrize("line", game.LINES)
    def test_every_line_wins(self, line: tuple[int, int, int], player: int) -> None:
        board = board_with({cell: player for cell in line})
        assert game.winner(board) == player
        assert game.legal_moves(board) == []

    @pytest.mark.parametrize("cells", [(2, 3, 4), (5, 6, 7), (0, 1, 3), (1, 3, 5), (0, 4, 7)])
    def test_three_off_a_line_do_not_win(self, cells: tuple[int, int, int]) -> None:
        board = board_with({cell: game.X for cell in cells})
        assert game.winner(board) == game.EMPTY
        assert len(game.legal_moves(board)) == 6

    def test_mixed_line_does_not_win(self) -> None:
        assert game.winner(board_from("XXO ... ...")) == game.EMPTY

    def test_full_board_without_line_is_a_draw(self) -> None:
        board = board_from("XOX XOO OXX")
        assert game.winner(board) == game.EMPTY
        assert game.legal_moves(board) == []
        assert game.random_playout(board, random.Random(0)) == game.EMPTY

    def test_last_move_can_still_win(self) -> None:
        board = game.play(board_from("XOX OXO OX."), 8)
        assert game.winner(board) == game.X
        assert game.legal_moves(board) == []

    def test_players_alternate_from_x(self) -> None:
        board = game.play(game.play(game.EMPTY_BOARD, 4), 0)
        assert board == board_from("O.. .X. ...")
        assert game.to_move(board) == game.X

    def test_taken_cell_refused(self) -> None:
        with pytest.raises(ValueError):
            game.play(board_from("... .X. ..."), 4)


class TestPlay:
    @pytest.mark.parametrize(
        "rows, move",
        [
            ("XX. OO. ...", 2),  # X to move wins at once
            ("X.. OO. X..", 5),  # X to move must block O's row
            ("XX. OO. X..", 5),  # O to move wins at once rather than block
        ],
    )
    def test_finds_the_decisive_move(self, rows: str, move: int) -> None:
        assert game.search(board_from(rows), game.ITERATIONS, random.Random(0)) == move

    def test_beats_a_random_player(self) -> None:
        tally = game.play_games(100, seed=0)
        assert tally.losses == 0
        assert tally.wins >= 90
        assert tally.wins + tally.draws == 100

    def test_command_line_prints_the_tally(self, capsys: pytest.CaptureFixture[str]) -> None:
        game.main(["--games", "3", "--seed", "5", "--iterations", "50"])
        summary = re.fullmatch(r"wins (\d+) draws (\d+) losses (\d+)\n", capsys.readouterr().out)
        assert summary is not None
        assert sum(int(count) for count in summary.groups()) == 3
