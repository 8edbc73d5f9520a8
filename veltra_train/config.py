"""The whole configuration of a run as plain values, checked before anything starts."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any

import veltra_search as vs

from .games import make_game

POLICIES = ("gumbel", "puct")


@dataclass(frozen=True)
class TrainConfig:
    game: str = "connect_four"
    seed: int = 0
    # network
    blocks: int = 3
    channels: int = 32
    # self-play
    workers: int = 2
    games_per_worker: int = 64
    simulations: int = 32
    policy: str = "gumbel"  # "gumbel" (improved-policy targets) or "puct" (visit counts, Dirichlet noise)
    max_considered_actions: int = 16
    dirichlet_alpha: float = 1.0
    dirichlet_fraction: float = 0.25
    sampled_plies: int = 8  # PUCT: plies sampled in proportion to the visits, then the most visited
    moves_per_task: int = 4  # moves every worker plays between two pulls of the newest weights
    min_games: int = 0  # a session ends at its minutes, but not before this many of its games ended
    # learner
    batch_size: int = 256
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    window: int = 100_000  # positions in the replay buffer
    min_positions: int = 2_000  # positions before the first learner step
    train_ratio: float = 6.0  # samples trained per new position
    publish_every: int = 10  # learner steps between two weight publications
    # evaluation
    eval_minutes: float = 2.5
    eval_opponents: tuple[str, ...] = ("random", "mcts:200")
    eval_games: int = 40
    eval_simulations: int = 64
    device: str = "cpu"

    def __post_init__(self) -> None:
        make_game(self.game)
        positive = ("blocks", "channels", "workers", "games_per_worker", "batch_size", "window",
                    "publish_every", "eval_games", "max_considered_actions", "moves_per_task")
        for name in positive:
            _check_int(name, getattr(self, name), 1)
        for name in ("simulations", "eval_simulations"):
            _check_int(name, getattr(self, name), 1)
        for name in ("seed", "sampled_plies", "min_positions", "min_games"):
            _check_int(name, getattr(self, name), 0)
        for name in ("learning_rate", "train_ratio", "eval_minutes", "dirichlet_alpha"):
            if not getattr(self, name) > 0:
                raise ValueError(f"{name} must be > 0, not {getattr(self, name)!r}")
        if not 0 <= self.weight_decay < 1:
            raise ValueError(f"weight_decay must be in [0, 1), not {self.weight_decay!r}")
        if not 0 <= self.dirichlet_fraction <= 1:
            raise ValueError(f"dirichlet_fraction must be in [0, 1], not {self.dirichlet_fraction!r}")
        if self.policy not in POLICIES:
            raise ValueError(f"policy must be one of {', '.join(POLICIES)}, not {self.policy!r}")
        if self.device not in ("cpu", "cuda"):
            raise ValueError(f"device must be cpu or cuda, not {self.device!r}")
        if self.device == "cuda":
            import torch

            if not torch.cuda.is_available():
                raise ValueError("device cuda: no CUDA device is available here")
        from .opponents import parse_opponent

        for opponent in self.eval_opponents:
            parse_opponent(opponent)
        search_config(self, self.simulations, 0, training=True)  # the search accepts the policy

    def to_dict(self) -> dict[str, Any]:
        values = dataclasses.asdict(self)
        values["eval_opponents"] = list(self.eval_opponents)
        return values

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> TrainConfig:
        known = {f.name for f in dataclasses.fields(cls)}
        unknown = set(values) - known
        if unknown:
            raise ValueError(f"unknown config fields: {', '.join(sorted(unknown))}")
        values = dict(values)
        if "eval_opponents" in values:
            values["eval_opponents"] = tuple(values["eval_opponents"])
        return cls(**values)


def _check_int(name: str, value: Any, low: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, not {value}")


def search_config(config: TrainConfig, simulations: int, seed: int, training: bool) -> Any:
    """The veltra_search config of a forest: exploration noise while training, none to play."""
    num_actions = make_game(config.game).num_actions
    if config.policy == "gumbel":
        return vs.SearchConfig(num_actions, num_simulations=simulations, policy="gumbel",
                               max_considered_actions=config.max_considered_actions,
                               gumbel_scale=1.0 if training else 0.0, seed=seed)
    return vs.SearchConfig(num_actions, num_simulations=simulations, dirichlet_alpha=config.dirichlet_alpha,
                           dirichlet_fraction=config.dirichlet_fraction if training else 0.0, seed=seed)
