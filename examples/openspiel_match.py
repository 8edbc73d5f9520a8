"""A match between an agent built on veltra_search and OpenSpiel's own C++ MCTS bot, in any
two-player OpenSpiel game with terminal rewards and no chance (Connect Four by default).

The agent searches one forest with a single root, the game being played. Its states are OpenSpiel
states: recurrent_fn plays each step's moves on their parent states and evaluates the new
positions with uniform priors and one random playout each, the value of a playout being its
outcome for the player to move; root_fn evaluates a new game's first position the same way, so the
evaluation is written once. After every move, the agent's or the bot's, the forest advances to the
position it leads to and keeps that subtree. Playouts run in Python on OpenSpiel's rules, one
state at a time (the rules are per state), with Python's scalar generator; everything the forest
reads is built as whole arrays per call.

The bot is pyspiel.MCTSBot with pyspiel.RandomRolloutEvaluator (one rollout per leaf), UCT with
uct_c=2 and its solver on; it builds a new tree for every move. The match is played at equal
simulations (--simulations for both) or at equal time (--time-per-move seconds for both: the
forest searches with time_limit, the bot with max_wall_clock_time). The colours alternate: the
agent moves first in the even-numbered games. The score is (wins + draws / 2) / games with its 95%
Wilson score interval (draws counted as half a win); per move of the agent, the simulations its
searches ran and the positions they evaluated (terminal ones included).

Run: python3 examples/openspiel_match.py [--game connect_four] [--games 20] [--simulations 400
     | --time-per-move 0.05] [--pb-c-init 5] [--no-solve] [--seed 0]
     (with the built module importable)
"""

from __future__ import annotations

import argparse
import math
import random
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyspiel  # type: ignore[import-not-found]  # OpenSpiel ships no type information

import veltra_search

# A search on the clock stops at its time limit; this only bounds its tree.
MAX_TIMED_SIMULATIONS = 1_000_000


