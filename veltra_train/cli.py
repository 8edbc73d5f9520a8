"""python -m veltra_train train | evaluate | play"""

from __future__ import annotations

import argparse
import json
import signal
import sys
from typing import Any

from .checkpoint import CheckpointError

# Flags of `train` that set TrainConfig fields (None: keep the default, or the resumed run's).
CONFIG_FLAGS: dict[str, Any] = {
    "game": str, "seed": int, "workers": int, "device": str, "policy": str, "simulations": int,
    "games_per_worker": int, "moves_per_task": int, "blocks": int, "channels": int, "batch_size": int,
    "learning_rate": float, "weight_decay": float, "train_ratio": float, "window": int,
    "min_positions": int, "publish_every": int, "eval_minutes": float, "eval_games": int,
    "eval_simulations": int, "sampled_plies": int, "dirichlet_alpha": float, "min_games": int,
}


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="python -m veltra_train",
                                   description="Self-play training with veltra_search, PyTorch and Ray.")
    commands = main.add_subparsers(dest="command", required=True)
    train = commands.add_parser("train", help="train an agent by self-play")
    train.add_argument("--out", required=True, help="directory of the run")
    train.add_argument("--minutes", type=float, default=30.0, help="wall time of the whole run")
    train.add_argument("--resume", action="store_true", help="continue the run in --out")
    train.add_argument("--address", help="join this Ray cluster ('auto' or host:port) instead of a local one")
    train.add_argument("--eval-opponents", help="comma-separated: random, mcts:N, checkpoint:PATH")
    train.add_argument("--no-progress", action="store_true", help="no progress bar")
    for name, kind in CONFIG_FLAGS.items():
        train.add_argument("--" + name.replace("_", "-"), type=kind, default=None)
    evaluate = commands.add_parser("evaluate", help="score a checkpoint against an opponent")
    evaluate.add_argument("checkpoint")
    evaluate.add_argument("--opponent", default="random", help="random, mcts:N or checkpoint:PATH")
    evaluate.add_argument("--games", type=int, default=100)
    evaluate.add_argument("--simulations", type=int, default=64, help="the agent's simulations a move")
    evaluate.add_argument("--seed", type=int, default=0)
    play = commands.add_parser("play", help="play against a checkpoint in the terminal")
    play.add_argument("checkpoint")
    play.add_argument("--simulations", type=int, default=64)
    play.add_argument("--first", choices=("human", "agent"), default="human")
    return main


def main(argv: list[str] | None = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        if arguments.command == "train":
            return run_train(arguments)
        if arguments.command == "evaluate":
            return run_evaluate(arguments)
        return run_play(arguments)
    except (CheckpointError, ValueError, TypeError) as error:
        print(f"veltra_train {arguments.command}: error: {error}", file=sys.stderr)
        return 2


def run_train(arguments: argparse.Namespace) -> int:
    from .trainer import train

    # Ctrl-C stops the run cleanly, even when this process was started with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    overrides = {name: getattr(arguments, name) for name in CONFIG_FLAGS if getattr(arguments, name) is not None}
    if arguments.eval_opponents is not None:
        overrides["eval_opponents"] = tuple(o for o in arguments.eval_opponents.split(",") if o)
    try:
        counters = train(arguments.out, arguments.minutes, resume=arguments.resume, address=arguments.address,
                         progress=not arguments.no_progress, **overrides)
    except KeyboardInterrupt:
        print(f"veltra_train train: interrupted; checkpoint saved in {arguments.out}", file=sys.stderr)
        return 130
    print(json.dumps({"out": arguments.out, "positions": counters.positions, "games": counters.games,
                      "learner_steps": counters.learner_steps, "minutes": round(counters.seconds / 60, 2)}))
    return 0


def run_evaluate(arguments: argparse.Namespace) -> int:
    from .agent import load_agent
    from .opponents import make_opponent, match

    if arguments.games < 1:
        raise ValueError(f"--games must be >= 1, not {arguments.games}")
    agent = load_agent(arguments.checkpoint, num_simulations=arguments.simulations)
    opponent = make_opponent(arguments.opponent, agent.game, arguments.seed + 1, arguments.simulations)
    score = match(agent.game, agent.player(arguments.seed), opponent, arguments.games)
    print(json.dumps({"checkpoint": arguments.checkpoint, "opponent": arguments.opponent, **score.to_dict()}))
    return 0


def run_play(arguments: argparse.Namespace) -> int:
    from .agent import load_agent

    agent = load_agent(arguments.checkpoint, num_simulations=arguments.simulations)
    game, moves = agent.game, []
    state = game.initial_state()
    human = 0 if arguments.first == "human" else 1
    print(f"{game.name}: you play {'first (x)' if human == 0 else 'second (o)'}; type a move number, q to quit")
    while game.outcome(state) is None:
        print(game.render(state))
        if game.current_player(state) == human:
            text = input("your move: ").strip()
            if text in ("q", "quit"):
                return 0
            legal = game.legal_mask(state)
            if not text.isdigit() or int(text) >= game.num_actions or not legal[int(text)]:
                print(f"not a legal move: {text!r}; legal: {[int(a) for a in legal.nonzero()[0]]}")
                continue
            move = int(text)
        else:
            move = agent.act(moves)
            print(f"agent plays {move}")
        moves.append(move)
        state = game.apply(state, move)
    print(game.render(state))
    outcome = game.outcome(state)
    print("draw" if outcome == 0 else "you win" if (outcome > 0) == (human == 0) else "the agent wins")
    return 0
