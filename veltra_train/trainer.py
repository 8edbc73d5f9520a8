"""The training run: the driver process holds the learner, the replay buffer, evaluation and the
files of the run; Ray actors play the games.

    driver ── ray.put(weights) ──> object store ──> SelfPlayWorker.play(version, [ref], moves)
    driver <── finished games (observations, targets, outcomes) ── ray.wait on the play calls

Everything that can be wrong with the arguments is checked in `prepare_run`, before Ray starts.
"""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import torch

from .agent import build_network, network_from_checkpoint
from .checkpoint import CheckpointError, load_checkpoint, save_checkpoint
from .config import TrainConfig, search_config
from .games import make_game
from .learner import Learner
from .metrics import append_metrics, plot_learning_curve
from .network import Evaluator, weights_to_numpy
from .opponents import make_opponent, match
from .replay import ReplayBuffer
from .search import ForestPlayer, GameModel
from .selfplay import SelfPlayWorker

CHECKPOINT = "checkpoint.pt"
METRICS = "metrics.jsonl"
CURVE = "learning_curve.png"
LOG_SECONDS = 10.0
# Fields that fix the network's shape: a resumed run keeps them.
SHAPE_FIELDS = ("game", "blocks", "channels")


class RunError(ValueError):
    """An argument that keeps a run from starting; nothing has been written or started."""


@dataclass
class Counters:
    seconds: float = 0.0  # wall time of the run, over all its sessions
    positions: int = 0
    games: int = 0
    learner_steps: int = 0
    weights_version: int = 0
    worker_restarts: int = 0  # workers restarted by Ray after their process died
    lost_tasks: int = 0  # play calls that died with their worker
    evaluations: int = 0
    first_wins: int = 0  # outcomes of the self-play games, for a glance at their balance
    second_wins: int = 0


@dataclass
class Run:
    config: TrainConfig
    out: pathlib.Path
    minutes: float
    counters: Counters = field(default_factory=Counters)
    checkpoint: dict[str, Any] | None = None


def prepare_run(out: str | os.PathLike[str], minutes: float, resume: bool,
                overrides: dict[str, Any]) -> Run:
    """The run's config and counters, or RunError before anything is started or overwritten."""
    if not (isinstance(minutes, (int, float)) and math.isfinite(minutes) and minutes > 0):
        raise RunError(f"--minutes must be a number > 0, not {minutes!r}")
    out = pathlib.Path(out)
    config = None
    if not resume:
        try:
            config = TrainConfig(**overrides)
        except (TypeError, ValueError) as error:
            raise RunError(str(error)) from error
    try:
        out.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=out):
            pass
    except OSError as error:
        raise RunError(f"--out {out} is not a writable directory: {error.strerror or error}") from error
    checkpoint = out / CHECKPOINT
    if config is not None:
        if checkpoint.exists() or (out / METRICS).exists():
            raise RunError(f"--out {out} already holds a run; pass --resume to continue it or choose "
                           "another --out")
        return Run(config, out, minutes)
    try:
        data = load_checkpoint(checkpoint)
        saved, _ = network_from_checkpoint(data, checkpoint)
    except CheckpointError as error:
        raise RunError(f"--resume: {error}") from error
    for name in SHAPE_FIELDS:
        if name in overrides and overrides[name] != getattr(saved, name):
            raise RunError(f"--resume: the run in {out} has {name} {getattr(saved, name)!r}, not "
                           f"{overrides[name]!r}")
    try:
        config = dataclasses.replace(saved, **overrides)
        counters = Counters(**data["counters"])
    except (TypeError, ValueError) as error:
        raise RunError(f"--resume: {error}") from error
    return Run(config, out, minutes, counters, data)


def start_ray(config: TrainConfig, address: str | None) -> bool:
    """Joins the cluster at `address`, or starts a local instance on loopback sized for the
    workers (unless this process already has one). True when this call started Ray."""
    if not address:
        loopback_only()
    import ray

    if ray.is_initialized():
        return False
    env = {"PYTHONPATH": os.pathsep.join(_module_paths())}
    if config.device == "cpu":  # the learner takes the cores the local workers leave
        torch.set_num_threads(max(1, (os.cpu_count() or 1) - (0 if address else config.workers)))
    if address:
        ray.init(address=address, runtime_env={"env_vars": env}, log_to_driver=False)
    else:
        ray.init(address="local", num_cpus=config.workers, _node_ip_address="127.0.0.1", include_dashboard=False,
                 runtime_env={"env_vars": env}, log_to_driver=False)
    return True


def loopback_only() -> None:
    """Makes the Ray started by this process listen on 127.0.0.1 only. Ray replaces a node address
    of 127.0.0.1 by the machine's address (and then listens on every interface) unless it is told
    that this machine runs no multi-node cluster; it reads that when it is imported."""
    os.environ["RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"] = "0"