class PlayoutEvaluator:
    """root_fn and recurrent_fn of the forest: uniform priors, values from random playouts."""

    def __init__(self, game: Any, seed: int) -> None:
        self.num_actions = game.num_distinct_actions()
        self.rng = random.Random(seed)
        self.positions = 0  # positions evaluated, terminal ones included

    def playout_value(self, state: Any) -> float:
        """The outcome of one random playout from `state`, for the player to move there."""
        player = state.current_player()
        state = state.clone()
        while not state.is_terminal():
            state.apply_action(self.rng.choice(state.legal_actions()))
        return float(state.returns()[player])

    def evaluate(self, states: list[Any]) -> tuple[np.ndarray, np.ndarray]:
        """Values and legal masks of positions; a terminal one has value 0 and no legal move."""
        self.positions += len(states)
        values = np.zeros(len(states))
        legal = np.zeros((len(states), self.num_actions), dtype=bool)
        for row, state in enumerate(states):
            if not state.is_terminal():
                values[row] = self.playout_value(state)
                legal[row, state.legal_actions()] = True
        return values, legal

    def root_fn(self, states: list[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        values, legal = self.evaluate(states)
        return np.zeros((len(states), self.num_actions)), values, legal

    def __call__(self, parents: list[Any], actions: np.ndarray) -> tuple[Any, ...]:
        movers = [parent.current_player() for parent in parents]
        children = [parent.child(action) for parent, action in zip(parents, actions.tolist())]
        values, legal = self.evaluate(children)
        # The reward of a move is its final outcome for the mover; the value below it flips sign
        # when the other player moves next (discount -1) and ends at a terminal position (0).
        rewards = np.array([child.returns()[mover] if child.is_terminal() else 0.0
                            for child, mover in zip(children, movers)])
        discounts = np.array([0.0 if child.is_terminal() else
                              (1.0 if child.current_player() == mover else -1.0)
                              for child, mover in zip(children, movers)])
        logits = np.zeros((len(children), self.num_actions))
        return children, rewards, discounts, logits, values, legal


def search_settings(args: argparse.Namespace) -> dict[str, Any]:
    """SearchConfig's keyword arguments: every setting of the agent's search comes from here."""
    return {
        "num_simulations": MAX_TIMED_SIMULATIONS if args.time_per_move else args.simulations,
        "pb_c_init": args.pb_c_init,
        "unvisited_value": args.unvisited_value,
        "solve": args.solve,
        "dirichlet_fraction": 0.0,  # a match plays its best move: no exploration noise
        "seed": args.seed,
    }


@dataclass
class MatchRecord:
    wins: int = 0
    draws: int = 0
    losses: int = 0
    moves: int = 0
    simulations: int = 0
    agent_seconds: float = 0.0
    bot_seconds: float = 0.0
    bot_moves: int = 0
    positions: int = 0  # evaluated by the agent's searches, terminal ones included

    @property
    def games(self) -> int:
        return self.wins + self.draws + self.losses

    def score(self) -> float:
        return (self.wins + self.draws / 2) / self.games

    def interval(self, z: float = 1.959964) -> tuple[float, float]:
        """The 95% Wilson score interval of the score, draws counted as half a win."""
        n, p = self.games, self.score()
        centre = (p + z * z / (2 * n)) / (1 + z * z / n)
        half = z / (1 + z * z / n) * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
        return max(0.0, centre - half), min(1.0, centre + half)


def new_bot(game: Any, args: argparse.Namespace, seed: int) -> Any:
    evaluator = pyspiel.RandomRolloutEvaluator(1, seed)
    if args.time_per_move:  # the simulation count then only bounds the tree, like the forest's
        return pyspiel.MCTSBot(game, evaluator, 2.0, MAX_TIMED_SIMULATIONS, 1000, True, seed,
                               False, pyspiel.ChildSelectionPolicy.UCT, args.time_per_move)
    return pyspiel.MCTSBot(game, evaluator, 2.0, args.simulations, 1000, True, seed, False)


def play_game(game: Any, forest: Any, evaluator: PlayoutEvaluator, bot: Any, agent_player: int,
              time_limit: float | None, record: MatchRecord) -> float:
    """One game; returns the agent's outcome (1, 0 or -1 for the usual win, draw, loss)."""
    state = game.new_initial_state()
    forest.reset(0, state)  # pending: the next search evaluates it with root_fn
    while not state.is_terminal():
        start = time.perf_counter()
        if state.current_player() == agent_player:
            out = forest.search(evaluator, time_limit=time_limit)
            action = int(out.selected_actions[0])
            record.agent_seconds += time.perf_counter() - start
            record.moves += 1
            record.simulations += out.num_simulations
        else:
            action = bot.step(state)
            record.bot_seconds += time.perf_counter() - start
            record.bot_moves += 1
        state = state.child(action)  # a new object: the forest holds the states it was given
        if state.is_terminal():
            break
        if forest.tree(0, max_depth=0) is None:  # a root not searched yet has no moves to follow
            forest.reset(0, state)
        else:
            forest.advance(0, action)
    return float(state.returns()[agent_player])


def play_match(args: argparse.Namespace) -> MatchRecord:
    game = pyspiel.load_game(args.game)
    check_game(game)
    evaluator = PlayoutEvaluator(game, args.seed)
    config = veltra_search.SearchConfig(game.num_distinct_actions(), **search_settings(args))
    forest = veltra_search.Forest(config, [game.new_initial_state()], root_fn=evaluator.root_fn)
    record = MatchRecord()
    for g in range(args.games):
        bot = new_bot(game, args, args.seed + 1 + g)
        outcome = play_game(game, forest, evaluator, bot, g % 2, args.time_per_move, record)
        if outcome > 0:
            record.wins += 1
        elif outcome < 0:
            record.losses += 1
        else:
            record.draws += 1
    record.positions = evaluator.positions
    return record


def check_game(game: Any) -> None:
    kind = game.get_type()
    if (game.num_players() != 2 or kind.dynamics != pyspiel.GameType.Dynamics.SEQUENTIAL
            or kind.chance_mode != pyspiel.GameType.ChanceMode.DETERMINISTIC
            or kind.information != pyspiel.GameType.Information.PERFECT_INFORMATION
            or kind.reward_model != pyspiel.GameType.RewardModel.TERMINAL):
        raise SystemExit(f"{kind.short_name}: this agent plays two-player, sequential, "
                         "deterministic games of perfect information with terminal rewards")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="veltra_search against OpenSpiel's MCTS bot.")
    parser.add_argument("--game", default="connect_four", help="an OpenSpiel game name")
    parser.add_argument("--games", type=int, default=20)
    budget = parser.add_mutually_exclusive_group()
    budget.add_argument("--simulations", type=int, default=400,
                        help="simulations per move for both players (default 400)")
    budget.add_argument("--time-per-move", type=float, default=None,
                        help="seconds per move for both players instead")
    parser.add_argument("--pb-c-init", type=float, default=5.0,
                        help="PUCT exploration constant; playout values want a large one "
                        "(default 5)")
    parser.add_argument("--unvisited-value", choices=["min", "parent", "mixed"], default="min",
                        help="the score of an untried move (SearchConfig.unvisited_value)")
    parser.add_argument("--solve", action=argparse.BooleanOptionalAction, default=True,
                        help="prove positions from the game's outcomes (SearchConfig.solve)")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if args.games < 1 or args.simulations < 1:
        parser.error("--games and --simulations must be at least 1")
    if args.time_per_move is not None and not args.time_per_move > 0:
        parser.error("--time-per-move must be positive")
    return args


def main() -> None:
    args = parse_args()
    start = time.perf_counter()
    record = play_match(args)
    low, high = record.interval()
    budget = (f"{args.time_per_move * 1000:g} ms per move" if args.time_per_move
              else f"{args.simulations} simulations per move")
    print(f"{args.game}: veltra_search (pb_c_init {args.pb_c_init:g}) against OpenSpiel's "
          f"MCTSBot (uct_c 2, random rollouts), {budget}")
    print(f"score {record.score():.3f} over {record.games} games (95% Wilson interval "
          f"{low:.3f}-{high:.3f}): {record.wins} wins, {record.draws} draws, "
          f"{record.losses} losses")
    print(f"per move of the agent: {record.simulations / record.moves:.1f} simulations, "
          f"{record.positions / record.moves:.1f} positions evaluated, "
          f"{record.agent_seconds / record.moves * 1000:.1f} ms "
          f"(the bot: {record.bot_seconds / record.bot_moves * 1000:.1f} ms)")
    print(f"{time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
