"""The example programs run as documented and print what they claim."""

import re

import pytest

from helpers import run_example


@pytest.fixture(scope="module")
def game_output() -> str:
    return run_example("search_example.py", "--stones", "10", "--simulations", "2000")


@pytest.fixture(scope="module")
def game_turns(game_output: str) -> list[dict[str, int]]:
    pattern = re.compile(
        r"player (?P<player>\d) at +(?P<stones>\d+) stones: (?P<counts>.*)\n"
        r" +root visits (?P<carried>\d+) carried over \+ (?P<new>\d+) new = (?P<total>\d+);"
        r" tree holds \d+ nodes\n"
        r" +takes (?P<move>\d)"
    )
    turns = []
    for match in pattern.finditer(game_output):
        turn = {k: int(v) for k, v in match.groupdict().items() if k != "counts"}
        counts = dict(re.findall(r"take (\d): +(\d+)", match["counts"]))
        turn["chosen_visits"] = int(counts[match["move"]])
        turn["visit_sum"] = sum(int(v) for v in counts.values())
        turns.append(turn)
    return turns


class TestSearchExample:
    def test_the_winning_first_move_is_found(self, game_turns: list[dict[str, int]]) -> None:
        # 10 stones: taking 2 leaves a multiple of 4, lost for the opponent.
        assert game_turns[0]["stones"] == 10 and game_turns[0]["move"] == 2

    def test_the_game_is_played_out_and_won_by_the_first_player(
        self, game_output: str, game_turns: list[dict[str, int]]
    ) -> None:
        stones = 10
        for turn in game_turns:
            assert turn["stones"] == stones
            stones -= turn["move"]
        assert stones == 0
        assert game_output.rstrip().endswith("player 1 takes the last stone and wins")

    def test_rerooting_carries_the_chosen_subtree_into_the_next_search(
        self, game_turns: list[dict[str, int]]
    ) -> None:
        assert game_turns[0]["carried"] == 0
        previous_move = None
        for turn in game_turns:
            if previous_move is not None:
                assert turn["carried"] == previous_move["chosen_visits"] > 0
            assert turn["new"] == 2000
            assert turn["total"] == turn["carried"] + turn["new"]
            # Every simulation through the root goes on to a child, except the one that created
            # the root as its parent's first child ("take 1") and ended there.
            made_as_first_child = previous_move is not None and previous_move["move"] == 1
            assert turn["visit_sum"] == turn["total"] - made_as_first_child
            previous_move = turn


@pytest.fixture(scope="module")
def widening_output() -> str:
    return run_example("progressive_widening.py", "--seed", "0", "--iterations", "3000")


class TestProgressiveWidening:
    @pytest.mark.parametrize("selection", ["ucb", "weighted"])
    def test_a_seed_reproduces_its_output_and_another_seed_changes_it(self, selection: str) -> None:
        runs = [
            run_example("progressive_widening.py", "--seed", seed, "--selection", selection,
                        "--iterations", "600")
            for seed in ("3", "3", "4")
        ]
        assert runs[0] == runs[1]
        assert runs[0].replace("seed 3", "seed 4") != runs[2]

    def test_the_root_widens_one_child_at_a_time(self, widening_output: str) -> None:
        widenings = [
            (int(iteration), int(children))
            for iteration, children in re.findall(
                r"iteration +(\d+): root widened to (\d+)", widening_output
            )
        ]
        # Before iteration i the root has i - 1 visits, which allow ceil(sqrt(i)) children: the
        # k-th child comes at the first iteration that allows k, (k - 1)**2 + 1, up to 10 digits.
        assert widenings == [((k - 1) ** 2 + 1, k) for k in range(1, 11)]

    def test_visits_add_up_and_the_hidden_code_is_found(self, widening_output: str) -> None:
        root_visits = int(re.findall(r"root visits (\d+)", widening_output)[0])
        child_visits = [int(v) for v in re.findall(r"digit \d: +(\d+) visits", widening_output)]
        assert root_visits == sum(child_visits) == 3000
        summary = re.search(r"most visited code (\d+) .*hidden code (\d+)", widening_output)
        assert summary is not None and summary[1] == summary[2]
