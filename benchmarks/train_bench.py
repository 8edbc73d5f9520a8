"""Benchmarks of veltra_train: self-play throughput and the learning run.

    python benchmarks/train_bench.py throughput [--workers 1 2] [--seconds 30] [--policy gumbel|puct]
    python benchmarks/train_bench.py learning [--minutes 30] [--out runs/bench-c4] [--policy gumbel|puct]
        [--final-opponent mcts:1000] [--final-games 200]

throughput: N self-play actors with the default Connect Four network (untrained: its cost is the
same) play for --seconds; prints positions/s and where a worker's time goes (network, native
search, Python game code, loading weights) and what fetching the results costs the driver.
learning: the default training run (two workers, learner beside them), then the final network
against --final-opponent; prints the learning-curve table from metrics.jsonl.
With the modules built: PYTHONPATH=build:. (from the repository).
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from veltra_train.agent import build_network  # noqa: E402
from veltra_train.config import TrainConfig  # noqa: E402
from veltra_train.games import make_game  # noqa: E402
from veltra_train.metrics import read_metrics  # noqa: E402
from veltra_train.network import weights_to_numpy  # noqa: E402


def throughput(workers: int, seconds: float, config: TrainConfig) -> dict[str, float]:
    import ray

    from veltra_train.selfplay import SelfPlayWorker

    ray.init(num_cpus=workers, _node_ip_address="127.0.0.1", include_dashboard=False, log_to_driver=False)
    try:
        net = build_network(make_game(config.game), config)
        weights = [ray.put(weights_to_numpy(net))]
        remote = ray.remote(num_cpus=1)(SelfPlayWorker)
        actors = [remote.remote(config.to_dict(), i) for i in range(workers)]
        ray.get([a.play.remote(0, weights, 1) for a in actors])  # warm up: start-up, first weights
        pending = {a.play.remote(0, weights, config.moves_per_task): a for a in actors}
        positions, parts, fetch, cpu = 0, {}, 0.0, 0.0
        start = time.perf_counter()
        while time.perf_counter() - start < seconds:
            (ref,), _ = ray.wait(list(pending))
            actor = pending.pop(ref)
            began = time.perf_counter()
            result = ray.get(ref)
            fetch += time.perf_counter() - began
            positions += result["moves"] * config.games_per_worker
            cpu += result["cpu_seconds"]
            parts = {k: parts.get(k, 0.0) + v for k, v in result["seconds"].items()}
            pending[actor.play.remote(0, weights, config.moves_per_task)] = actor
        elapsed = time.perf_counter() - start
        ray.get(list(pending))
        total = sum(parts.values())
        report = {"workers": workers, "positions_per_s": positions / elapsed,
                  "positions_per_worker_cpu_s": positions / cpu, "worker_cpu_busy": cpu / (elapsed * workers),
                  "driver_fetch_ms_per_result": 1000 * fetch / max(1, positions // (
                      config.moves_per_task * config.games_per_worker))}
        report.update({f"share_{k}": v / total for k, v in parts.items()})
        return report
    finally:
        ray.shutdown()


def learning(arguments: argparse.Namespace) -> None:
    from veltra_train.agent import load_agent
    from veltra_train.opponents import make_opponent, match
    from veltra_train.trainer import train

    out = pathlib.Path(arguments.out)
    overrides = {"policy": arguments.policy} if arguments.policy else {}
    counters = train(out, arguments.minutes, resume=(out / "checkpoint.pt").exists(), progress=True,
                     **overrides)
    print(json.dumps({"positions": counters.positions, "games": counters.games,
                      "learner_steps": counters.learner_steps}))
    print(f"{'minutes':>7} {'positions':>9} {'steps':>6} " + "  ".join(
        f"{o:>18}" for o in sorted({o for r in read_metrics(out / 'metrics.jsonl') for o in r.get('scores', {})})))
    for record in read_metrics(out / "metrics.jsonl"):
        if record.get("scores"):
            cells = "  ".join(f"{s['score']:6.3f} [{s['low']:.2f}, {s['high']:.2f}]"
                              for _, s in sorted(record["scores"].items()))
            print(f"{record['time'] / 60:7.1f} {record['positions']:9d} {record['learner_steps']:6d} {cells}")
    agent = load_agent(out / "checkpoint.pt", num_simulations=64)
    start = time.perf_counter()
    score = match(agent.game, agent.player(1), make_opponent(arguments.final_opponent, agent.game, 2, 64),
                  arguments.final_games)
    print(json.dumps({"final_opponent": arguments.final_opponent, **score.to_dict(),
                      "seconds": round(time.perf_counter() - start, 1)}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    speed = commands.add_parser("throughput")
    speed.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    speed.add_argument("--seconds", type=float, default=30.0)
    speed.add_argument("--policy", default="gumbel")
    speed.add_argument("--simulations", type=int, default=None)
    learn = commands.add_parser("learning")
    learn.add_argument("--minutes", type=float, default=30.0)
    learn.add_argument("--out", default="runs/bench-c4")
    learn.add_argument("--policy", default=None)
    learn.add_argument("--final-opponent", default="mcts:1000")
    learn.add_argument("--final-games", type=int, default=200)
    arguments = parser.parse_args()
    if arguments.command == "learning":
        learning(arguments)
        return
    extra = {"simulations": arguments.simulations} if arguments.simulations else {}
    config = TrainConfig(policy=arguments.policy, **extra)
    for workers in arguments.workers:
        print(json.dumps({k: round(v, 4) if isinstance(v, float) else v
                          for k, v in throughput(workers, arguments.seconds, config).items()}))


if __name__ == "__main__":
    main()
