"""A self-play worker: many games at once in one forest, trees reused from move to move.

The worker is a plain class; the trainer runs it as a Ray actor (one CPU, one intra-op thread).
`play` plays a few moves of every game with the newest weights and returns the games that ended:
their observations, policy targets (the search's `action_weights`) and outcomes."""

from __future__ import annotations

import os
import time
from typing import Any

import numpy as np
import torch

from .agent import build_network
from .config import TrainConfig, search_config
from .games import make_game
from .network import Evaluator, load_numpy_weights
from .search import ForestPlayer, GameModel


class SelfPlayWorker:
    def __init__(self, config: dict[str, Any], index: int) -> None:
        torch.set_num_threads(1)
        self.config = TrainConfig.from_dict(config)
        self.index = index
        self.game = make_game(self.config.game)
        self.net = build_network(self.game, self.config).eval()
        self.version = -1
        seed = self.config.seed * 1_000_003 + index * 7919 + os.getpid()  # a restart plays new games
        torch.manual_seed(seed)
        self.model = GameModel(self.game, Evaluator(self.game, self.net))
        self.player = ForestPlayer(self.model, search_config(self.config, self.config.simulations,
                                                             seed % 2**63, training=True))
        self.player_started = False
        self.report_restart = _reconstructed()  # told once, with the first result
        self.histories: list[list[tuple[np.ndarray, np.ndarray, int]]] = []
        self.states: list[Any] = []
        # Where the time goes: the network, the native search (descents and backups), loading
        # weights, and the rest (rules, encoding, records: the game's Python code).
        self.seconds = {"network": 0.0, "native_search": 0.0, "weights": 0.0, "game": 0.0}

    def pid(self) -> int:
        return os.getpid()

    def node(self) -> str:
        import ray

        return ray.get_runtime_context().get_node_id()

    def play(self, version: int, weights: list[Any], moves: int) -> dict[str, Any]:
        """Loads the weights `weights[0]` (an ObjectRef or a dict) if `version` is new, plays
        `moves` moves in every game and returns the finished games with the time spent."""
        start, cpu_start = time.perf_counter(), time.process_time()
        if version != self.version:
            import ray

            box = weights[0]
            load_numpy_weights(self.net, ray.get(box) if isinstance(box, ray.ObjectRef) else box)
            self.version = version
        loaded = time.perf_counter()
        self.seconds["weights"] += loaded - start
        network_before = self.model.evaluate_seconds
        if not self.player_started:
            self.states = [self.game.initial_state() for _ in range(self.config.games_per_worker)]
            self.histories = [[] for _ in self.states]
            self.player.start(self.states)
            self.player_started = True
        finished = []
        for _ in range(moves):
            finished += self._move()
        self.seconds["network"] += self.model.evaluate_seconds - network_before
        self.seconds["game"] += time.perf_counter() - loaded - self.seconds["network"] - self.seconds["native_search"]
        timings = self.seconds
        self.seconds = dict.fromkeys(timings, 0.0)  # each result carries the time since the last
        restarted, self.report_restart = self.report_restart, False
        return {"games": finished, "positions": sum(len(g["value"]) for g in finished),
                "seconds": timings, "version": self.version, "moves": moves, "restarted": restarted,
                "cpu_seconds": time.process_time() - cpu_start}

    def _move(self) -> list[dict[str, np.ndarray]]:
        game, forest = self.game, self.player.forest
        start = time.perf_counter()
        inside = self.model.game_seconds + self.model.evaluate_seconds
        output = forest.search(self.model)
        searched = time.perf_counter()
        inside = self.model.game_seconds + self.model.evaluate_seconds - inside
        self.seconds["native_search"] += searched - start - inside
        if self.config.policy == "puct":
            greedy, sampled = forest.select(0.0), forest.select(1.0)
            plies = np.array([len(h) for h in self.histories])
            moves = np.where(plies < self.config.sampled_plies, sampled, greedy)
        else:
            moves = forest.select(0.0)  # the Gumbel-sampled action
        targets = output.action_weights.astype(np.float32)
        planes = game.encode(self.states)
        for i, state in enumerate(self.states):
            self.histories[i].append((planes[i], targets[i], game.current_player(state)))
        self.states = [game.apply(s, int(m)) for s, m in zip(self.states, moves)]
        self.player.advance(moves, self.states)
        finished = []
        for i, state in enumerate(self.states):
            outcome = game.outcome(state)
            if outcome is None:
                continue
            history = self.histories[i]
            finished.append({
                "planes": np.stack([h[0] for h in history]),
                "policy": np.stack([h[1] for h in history]),
                "value": np.array([outcome if h[2] == 0 else -outcome for h in history], dtype=np.float32),
                "outcome": np.float32(outcome),
            })
            self.histories[i] = []
            self.states[i] = game.initial_state()
        restarts = [i for i, h in enumerate(self.histories) if not h]
        if restarts:
            logits, values, legal = self.model.roots([self.states[i] for i in restarts])
            for row, i in enumerate(restarts):
                forest.reset(i, self.states[i], logits[row], values[row], legal[row])
        return finished


def _reconstructed() -> bool:
    """True in an actor that Ray has restarted after its process died."""
    import ray

    return ray.is_initialized() and bool(getattr(ray.get_runtime_context(), "was_current_actor_reconstructed", False))