def _module_paths() -> list[str]:
    """Where this process finds veltra_train and veltra_search: the workers need the same."""
    import veltra_search

    here = pathlib.Path(__file__).resolve().parents[1]
    paths = [str(here), str(pathlib.Path(veltra_search.__file__).resolve().parent)]
    return paths + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p and p not in paths]


class Trainer:
    """One session of a run, on Ray already initialised: `run()` trains until the run's minutes
    are spent, then saves; `on_round` (if given) is called after every worker result."""

    def __init__(self, run: Run, progress: bool = True, on_round: Callable[[Trainer], None] | None = None) -> None:
        import ray

        self.run_info, self.config, self.out = run, run.config, run.out
        self.counters = run.counters
        self.progress, self.on_round = progress, on_round
        torch.manual_seed(self.config.seed + self.counters.positions)
        self.game = make_game(self.config.game)
        self.net = build_network(self.game, self.config)
        self.learner = Learner(self.net, self.config.learning_rate, self.config.weight_decay, self.config.device)
        if run.checkpoint is not None:
            self.net.load_state_dict(run.checkpoint["model"])
            self.learner.optimizer.load_state_dict(run.checkpoint["optimizer"])
        self.net.eval()
        self.buffer = ReplayBuffer(self.game, self.config.window)
        self.rng = np.random.default_rng([self.config.seed, self.counters.positions])
        remote = ray.remote(num_cpus=1, max_restarts=-1, max_task_retries=0)(SelfPlayWorker)
        self.workers = [remote.remote(self.config.to_dict(), i) for i in range(self.config.workers)]
        self.weights = ray.put(weights_to_numpy(self.net))
        self.worker_nodes = len(set(ray.get([w.node.remote() for w in self.workers])))
        self.worker_seconds: dict[str, float] = {}
        self.losses: list[tuple[float, float]] = []
        self.session_positions = 0

    # --- the ratio of learner steps to new positions --------------------------------------------
    def steps_allowed(self) -> int:
        if self.buffer.size < max(1, self.config.min_positions):
            return self.counters.learner_steps
        trained = max(0, self.counters.positions - self.config.min_positions)
        return max(self.counters.learner_steps,
                   math.floor(trained * self.config.train_ratio / self.config.batch_size))

    def learner_behind(self) -> bool:
        """True when the learner lags more than one round of games: the workers wait for it."""
        round_positions = self.config.workers * self.config.games_per_worker * self.config.moves_per_task
        lag = (self.steps_allowed() - self.counters.learner_steps) * self.config.batch_size / self.config.train_ratio
        return lag > round_positions

    def run(self) -> None:
        import ray

        errors = tuple(e for e in (getattr(ray.exceptions, "RayActorError", None),
                                   getattr(ray.exceptions, "ActorUnavailableError", None)) if e)
        budget = self.run_info.minutes * 60
        began, base = time.monotonic(), self.counters.seconds
        games_before = self.counters.games
        last_log = last_eval = time.monotonic()
        if self.counters.evaluations == 0:
            self.evaluate()
        bar = self._progress_bar(budget)
        pending = {self._submit(i): i for i in range(len(self.workers))}
        idle: set[int] = set()
        try:
            while (self.counters.seconds < budget
                   or self.counters.games - games_before < self.config.min_games):
                may_step = self.counters.learner_steps < self.steps_allowed()
                ready, _ = ray.wait(list(pending), num_returns=1, timeout=0 if may_step else 0.5)
                for ref in ready:
                    index = pending.pop(ref)
                    try:
                        fetch = time.perf_counter()
                        result = ray.get(ref)
                        self.worker_seconds["transfer"] = (self.worker_seconds.get("transfer", 0.0)
                                                           + time.perf_counter() - fetch)
                        self._receive(result)
                    except errors:
                        self.counters.lost_tasks += 1  # Ray restarts the actor; its games are lost
                    idle.add(index)
                if not self.learner_behind():
                    pending.update({self._submit(i): i for i in idle})
                    idle.clear()
                if self.counters.learner_steps < self.steps_allowed():
                    self._train_step()
                self.counters.seconds = base + time.monotonic() - began
                now = time.monotonic()
                if now - last_eval >= self.config.eval_minutes * 60:
                    self.evaluate()
                    self.save()
                    last_eval = now
                if now - last_log >= LOG_SECONDS:
                    self._log()
                    last_log = now
                if bar is not None and now - bar.last_print_t >= 1.0:
                    self._update_bar(bar, began)
                if ready and self.on_round is not None:
                    self.on_round(self)
        finally:
            self.counters.seconds = base + time.monotonic() - began
            if bar is not None:
                bar.close()
            for ref in pending:
                ray.cancel(ref, force=False)
        self._log()
        self.evaluate()
        self.save()

    def _submit(self, index: int) -> Any:
        return self.workers[index].play.remote(self.counters.weights_version, [self.weights],
                                               self.config.moves_per_task)

    def _receive(self, result: dict[str, Any]) -> None:
        for game in result["games"]:
            self.buffer.add(game["planes"], game["policy"], game["value"])
            self.counters.games += 1
            self.counters.first_wins += int(game["outcome"] > 0)
            self.counters.second_wins += int(game["outcome"] < 0)
        self.counters.positions += result["positions"]
        self.counters.worker_restarts += int(result["restarted"])
        self.session_positions += result["positions"]
        self.worker_seconds = {k: self.worker_seconds.get(k, 0.0) + v for k, v in result["seconds"].items()}

    def _train_step(self) -> None:
        import ray

        batch = self.buffer.sample(self.config.batch_size, self.rng)
        self.losses.append(self.learner.step(*batch))
        self.counters.learner_steps += 1
        if self.counters.learner_steps % self.config.publish_every == 0:
            self.weights = ray.put(weights_to_numpy(self.net))
            self.counters.weights_version += 1

    def evaluate(self) -> dict[str, Any]:
        """The current network with search against each configured opponent; logged."""
        self.net.eval()
        seed = self.config.seed + self.counters.evaluations
        agent = ForestPlayer(GameModel(self.game, Evaluator(self.game, self.net, self.config.device)),
                             search_config(self.config, self.config.eval_simulations, seed, training=False))
        scores = {}
        for name in self.config.eval_opponents:
            opponent = make_opponent(name, self.game, seed + 1, self.config.eval_simulations)
            scores[name] = match(self.game, agent, opponent, self.config.eval_games).to_dict()
        self.counters.evaluations += 1
        self.last_scores = scores
        self._log(scores)
        plot_learning_curve(_records(self.out), self.out / CURVE,
                            f"{self.config.game}: {self.config.workers} workers, {self.config.policy} "
                            f"{self.config.simulations} simulations")
        return scores

    def _log(self, scores: dict[str, Any] | None = None) -> None:
        losses = np.mean(self.losses, axis=0).tolist() if self.losses else [None, None]
        self.losses = []
        record = {"time": round(self.counters.seconds, 2), "wall": time.time(),
                  **{k: v for k, v in dataclasses.asdict(self.counters).items() if k != "seconds"},
                  "loss_policy": losses[0], "loss_value": losses[1], "buffer": self.buffer.size,
                  "worker_nodes": self.worker_nodes,
                  "worker_seconds": {k: round(v, 3) for k, v in self.worker_seconds.items()}}
        if scores is not None:
            record["scores"] = scores
        append_metrics(self.out / METRICS, record)

    def save(self) -> None:
        data = (self.config.to_dict(), self.net.state_dict(), self.learner.optimizer.state_dict(),
                dataclasses.asdict(self.counters))
        save_checkpoint(self.out / CHECKPOINT, *data)
        history = self.out / "checkpoints"
        history.mkdir(exist_ok=True)
        save_checkpoint(history / f"steps-{self.counters.learner_steps:08d}.pt", *data)

    def _progress_bar(self, budget: float) -> Any:
        if not self.progress:
            return None
        from tqdm import tqdm

        return tqdm(total=round(budget), initial=min(round(self.counters.seconds), round(budget)),
                    unit="s", dynamic_ncols=True, bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} s {postfix}")

    def _update_bar(self, bar: Any, began: float) -> None:
        bar.n = min(bar.total, round(self.counters.seconds))
        scores = " ".join(f"{k} {v['score']:.2f}" for k, v in getattr(self, "last_scores", {}).items())
        rate = self.session_positions / max(1e-9, time.monotonic() - began)
        bar.set_postfix_str(f"{rate:.0f} pos/s, {self.counters.games} games, "
                            f"{self.counters.learner_steps} steps, {scores}", refresh=False)
        bar.refresh()


def _records(out: pathlib.Path) -> list[dict[str, Any]]:
    from .metrics import read_metrics

    return read_metrics(out / METRICS)


def train(out: str | os.PathLike[str], minutes: float, resume: bool = False, address: str | None = None,
          progress: bool = True, **overrides: Any) -> Counters:
    """A whole run: checks, Ray, training, the final checkpoint; Ray stopped if started here.
    KeyboardInterrupt saves a final checkpoint before it propagates."""
    import ray

    run = prepare_run(out, minutes, resume, overrides)
    started = start_ray(run.config, address)
    trainer = None
    try:
        trainer = Trainer(run, progress=progress)
        trainer.run()
    except KeyboardInterrupt:
        if trainer is not None:
            trainer.save()
        raise
    finally:
        if started:
            ray.shutdown()
    return trainer.counters
