#!/usr/bin/env python3
"""Array states against object states on a MuZero-style workload of veltra_search.

Rows:
  simulations per second, array states    256 roots whose 64-float latent states are one torch
                                          tensor; recurrent_fn gets the parents as one array and
                                          returns the next states as one tensor
  simulations per second, object states   the same model on a list of 256 tensors: recurrent_fn
                                          stacks the parents and splits the next states back
  bytes per node, array states            resident-set growth of a search / nodes it created at 1M
                                          nodes with S = (64,) float32, in a fresh interpreter

The networks are small torch MLPs of width 64 (dynamics: state and one-hot action to the next
state; prediction: state to logits and value), on one thread, 50 simulations. Times are wall
time of whole searches (networks included), best of several. Both paths must give the same
search bit for bit (checked before timing).

    python3 benchmarks/latent_bench.py --build-dir build-bench           # about a minute
    python3 benchmarks/latent_bench.py --build-dir build-bench --quick   # a few seconds, checks
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Optional, Sequence

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

from measure import CheckFailed, check, resident_bytes  # noqa: E402
from report import Goal, machine_description, write_results  # noqa: E402

NUM_ACTIONS = 7
WIDTH = 64


@dataclass(frozen=True)
class Sizes:
    roots: int
    simulations: int
    repeats: int
    memory_roots: int
    memory_simulations: int


FULL = Sizes(roots=256, simulations=50, repeats=5, memory_roots=1000, memory_simulations=1000)
QUICK = Sizes(roots=32, simulations=10, repeats=1, memory_roots=50, memory_simulations=100)


class LatentNetworks:
    """Dynamics and prediction MLPs; `objects` takes and gives states as lists of tensors."""

    def __init__(self, objects: bool) -> None:
        import torch

        torch.manual_seed(0)
        self.torch, self.objects = torch, objects
        self.dynamics = torch.nn.Sequential(
            torch.nn.Linear(WIDTH + NUM_ACTIONS, WIDTH), torch.nn.ReLU(),
            torch.nn.Linear(WIDTH, WIDTH), torch.nn.Tanh())
        self.prediction = torch.nn.Sequential(
            torch.nn.Linear(WIDTH, WIDTH), torch.nn.ReLU(), torch.nn.Linear(WIDTH, NUM_ACTIONS + 1))
        self.one_hot = torch.eye(NUM_ACTIONS)

    def predict(self, states: Any) -> Any:
        out = self.prediction(states)
        return out[:, :NUM_ACTIONS], self.torch.tanh(out[:, NUM_ACTIONS])

    def roots(self, count: int) -> Any:
        states = self.torch.randn(count, WIDTH, generator=self.torch.Generator().manual_seed(1))
        return list(states.unbind(0)) if self.objects else states

    def root_fn(self, states: Any) -> Any:
        with self.torch.no_grad():
            batch = self.torch.stack(states) if self.objects else self.torch.from_numpy(states)
            logits, values = self.predict(batch)
        return logits, values, None

    def __call__(self, states: Any, actions: np.ndarray) -> Any:
        with self.torch.no_grad():
            batch = self.torch.stack(states) if self.objects else self.torch.from_numpy(states)
            moves = self.one_hot[self.torch.from_numpy(actions)]
            next_states = self.dynamics(self.torch.cat([batch, moves], dim=1))
            logits, values = self.predict(next_states)
        count = len(actions)
        out_states = list(next_states.unbind(0)) if self.objects else next_states
        return (out_states, np.zeros(count), np.full(count, 0.997), logits, values, None)


def new_forest(module: Any, networks: LatentNetworks, sizes: Sizes) -> Any:
    config = module.SearchConfig(NUM_ACTIONS, num_simulations=sizes.simulations, seed=1)
    return module.Forest(config, networks.roots(sizes.roots), root_fn=networks.root_fn)


def check_paths_agree(module: Any, sizes: Sizes) -> None:
    outputs = []
    for objects in (False, True):
        networks = LatentNetworks(objects)
        outputs.append(new_forest(module, networks, sizes).search(networks))
    for name in ("visit_counts", "q_values", "root_values", "action_weights"):
        check(np.array_equal(getattr(outputs[0], name), getattr(outputs[1], name), equal_nan=True),
              f"array and object states give different {name}")


def simulations_per_second(module: Any, objects: bool, sizes: Sizes) -> float:
    networks = LatentNetworks(objects)
    best = float("inf")
    for _ in range(sizes.repeats):
        forest = new_forest(module, networks, sizes)
        forest.search(networks, roots=[])  # the roots' root_fn call, not timed
        start = time.perf_counter()
        forest.search(networks)
        best = min(best, time.perf_counter() - start)
    return sizes.roots * sizes.simulations / best


def memory_probe(module: Any, roots: int, simulations: int) -> Dict[str, float]:
    """Array states of S = (64,) float32 and a recurrent_fn that hands the parents back."""
    rows = np.zeros((roots, NUM_ACTIONS)), np.zeros(roots), np.full(roots, -1.0)

    def recurrent_fn(states: np.ndarray, actions: np.ndarray) -> Any:
        count = len(actions)
        return states, rows[1][:count], rows[2][:count], rows[0][:count], rows[1][:count], None

    config = module.SearchConfig(NUM_ACTIONS, num_simulations=simulations)
    forest = module.Forest(config, np.zeros((roots, WIDTH), np.float32), rows[0], rows[1])
    gc.collect()
    before_nodes, before = forest.num_nodes, resident_bytes()
    forest.search(recurrent_fn)
    gc.collect()
    nodes = forest.num_nodes - before_nodes
    check(nodes == roots * simulations, f"memory probe: {nodes} nodes created")
    return {"nodes": nodes, "bytes_per_node": (resident_bytes() - before) / nodes}


def measure_memory(build_dir: Path, sizes: Sizes) -> Dict[str, float]:
    command = [sys.executable, str(Path(__file__).resolve()), "--build-dir", str(build_dir),
               "--memory-probe", str(sizes.memory_roots), str(sizes.memory_simulations)]
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    check(completed.returncode == 0, f"memory probe failed:\n{completed.stdout}{completed.stderr}")
    measured: Dict[str, float] = json.loads(completed.stdout)
    return measured


def run(module: Any, build_dir: Path, sizes: Sizes, quick: bool) -> Dict[str, Any]:
    import torch

    torch.set_num_threads(1)
    check_paths_agree(module, sizes)
    arrays = simulations_per_second(module, False, sizes)
    objects = simulations_per_second(module, True, sizes)
    memory = measure_memory(build_dir, sizes)
    goals = [Goal("array states / object states, simulations per second", arrays / objects,
                  1.5, False)]
    results: Dict[str, Any] = {
        "machine": machine_description(), "quick": quick, "sizes": sizes.__dict__,
        "simulations_per_second": {"array_states": arrays, "object_states": objects},
        "ratio": arrays / objects, "bytes_per_node": memory,
        "goals": [goal.__dict__ for goal in goals],
    }
    lines = [
        f"veltra_search, latent states: {sizes.roots} roots, S = ({WIDTH},) float32, "
        f"{sizes.simulations} simulations, torch MLPs of width {WIDTH}",
        f"  {'simulations per second, array states':<44}{arrays:>12,.0f}",
        f"  {'simulations per second, object states':<44}{objects:>12,.0f}",
        f"  {'bytes per node, array states':<44}{memory['bytes_per_node']:>12.1f}"
        f"   at {memory['nodes']:,} nodes",
        *(goal.describe(judged=not quick) for goal in goals),
    ]
    results["report"] = "\n".join(lines)
    return results


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Array states against object states.")
    parser.add_argument("--build-dir", type=Path,
                        default=Path(os.environ.get("VELTRA_MODULE_DIR", REPO_DIR / "build")))
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one run, checks only")
    parser.add_argument("--output-dir", type=Path, default=BENCH_DIR / "results")
    parser.add_argument("--memory-probe", nargs=2, metavar=("ROOTS", "SIMULATIONS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    sys.path.insert(0, str(args.build_dir.resolve()))
    import veltra_search

    if args.memory_probe:
        print(json.dumps(memory_probe(veltra_search, *map(int, args.memory_probe))))
        return 0
    sizes = QUICK if args.quick else FULL
    try:
        results = run(veltra_search, args.build_dir.resolve(), sizes, args.quick)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    print(results["report"])
    write_results(args.output_dir, "latent", args.quick, results["report"], results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
