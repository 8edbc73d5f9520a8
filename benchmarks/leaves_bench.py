#!/usr/bin/env python3
"""Several leaves per step for one game: Connect Four with the example network
(examples/model_self_play.py's PolicyValueNet, untrained, one torch thread), one tree searched at
a time, as a person playing the agent or an analysis of one position would.

Rows:
  time per move   the positions of one game (K = 16 self-play), searched with each
                  leaves_per_step K (1, 8, 16, 32), 800 simulations a move, the tree kept
                  across the game's moves: the search's wall time per move, the recurrent_fn
                  calls and leaves per call
  strength        K = 16 against K = 1 at 800 simulations a move each, colours alternating; each
                  pair of games starts from the same random four-ply opening (no root noise, so
                  the opening is what varies); the score of K = 16 (wins + draws / 2)

    python3 benchmarks/leaves_bench.py --build-dir build-bench              # 200 games, long
    python3 benchmarks/leaves_bench.py --build-dir build-bench --games 40   # fewer games
    python3 benchmarks/leaves_bench.py --build-dir build-bench --quick      # checks, ~5 s

Every run checks that each searched move is legal and that every game ended with a result; the
goals are reported, not enforced. Results go to benchmarks/results/leaves[_quick].{txt,json}.
"""

from __future__ import annotations

import argparse
import math
import random
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))
sys.path.insert(0, str(REPO_DIR / "examples"))

from measure import CheckFailed, check  # noqa: E402
from report import add_common_arguments, Goal, machine_description, write_results  # noqa: E402

LEAVES = (1, 8, 16, 32)
OPENING_PLIES = 4
SPEEDUP_GOAL = 5.0  # K = 16 against K = 1, time per move
SCORE_GOAL = 0.45  # K = 16 against K = 1 at equal simulations


class Agent:
    """One forest of one root, searched with `leaves` leaves per step and kept across moves."""

    def __init__(self, vs: Any, model: Any, position: Any, simulations: int, leaves: int) -> None:
        import numpy as np

        config = vs.SearchConfig(7, num_simulations=simulations, leaves_per_step=leaves,
                                 dirichlet_fraction=0.0)
        logits, values = model.evaluate([position])
        self.model = model
        self.forest = vs.Forest(config, [position], logits, values, np.array([position.legal()]))
        self.seconds = 0.0
        self.searches = 0

    def choose(self, position: Any) -> int:
        start = time.perf_counter()
        move = int(self.forest.search(self.model).selected_actions[0])
        self.seconds += time.perf_counter() - start
        self.searches += 1
        check(position.legal()[move], f"the search chose the illegal column {move}")
        return move

    def played(self, move: int) -> None:
        self.forest.advance(0, move)


def play_game(vs: Any, model: Any, simulations: int, leaves: Sequence[int],
              opening: Sequence[int], moves: Optional[Sequence[int]] = None
              ) -> tuple[Optional[int], List[Agent], List[int]]:
    """A game from the position after `opening`, player p searching with leaves[p] (player 0
    moves first after the opening), or with `moves`, searching each position and then playing
    the given move; returns the winner (None: a draw), the agents and the moves."""
    from connect_four_game import NUM_CELLS, START

    position = START
    for move in opening:
        position, _ = position.play(move)
    agents = [Agent(vs, model, position, simulations, k) for k in leaves]
    played: List[int] = []
    for ply in range(NUM_CELLS - len(opening)):
        mover = ply % 2
        move = agents[mover].choose(position)
        if moves is not None:
            move = moves[ply]
        played.append(move)
        position, won = position.play(move)
        if won:
            return mover, agents, played
        if position.plies == NUM_CELLS:
            return None, agents, played
        for agent in agents:
            agent.played(move)
    raise CheckFailed("a game did not end")


def random_opening(rng: random.Random) -> List[int]:
    """OPENING_PLIES random moves that neither win nor fill a column."""
    from connect_four_game import START

    while True:
        position, moves = START, []
        for _ in range(OPENING_PLIES):
            move = rng.choice([c for c, legal in enumerate(position.legal()) if legal])
            position, won = position.play(move)
            moves.append(move)
            if won:
                break
        else:
            return moves


def time_per_move(vs: Any, model: Any, simulations: int) -> List[Dict[str, Any]]:
    _, _, game = play_game(vs, model, simulations, [16, 16], [])
    rows = []
    for k in LEAVES:
        calls_before = model.calls
        positions_before = model.positions
        _, agents, _ = play_game(vs, model, simulations, [k, k], [], game)
        agent_seconds = sum(a.seconds for a in agents)
        moves = sum(a.searches for a in agents)
        calls = model.calls - calls_before
        rows.append({"leaves_per_step": k, "moves": moves,
                     "ms_per_move": 1000 * agent_seconds / moves,
                     "calls_per_move": calls / moves,
                     "leaves_per_call": (model.positions - positions_before) / max(calls, 1)})
        print(f"  K = {k:>2}: {rows[-1]['ms_per_move']:8.1f} ms a move", flush=True)
    return rows


