"""Self-play of Connect Four guided by a small PyTorch network, many games at once.

One forest holds a root per game. In every simulation step the search descends in all the games
and hands recurrent_fn the positions to expand: it plays the moves, stacks the new positions into
one tensor and asks the network for all their priors and values in a single forward pass. Each
move's action_weights are what self-play keeps as a training target: the visit distribution
under PUCT, the improved policy under the Gumbel policy (whose searches also choose the move,
exploring through their noise); the network here is untrained, which changes nothing for the
search.

Run: python3 examples/model_self_play.py [--games 64] [--simulations 100] [--seed 0]
                                         [--policy puct|gumbel]
     (with the built module importable)
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

import veltra_search
from connect_four_game import HEIGHT, NUM_CELLS, START, WIDTH, Position, apply_moves, encode

SAMPLED_PLIES = 8  # PUCT: moves sampled in proportion to the visits before the most visited


class PolicyValueNet(nn.Module):
    """Two convolutions, then a policy head (one logit per column) and a value head in [-1, 1]."""

    def __init__(self, channels: int = 32) -> None:
        super().__init__()
        self.body = nn.Sequential(
            nn.Conv2d(2, channels, 3, padding=1), nn.ReLU(),
            nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU(), nn.Flatten(),
        )
        self.policy = nn.Linear(channels * HEIGHT * WIDTH, WIDTH)
        self.value = nn.Sequential(nn.Linear(channels * HEIGHT * WIDTH, 1), nn.Tanh())

    def forward(self, boards: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        features = self.body(boards)
        return self.policy(features), self.value(features).squeeze(1)


class NetworkModel:
    """recurrent_fn: plays the moves, evaluates every new position in one batch."""

    def __init__(self, net: PolicyValueNet) -> None:
        self.net = net
        self.seconds = 0.0  # spent in here, network included

    def evaluate(self, positions: list[Position]) -> tuple[npt.NDArray[np.float32], ...]:
        """Logits [B, WIDTH] and values [B] of the positions, one forward pass."""
        with torch.no_grad():
            logits, values = self.net(torch.from_numpy(encode(positions)))
        return logits.numpy(), values.numpy()

    def __call__(self, parents: list[Any], columns: npt.NDArray[np.int64]) -> tuple[Any, ...]:
        start = time.perf_counter()
        children = apply_moves(parents, columns)
        logits, values = self.evaluate(children.positions)
        values = np.where(children.terminal, 0.0, values)
        discounts = np.full(len(parents), -1.0)
        self.seconds += time.perf_counter() - start
        return children.positions, children.rewards, discounts, logits, values, children.legal


def self_play(model: NetworkModel, games: int, simulations: int, seed: int,
              policy: str = "puct") -> dict[str, Any]:
    """Plays `games` games to the end; returns their outcomes, targets and counts."""
    config = veltra_search.SearchConfig(WIDTH, num_simulations=simulations, seed=seed,
                                        policy=policy)
    logits, values = model.evaluate([START] * games)
    forest = veltra_search.Forest(config, [START] * games, logits, values,
                                  np.array([START.legal()] * games))
    positions = [START] * games
    outcomes: list[str] = [""] * games  # "first", "second", "draw"
    targets: list[tuple[Position, npt.NDArray[np.float64]]] = []
    total_simulations = 0
    for ply in range(NUM_CELLS):
        output = forest.search(model)
        playing = [g for g in range(games) if not outcomes[g]]
        total_simulations += simulations * len(playing)
        targets += [(positions[g], output.action_weights[g]) for g in playing]
        sampled = policy == "puct" and ply < SAMPLED_PLIES
        moves = forest.select(1.0) if sampled else output.selected_actions
        for g in playing:
            positions[g], won = positions[g].play(int(moves[g]))
            if won:
                outcomes[g] = "first" if ply % 2 == 0 else "second"
            elif positions[g].plies == NUM_CELLS:
                outcomes[g] = "draw"
        forest.advance(moves)  # -1, and no change, where a game was already over
        if all(outcomes):
            break
    return {"outcomes": outcomes, "targets": targets, "simulations": total_simulations,
            "nodes": forest.num_nodes}


def main() -> None:
    parser = argparse.ArgumentParser(description="Network-guided Connect Four self-play.")
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--simulations", type=int, default=100)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--torch-threads", type=int, default=1)
    parser.add_argument("--policy", choices=("puct", "gumbel"), default="puct")
    args = parser.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.torch_threads)
    model = NetworkModel(PolicyValueNet().eval())
    start = time.perf_counter()
    played = self_play(model, args.games, args.simulations, args.seed, args.policy)
    elapsed = time.perf_counter() - start

    outcomes = played["outcomes"]
    print(f"{args.games} games of self-play, {args.simulations} simulations per move, "
          f"policy {args.policy}")
    print(f"first player won {outcomes.count('first')}, second player won "
          f"{outcomes.count('second')}, draws {outcomes.count('draw')}")
    print(f"{len(played['targets'])} positions with search policies kept as targets")
    print(f"{played['simulations']} simulations in {elapsed:.2f} s: "
          f"{played['simulations'] / elapsed:,.0f} simulations/s "
          f"({model.seconds / elapsed:.0%} of the time in recurrent_fn and the network)")


if __name__ == "__main__":
    main()
