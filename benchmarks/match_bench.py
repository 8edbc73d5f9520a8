#!/usr/bin/env python3
"""A match benchmark of veltra_search: OpenSpiel's Connect Four against OpenSpiel's C++ MCTS bot
(random rollouts, uct_c 2, its solver on), played by examples/openspiel_match.py with the
settings it recommends for playout values (solve=True among them), colours alternating; and
tic-tac-toe proven from the empty board by examples/solved_tic_tac_toe.py.

Rows:
  equal time         50 ms a move for both (the forest's time_limit, the bot's wall clock)
  equal simulations  400 simulations a move for both
each with the score (wins + draws / 2 over the games), its 95% Wilson interval, and per move of
the agent the simulations run and the positions evaluated (terminal ones included);
  tic-tac-toe        the simulations until the empty board is solved (a draw), and the positions
                     evaluated on the way (in quick mode, a position two moves in, a win)

    python3 benchmarks/match_bench.py --build-dir build-bench           # 100 + 100 games, ~5 min
    python3 benchmarks/match_bench.py --build-dir build-bench --quick   # a few games, ~1 s

Every run checks that each match played all its games with a score in [0, 1] inside its interval
and exits with status 1 if not; the goals are reported, not enforced. Results go to
benchmarks/results/match[_quick].{txt,json}.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))
sys.path.insert(0, str(REPO_DIR / "examples"))

from measure import CheckFailed, check  # noqa: E402
from report import add_common_arguments, Goal, machine_description, write_results  # noqa: E402

# (kind, the example's budget arguments in full and in quick mode, games in full and quick mode)
MATCHES = [
    ("equal time", ["--time-per-move", "0.05"], ["--time-per-move", "0.002"], 100, 2),
    ("equal simulations", ["--simulations", "400"], ["--simulations", "20"], 100, 4),
]
GOALS = {"equal time": 0.55, "equal simulations": 0.75}  # at 50 ms and at 400 simulations


def label_of(kind: str, args: argparse.Namespace) -> str:
    if args.time_per_move:
        return f"{kind}, {args.time_per_move * 1000:g} ms a move"
    return f"{kind}, {args.simulations} simulations a move"


def run_matches(quick: bool) -> List[Dict[str, Any]]:
    import openspiel_match

    rows = []
    for kind, full_budget, quick_budget, full_games, quick_games in MATCHES:
        games = quick_games if quick else full_games
        args = openspiel_match.parse_args(
            ["--game", "connect_four", "--games", str(games),
             *(quick_budget if quick else full_budget)])
        label = label_of(kind, args)
        record = openspiel_match.play_match(args)
        low, high = record.interval()
        check(record.games == games, f"{label}: {record.games} games played of {games}")
        check(0.0 <= low <= record.score() <= high <= 1.0,
              f"{label}: score {record.score()} outside its interval [{low}, {high}]")
        rows.append({"kind": kind, "label": label, "games": games, "arguments": vars(args),
                     "score": record.score(), "interval": [low, high], "wins": record.wins,
                     "draws": record.draws, "losses": record.losses,
                     "simulations_per_move": record.simulations / record.moves,
                     "positions_per_move": record.positions / record.moves,
                     "agent_ms_per_move": 1000 * record.agent_seconds / record.moves,
                     "bot_ms_per_move": 1000 * record.bot_seconds / record.bot_moves})
        print(f"  {label}: score {record.score():.3f}", flush=True)
    return rows


def solve_tic_tac_toe(quick: bool) -> Dict[str, Any]:
    import solved_tic_tac_toe as game
    from tic_tac_toe import EMPTY_BOARD, play

    board, expected = (play(play(EMPTY_BOARD, 0), 1), 1.0) if quick else (EMPTY_BOARD, 0.0)
    output, positions = game.solve(board, game.DEFAULT_SIMULATIONS)
    check(bool(output.solved[0]) and output.solved_values[0] == expected,
          f"tic-tac-toe: solved {output.solved[0]} with value {output.solved_values[0]}, "
          f"expected {expected}")
    row = {"simulations": output.num_simulations, "positions": positions}
    print(f"  tic-tac-toe: solved after {row['simulations']} simulations", flush=True)
    return row


def format_report(rows: Sequence[Dict[str, Any]], solved: Dict[str, Any], goals: Sequence[Goal],
                  quick: bool) -> str:
    pb_c_init = rows[0]["arguments"]["pb_c_init"]
    lines = [f"veltra_search against OpenSpiel's MCTSBot, Connect Four, on {machine_description()}",
             f"agent: uniform priors, random-playout values, pb_c_init {pb_c_init:g}; "
             "bot: uct_c 2, random rollouts, solver on", ""]
    for row in rows:
        low, high = row["interval"]
        lines.append(
            f"  {row['label']:<44}{row['games']:>4} games  score {row['score']:.3f} "
            f"[{low:.3f}, {high:.3f}]  {row['wins']}/{row['draws']}/{row['losses']} w/d/l  "
            f"{row['simulations_per_move']:8.1f} simulations, {row['positions_per_move']:7.1f} "
            f"positions a move  ({row['agent_ms_per_move']:.1f} ms; bot "
            f"{row['bot_ms_per_move']:.1f} ms)")
    board = "two moves in" if quick else "the empty board"
    lines.append(f"  tic-tac-toe from {board}, solve=True: solved after {solved['simulations']} "
                 f"simulations, {solved['positions']} positions evaluated")
    return "\n".join([*lines, "", "goals", *(goal.describe(judged=not quick) for goal in goals)])


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="veltra_search against OpenSpiel's MCTS bot.")
    add_common_arguments(parser, "a few games, checks only")
    return parser.parse_args(argv)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    sys.path.insert(0, str(args.build_dir.resolve()))
    try:
        rows = run_matches(args.quick)
        solved = solve_tic_tac_toe(args.quick)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    goals = [Goal(f"score, {row['kind']}", row["score"], GOALS[row["kind"]], at_most=False)
             for row in rows]
    report = format_report(rows, solved, goals, args.quick)
    print(f"\n{report}")
    results = {"machine": machine_description(), "quick": args.quick, "matches": rows,
               "tic_tac_toe": solved, "goals": [goal.__dict__ for goal in goals]}
    write_results(args.output_dir, "match", args.quick, report, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
