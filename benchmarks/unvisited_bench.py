#!/usr/bin/env python3
"""What SearchConfig.unvisited_value does to the strength of a trained network: at 32 and 64
simulations a move, PUCT with "parent" and with "mixed" each plays PUCT with "min" (today's rule)
in Connect Four, both sides with the same network and no noise.

Deterministic players would replay one game, so every pairing plays from random openings (a few
random plies), each opening twice with the colours swapped. A row gives the challenger's score
(wins + draws / 2 over the games) with its 95% Wilson interval.

    python3 benchmarks/unvisited_bench.py --checkpoint runs/c4/checkpoint.pt   # 200 games a row
    python3 benchmarks/unvisited_bench.py --quick     # an untrained network, a few games

The network is a checkpoint of `python -m veltra_train train --game connect_four` (trained for
12 minutes on this machine for the figures in docs/playing.md). Results go to
benchmarks/results/unvisited[_quick].{txt,json}.
"""

from __future__ import annotations

import argparse
import random
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))
sys.path.insert(0, str(REPO_DIR))

from measure import CheckFailed, check  # noqa: E402
from report import add_common_arguments, machine_description, write_results  # noqa: E402

CHALLENGERS = ("parent", "mixed")
OPENING_PLIES = 4


def openings(game: Any, count: int, seed: int) -> List[Any]:
    rng = random.Random(seed)
    states = []
    while len(states) < count:
        state = game.initial_state()
        for _ in range(OPENING_PLIES):
            state = game.apply(state, rng.choice(np.flatnonzero(game.legal_mask(state)).tolist()))
        if game.outcome(state) is None:
            states.append(state)
    return states


def play(game: Any, players: Sequence[Any], starts: List[Any]) -> List[float]:
    """The games from `starts` at once, players[k] moving as player k; results for player 0."""
    states = list(starts)
    for player in players:
        player.start(states)
    while True:
        live = [i for i, s in enumerate(states) if game.outcome(s) is None]
        if not live:
            break
        moves = np.full(len(states), -1, dtype=np.int64)
        for index, player in enumerate(players):
            turn = [i for i in live if game.current_player(states[i]) == index]
            if turn:
                moves[turn] = player.choose(states)[turn]
        states = [game.apply(s, int(m)) if m >= 0 else s for s, m in zip(states, moves)]
        for player in players:
            player.advance(moves, states)
    return [(1.0 + float(game.outcome(s))) / 2 for s in states]


def run(agent: Any, simulations: Sequence[int], games: int) -> List[Dict[str, Any]]:
    import veltra_search as vs
    from veltra_train.opponents import score_of
    from veltra_train.search import ForestPlayer, GameModel

    game = agent.game
    model = GameModel(game, agent.evaluate)

    def player(rule: str, count: int) -> Any:
        return ForestPlayer(model, vs.SearchConfig(game.num_actions, num_simulations=count,
                                                   dirichlet_fraction=0.0, unvisited_value=rule))

    starts = openings(game, games // 2, seed=games)
    rows = []
    for count in simulations:
        for rule in CHALLENGERS:
            results = play(game, (player(rule, count), player("min", count)), starts)
            results += [1.0 - r for r in play(game, (player("min", count), player(rule, count)),
                                               starts)]
            score = score_of(results)
            check(score.games == 2 * len(starts), f"{rule} at {count}: {score.games} games")
            rows.append({"simulations": count, "rule": rule, **score.to_dict()})
            print(f"  {rule} vs min at {count} simulations: {score.score:.3f}", flush=True)
    return rows


def format_report(rows: Sequence[Dict[str, Any]], source: str) -> str:
    lines = [f"unvisited_value against 'min', Connect Four, {source}, on {machine_description()}",
             ""]
    for row in rows:
        lines.append(f"  {row['rule']:>6} vs min, {row['simulations']:>3} simulations "
                     f"{row['games']:>4} games  score {row['score']:.3f} "
                     f"[{row['low']:.3f}, {row['high']:.3f}]  {row['wins']} wins, "
                     f"{row['draws']} draws")
    return "\n".join(lines)


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="The strength of the unvisited_value rules.")
    add_common_arguments(parser, "an untrained network, 4 games a row at 8 simulations: checks only")
    parser.add_argument("--checkpoint", type=Path, help="a Connect Four checkpoint of veltra_train")
    parser.add_argument("--games", type=int, default=200, help="games per row (default 200)")
    args = parser.parse_args(argv)
    if not args.quick and args.checkpoint is None:
        parser.error("--checkpoint is needed unless --quick")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    sys.path.insert(0, str(args.build_dir.resolve()))
    import torch

    from veltra_train.agent import Agent, build_network, load_agent
    from veltra_train.config import TrainConfig
    from veltra_train.games import make_game

    torch.set_num_threads(1)
    if args.quick:
        config = TrainConfig()
        agent = Agent(make_game(config.game), config,
                      build_network(make_game(config.game), config).eval(), 8)
        source, simulations, games = "an untrained network", (8,), 4
    else:
        agent = load_agent(args.checkpoint)
        source, simulations, games = f"network {args.checkpoint}", (32, 64), args.games
    try:
        with torch.inference_mode():
            rows = run(agent, simulations, games)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    report = format_report(rows, source)
    print(f"\n{report}")
    write_results(args.output_dir, "unvisited", args.quick, report,
                  {"machine": machine_description(), "quick": args.quick, "source": source,
                   "rows": rows})
    return 0


if __name__ == "__main__":
    sys.exit(main())