def strength(vs: Any, model: Any, simulations: int, games: int) -> Dict[str, Any]:
    rng = random.Random(0)
    points, wins, draws = 0.0, 0, 0
    opening: List[int] = []
    for game in range(games):
        if game % 2 == 0:
            opening = random_opening(rng)
        # even games: K = 16 moves first after the opening; odd games: K = 1 does
        many_first = game % 2 == 0
        winner, _, _ = play_game(vs, model, simulations, [16, 1] if many_first else [1, 16], opening)
        if winner is None:
            draws += 1
            points += 0.5
        elif (winner == 0) == many_first:
            wins += 1
            points += 1.0
    score = points / games
    z = 1.959964
    centre = (score + z * z / (2 * games)) / (1 + z * z / games)
    half = z / (1 + z * z / games) * math.sqrt(score * (1 - score) / games
                                                + z * z / (4 * games * games))
    print(f"  K = 16 against K = 1: score {score:.3f} over {games} games", flush=True)
    return {"games": games, "score": score, "wins": wins, "draws": draws,
            "losses": games - wins - draws,
            "interval": [max(0.0, centre - half), min(1.0, centre + half)]}


class CountingModel:
    """The example's NetworkModel, counting its calls and the positions it evaluates."""

    def __init__(self, model: Any) -> None:
        self.inner, self.calls, self.positions = model, 0, 0

    def evaluate(self, positions: Any) -> Any:
        return self.inner.evaluate(positions)

    def __call__(self, parents: Any, columns: Any) -> Any:
        self.calls += 1
        self.positions += len(parents)
        return self.inner(parents, columns)


def format_report(results: Dict[str, Any], goals: Sequence[Goal], quick: bool) -> str:
    lines = [f"several leaves per step, Connect Four, one tree at a time, on {results['machine']}",
             f"the example network (untrained, 1 torch thread), {results['simulations']} "
             "simulations a move, PUCT, no root noise", "",
             "time per move (the positions of one game, the same for every K)"]
    for row in results["time_per_move"]:
        lines.append(f"  K = {row['leaves_per_step']:>2}  {row['ms_per_move']:9.1f} ms a move  "
                     f"{row['calls_per_move']:6.1f} recurrent_fn calls, "
                     f"{row['leaves_per_call']:5.1f} leaves a call  ({row['moves']} moves)")
    s = results["strength"]
    low, high = s["interval"]
    lines += ["", f"strength, {results['match_simulations']} simulations a move each",
              f"  K = 16 against K = 1  {s['games']:>4} games  score {s['score']:.3f} "
              f"[{low:.3f}, {high:.3f}]  {s['wins']}/{s['draws']}/{s['losses']} w/d/l"]
    return "\n".join([*lines, "", "goals", *(goal.describe(judged=not quick) for goal in goals)])


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Several leaves per step for one game.")
    add_common_arguments(parser, "small searches, checks only")
    parser.add_argument("--games", type=int, default=200, help="games of the strength match")
    return parser.parse_args(argv)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    sys.path.insert(0, str(args.build_dir.resolve()))
    import torch
    import veltra_search as vs
    from model_self_play import NetworkModel, PolicyValueNet

    torch.manual_seed(0)
    torch.set_num_threads(1)
    model = CountingModel(NetworkModel(PolicyValueNet().eval()))
    simulations, match_simulations, games = (64, 32, 2) if args.quick else (800, 800, args.games)
    try:
        results = {"machine": machine_description(), "quick": args.quick,
                   "simulations": simulations, "match_simulations": match_simulations,
                   "time_per_move": time_per_move(vs, model, simulations),
                   "strength": strength(vs, model, match_simulations, games)}
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    by_k = {row["leaves_per_step"]: row["ms_per_move"] for row in results["time_per_move"]}
    goals = [Goal("time per move, K = 1 over K = 16", by_k[1] / by_k[16], SPEEDUP_GOAL,
                  at_most=False),
             Goal("score of K = 16 against K = 1", results["strength"]["score"], SCORE_GOAL,
                  at_most=False)]
    results["goals"] = [goal.__dict__ for goal in goals]
    report = format_report(results, goals, args.quick)
    print(f"\n{report}")
    write_results(args.output_dir, "leaves", args.quick, report, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
