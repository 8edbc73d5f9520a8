"""The veltra_search examples run as documented, at small sizes, and their reports add up."""

from __future__ import annotations

import re

import pytest

import veltra_search  # noqa: F401  (the examples need it: a missing module fails here)

from helpers import run_example


class TestConnectFour:
    ARGS = ("--games", "6", "--simulations", "24", "--opponent-simulations", "6")

    def test_every_game_ends_and_a_seed_reproduces_the_games(self) -> None:
        runs = [run_example("connect_four.py", *self.ARGS, "--seed", seed)
                for seed in ("5", "5", "6")]
        wins = [int(w) for w in re.findall(r"won (\d+) of 6 games", runs[0])]
        draws = int(re.findall(r"draws: (\d+)", runs[0])[0])
        assert len(wins) == 2 and sum(wins) + draws == 6
        boards = re.findall(r"\n((?:[.xo]{7}\n){6})", runs[0])
        assert len(boards) == 4
        without_time = [re.sub(r"[\d.]+ s: [\d,]+ simulations/s", "", run) for run in runs]
        assert without_time[0] == without_time[1] != without_time[2]


@pytest.mark.parametrize("policy", ["puct", "gumbel"])
def test_model_self_play_reports_what_it_played(policy: str) -> None:
    output = run_example("model_self_play.py", "--games", "5", "--simulations", "12",
                         "--policy", policy)
    results = re.search(r"first player won (\d+), second player won (\d+), draws (\d+)", output)
    assert results is not None and sum(map(int, results.groups())) == 5
    assert f"policy {policy}" in output
    positions = int(re.findall(r"(\d+) positions with search policies", output)[0])
    simulations = int(re.findall(r"(\d+) simulations in", output)[0])
    assert 7 * 5 <= positions <= 42 * 5  # a game lasts 7 to 42 moves
    assert simulations == 12 * positions  # one search per move of a game still going on


@pytest.mark.parametrize("args, simulations", [
    (("--games", "3", "--simulations", "20", "--no-solve"), 20),  # never stopped early
    (("--games", "2", "--simulations", "200"), None),
    (("--game", "tic_tac_toe", "--games", "2", "--time-per-move", "0.002"), None),
])
def test_openspiel_match_reports_its_score(args: tuple[str, ...], simulations: int | None) -> None:
    output = run_example("openspiel_match.py", *args)
    line = re.search(r"score ([\d.]+) over (\d+) games \(95% Wilson interval ([\d.]+)-([\d.]+)\): "
                     r"(\d+) wins, (\d+) draws, (\d+) losses", output)
    assert line is not None, output
    score, low, high = (float(line[i]) for i in (1, 3, 4))
    games, wins, draws, losses = (int(line[i]) for i in (2, 5, 6, 7))
    assert games == int(args[args.index("--games") + 1]) == wins + draws + losses
    assert score == pytest.approx((wins + draws / 2) / games, abs=5e-4)
    assert 0.0 <= low <= score <= high <= 1.0
    per_move = re.search(r"per move of the agent: ([\d.]+) simulations, ([\d.]+) positions", output)
    assert per_move is not None, output
    run, evaluated = float(per_move[1]), float(per_move[2])
    assert run == simulations if simulations else run >= 1.0
    # A step evaluates at most one position; a search adds at most one for a root not yet evaluated.
    assert 0.0 < evaluated <= run + 1
