#!/usr/bin/env python3
"""Benchmarks of veltra_search: its own cost per simulation, against the pure-Python reference and
in network-guided self-play, and its memory per node.

Rows:
  overhead, veltra_search        time per simulation per root outside recurrent_fn, with a cheap
                                 NumPy recurrent_fn (the time measured inside it is subtracted)
  overhead, pure-Python forest   the same for reference/forest.py, the same semantics in Python
  overhead, gumbel               the native overhead under policy="gumbel" (m = 16), at the same
                                 size beside PUCT's, and at the few simulations of self-play
                                 training (16, 32, 64)
  self-play, batched             Connect Four, many games at once, a small PyTorch network that
                                 evaluates each step's leaves in one forward pass
  self-play, one leaf at a time  the same games and network with a pure-Python search per game,
                                 which asks the network about one leaf per call
  bytes per node                 resident-set growth of a search / nodes it created, in a fresh
                                 interpreter, with one shared state object (so no state's memory),
                                 under both policies

    python3 benchmarks/search_bench.py --build-dir build-bench           # about two minutes
    python3 benchmarks/search_bench.py --build-dir build-bench --quick   # a few seconds, checks

Times are CPU time of the running thread, best of several runs, so that other processes on a
shared machine count as little as possible. Every run checks the results of what it times (the
native and the pure-Python forest must agree exactly) and exits with status 1 if one is wrong;
the goals are reported, not enforced. Results go to benchmarks/results/search[_quick].{txt,json}.
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))
sys.path.insert(0, str(REPO_DIR))
sys.path.insert(0, str(REPO_DIR / "examples"))

from reference import forest as reference_forest  # noqa: E402
from measure import CheckFailed, check, resident_bytes  # noqa: E402
from report import add_common_arguments, Goal, machine_description, write_results  # noqa: E402
from search_speed import instruction_figures  # noqa: E402

NUM_ACTIONS = 7


@dataclass(frozen=True)
class Sizes:
    roots: int
    simulations: int
    repeats: int
    reference_repeats: int
    games: int
    game_simulations: int
    game_moves: int
    memory_roots: int
    memory_simulations: int
    gumbel_simulations: tuple[int, ...]


FULL = Sizes(roots=256, simulations=200, repeats=5, reference_repeats=2, games=64,
             game_simulations=100, game_moves=6, memory_roots=1000, memory_simulations=1000,
             gumbel_simulations=(16, 32, 64))
QUICK = Sizes(roots=8, simulations=20, repeats=1, reference_repeats=1, games=4,
              game_simulations=8, game_moves=2, memory_roots=20, memory_simulations=100,
              gumbel_simulations=(16,))


# ----------------------------------------------------------------------------------------------
# Overhead per simulation


class CheapModel:
    """A recurrent_fn doing as little as a real one can: it hands back its parent states and
    slices of precomputed random tables (no terminal positions), and keeps the CPU time spent
    inside it."""

    def __init__(self, rows: int, seed: int = 0) -> None:
        rng = np.random.default_rng(seed)
        self.logits = rng.normal(0.0, 1.0, (rows, NUM_ACTIONS))
        self.values = rng.uniform(-1.0, 1.0, (97, rows))  # 97 rows: values vary step to step
        self.rewards, self.discounts = np.zeros(rows), np.full(rows, -1.0)
        self.calls = 0
        self.inside_ns = 0

    def __call__(self, states: List[Any], actions: np.ndarray) -> Any:
        start = time.thread_time_ns()
        count = len(states)
        values = self.values[self.calls % len(self.values), :count]
        self.calls += 1
        result = (states, self.rewards[:count], self.discounts[:count], self.logits[:count],
                  values, None)
        self.inside_ns += time.thread_time_ns() - start
        return result


def new_forest(module: Any, roots: int, simulations: int, policy: str = "puct",
               num_threads: int = 1) -> Any:
    config = module.SearchConfig(NUM_ACTIONS, num_simulations=simulations, policy=policy,
                                 num_threads=num_threads)
    model = CheapModel(roots, seed=1)
    return module.Forest(config, [0] * roots, model.logits, model.values[0])


def overhead_ns(module: Any, roots: int, simulations: int, repeats: int,
                policy: str = "puct") -> Dict[str, Any]:
    """Best time per simulation per root outside recurrent_fn; also the output of the last run."""
    best, output = float("inf"), None
    for _ in range(repeats):
        forest, model = new_forest(module, roots, simulations, policy), CheapModel(roots)
        gc.collect()
        gc.disable()
        try:
            start = time.thread_time_ns()
            output = forest.search(model)
            total = time.thread_time_ns() - start
        finally:
            gc.enable()
        check(model.calls == simulations, f"{module.__name__}: {model.calls} recurrent_fn calls")
        check(forest.num_nodes == roots * (simulations + 1),
              f"{module.__name__}: {forest.num_nodes} nodes after the search")
        best = min(best, (total - model.inside_ns) / (roots * simulations))
    return {"ns": best, "output": output}


def wall_overhead_ns(module: Any, roots: int, simulations: int, repeats: int,
                     num_threads: int) -> Dict[str, Any]:
    """Best wall time per simulation per root outside recurrent_fn (the other threads' work
    counts, unlike in overhead_ns); also the output of the last run."""
    best, output = float("inf"), None
    for _ in range(repeats):
        forest = new_forest(module, roots, simulations, num_threads=num_threads)
        model = CheapModel(roots)
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter_ns()
            output = forest.search(model)
            total = time.perf_counter_ns() - start
        finally:
            gc.enable()
        best = min(best, (total - model.inside_ns) / (roots * simulations))
    return {"ns": best, "output": output}


def check_outputs_agree(native: Any, expected: Any) -> None:
    for name in ("visit_counts", "q_values", "root_values", "action_weights", "selected_actions"):
        check(np.array_equal(getattr(native, name), getattr(expected, name), equal_nan=True),
              f"veltra_search and the pure-Python forest differ in {name}")


# ----------------------------------------------------------------------------------------------
# Network-guided self-play


def self_play_rates(search_module: Any, sizes: Sizes,
                    thread_counts: Sequence[int] = ()) -> Dict[str, float]:
    """Simulations per second of the first moves of Connect Four self-play: batched through
    veltra_search, and one game and one leaf at a time through the pure-Python forest, with the
    same untrained network (one thread, the same weights); CPU time of the calling thread. Also,
    batched, in wall time, with each of `thread_counts` native threads ("wall_threads_T")."""
    import torch

    from connect_four_game import START, WIDTH
    from model_self_play import NetworkModel, PolicyValueNet

    torch.manual_seed(0)
    torch.set_num_threads(1)
    model = NetworkModel(PolicyValueNet().eval())
    games, simulations = sizes.games, sizes.game_simulations
    logits, values = model.evaluate([START])
    legal = np.array([START.legal()])

    def play(module: Any, forests: List[Any], roots_per_forest: int,
             clock: Callable[[], int] = time.thread_time_ns) -> float:
        start = clock()
        for _ in range(sizes.game_moves):
            for forest in forests:
                output = forest.search(model)
                check(bool((output.visit_counts.sum(axis=1) > 0).all()),
                      f"{module.__name__}: a root without visits")
                forest.advance(forest.select())
        seconds = (clock() - start) / 1e9
        return len(forests) * roots_per_forest * simulations * sizes.game_moves / seconds

    def config(module: Any, **options: Any) -> Any:
        return module.SearchConfig(WIDTH, num_simulations=simulations, **options)

    def batched_forest(**options: Any) -> Any:
        return search_module.Forest(config(search_module, **options), [START] * games,
                                    np.repeat(logits, games, axis=0), np.repeat(values, games),
                                    np.repeat(legal, games, axis=0))

    batched = batched_forest()
    one_at_a_time = [reference_forest.Forest(config(reference_forest), [START], logits, values,
                                             legal) for _ in range(games)]
    rates = {"batched": play(search_module, [batched], games),
             "one_leaf": play(reference_forest, one_at_a_time, 1)}
    for count in thread_counts:
        rates[f"wall_threads_{count}"] = play(search_module, [batched_forest(num_threads=count)],
                                              games, time.perf_counter_ns)
    return rates


# ----------------------------------------------------------------------------------------------
# Memory per node, in a fresh interpreter


def memory_probe(module: Any, roots: int, simulations: int, policy: str) -> Dict[str, float]:
    forest = new_forest(module, roots, simulations, policy)
    model = CheapModel(roots)
    model(list(range(roots)), np.zeros(roots, dtype=np.int64))  # its first call's allocations
    gc.collect()
    before_nodes, before = forest.num_nodes, resident_bytes()
    forest.search(model)
    gc.collect()
    nodes = forest.num_nodes - before_nodes
    check(nodes == roots * simulations, f"memory probe: {nodes} nodes created")
    return {"nodes": nodes, "bytes_per_node": (resident_bytes() - before) / nodes}


def measure_memory(build_dir: Path, implementation: str, roots: int, simulations: int,
                   policy: str = "puct") -> Dict[str, float]:
    command = [sys.executable, str(Path(__file__).resolve()), "--build-dir", str(build_dir),
               "--memory-probe", implementation, str(roots), str(simulations), policy]
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    check(completed.returncode == 0, f"memory probe failed:\n{completed.stdout}{completed.stderr}")
    measured: Dict[str, float] = json.loads(completed.stdout)
    return measured


# ----------------------------------------------------------------------------------------------
# Reporting


def run_benchmarks(module: Any, build_dir: Path, sizes: Sizes) -> Dict[str, Any]:
    roots, simulations = sizes.roots, sizes.simulations
    native = overhead_ns(module, roots, simulations, sizes.repeats)
    print(f"  overhead, veltra_search: {native['ns']:.1f} ns", flush=True)
    pure = overhead_ns(reference_forest, roots, simulations, sizes.reference_repeats)
    print(f"  overhead, pure-Python forest: {pure['ns']:.1f} ns", flush=True)
    check_outputs_agree(native["output"], pure["output"])
    gumbel = {simulations: overhead_ns(module, roots, simulations, sizes.repeats, "gumbel")["ns"]}
    for count in sizes.gumbel_simulations:
        gumbel[count] = overhead_ns(module, roots, count, sizes.repeats, "gumbel")["ns"]
    print("  overhead, gumbel: " + ", ".join(f"S={s}: {ns:.1f} ns" for s, ns in gumbel.items()),
          flush=True)
    # The Gumbel policy checked against the pure-Python forest at a size it searches quickly.
    check_outputs_agree(overhead_ns(module, 16, 64, 1, "gumbel")["output"],
                        overhead_ns(reference_forest, 16, 64, 1, "gumbel")["output"])
    threads = {count: wall_overhead_ns(module, roots, simulations, sizes.repeats, count)
               for count in (1, 2)}
    check_outputs_agree(threads[2]["output"], native["output"])
    print("  overhead, wall: " + ", ".join(f"{t} thread(s): {r['ns']:.1f} ns"
                                           for t, r in threads.items()), flush=True)
    instructions = ({"puct": None, "gumbel": None} if sizes is QUICK
                    else instruction_figures(build_dir, roots, simulations))
    print(f"  instructions/simulation/root: {instructions}", flush=True)
    rates = self_play_rates(module, sizes, thread_counts=(1, 2))
    print(f"  self-play: {rates['batched']:.0f} and {rates['one_leaf']:.0f} simulations/s",
          flush=True)
    memory = {
        "native": measure_memory(build_dir, "native", sizes.memory_roots,
                                 sizes.memory_simulations),
        "native_gumbel": measure_memory(build_dir, "native", sizes.memory_roots,
                                        sizes.memory_simulations, "gumbel"),
        "pure": measure_memory(build_dir, "pure", max(sizes.memory_roots // 10, 1),
                               sizes.memory_simulations),
    }
    return {
        "machine": machine_description(),
        "sizes": sizes.__dict__,
        "overhead_ns_per_simulation_per_root": {"native": native["ns"], "pure": pure["ns"]},
        "gumbel_overhead_ns_per_simulation_per_root": {str(s): ns for s, ns in gumbel.items()},
        "wall_overhead_ns_by_threads": {str(t): r["ns"] for t, r in threads.items()},
        "instructions_per_simulation_per_root": instructions,
        "self_play_simulations_per_second": rates,
        "memory": memory,
    }


def make_goals(results: Dict[str, Any], sizes: Sizes) -> List[Goal]:
    overhead = results["overhead_ns_per_simulation_per_root"]
    rates = results["self_play_simulations_per_second"]
    native_memory = results["memory"]["native"]
    return [
        Goal(f"native overhead ns/simulation/root, R={sizes.roots}", overhead["native"], 300.0,
             at_most=True),
        Goal("pure-Python overhead / native overhead", overhead["pure"] / overhead["native"],
             30.0, at_most=False),
        Goal(f"self-play batched / one leaf at a time, {sizes.games} games",
             rates["batched"] / rates["one_leaf"], 10.0, at_most=False),
        # 48 bytes of node, plus what the budget leaves out: the float32 priors row and the
        # state's slot.
        Goal(f"bytes per node at {native_memory['nodes']:,} nodes (priors, state slot included)",
             native_memory["bytes_per_node"], 48.0 + 4 * NUM_ACTIONS + 8, at_most=True),
        Goal(f"gumbel / PUCT native overhead, R={sizes.roots}, S={sizes.simulations}",
             results["gumbel_overhead_ns_per_simulation_per_root"][str(sizes.simulations)]
             / overhead["native"], 1.3, at_most=True),
        # The Gumbel policy adds a row of float64 logits per node.
        Goal("gumbel bytes per node (priors, logits, state slot included)",
             results["memory"]["native_gumbel"]["bytes_per_node"],
             48.0 + 12 * NUM_ACTIONS + 8, at_most=True),
    ]


def format_report(results: Dict[str, Any], goals: Sequence[Goal], quick: bool) -> str:
    overhead = results["overhead_ns_per_simulation_per_root"]
    rates = results["self_play_simulations_per_second"]
    memory = results["memory"]
    sizes = results["sizes"]
    return "\n".join([
        f"veltra_search benchmarks on {results['machine']}",
        f"{NUM_ACTIONS} actions; overhead at {sizes['roots']} roots x {sizes['simulations']} "
        f"simulations; self-play: {sizes['games']} games, {sizes['game_simulations']} "
        f"simulations per move, first {sizes['game_moves']} moves",
        "",
        f"  {'overhead, veltra_search (ns/simulation/root)':<52}{overhead['native']:>10.1f}",
        f"  {'overhead, pure-Python forest (ns/simulation/root)':<52}{overhead['pure']:>10.1f}",
        *(f"  {f'overhead, gumbel, S={s} (ns/simulation/root)':<52}{ns:>10.1f}"
          for s, ns in results["gumbel_overhead_ns_per_simulation_per_root"].items()),
        *(f"  {f'overhead, wall, {t} thread(s) (ns/simulation/root)':<52}{ns:>10.1f}"
          for t, ns in results["wall_overhead_ns_by_threads"].items()),
        *(f"  {f'instructions, native step, {p} (per simulation/root)':<52}"
          + (f"{n:>10.0f}" if n is not None else "  not measured (needs valgrind and a build "
             "with -DVELTRA_BUILD_BENCHMARKS=ON)")
          for p, n in results["instructions_per_simulation_per_root"].items()),
        f"  {'self-play, batched (simulations/s)':<52}{rates['batched']:>10.0f}",
        f"  {'self-play, one leaf at a time (simulations/s)':<52}{rates['one_leaf']:>10.0f}",
        *(f"  {f'self-play, batched, wall, {name[13:]} thread(s) (sims/s)':<52}{rate:>10.0f}"
          for name, rate in rates.items() if name.startswith("wall_threads_")),
        f"  {'bytes per node, veltra_search':<40}{memory['native']['nodes']:>12,}"
        f"{memory['native']['bytes_per_node']:>10.1f}",
        f"  {'bytes per node, veltra_search gumbel':<40}{memory['native_gumbel']['nodes']:>12,}"
        f"{memory['native_gumbel']['bytes_per_node']:>10.1f}",
        f"  {'bytes per node, pure-Python forest':<40}{memory['pure']['nodes']:>12,}"
        f"{memory['pure']['bytes_per_node']:>10.1f}",
        "",
        "goals",
        *(goal.describe(judged=not quick) for goal in goals),
    ])


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Benchmarks of veltra_search.")
    add_common_arguments(parser, "tiny sizes, one run each, checks only")
    # Internal: one memory measurement, run by the main process in a fresh interpreter.
    parser.add_argument("--memory-probe", nargs=4,
                        metavar=("IMPL", "ROOTS", "SIMULATIONS", "POLICY"),
                        help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def load_module(build_dir: Path) -> Any:
    sys.path.insert(0, str(build_dir))
    try:
        import veltra_search
    except ImportError as error:
        sys.exit(f"cannot import veltra_search from {build_dir} ({error})")
    return veltra_search


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    build_dir = args.build_dir.resolve()
    module = load_module(build_dir)
    if args.memory_probe:
        implementation, roots, simulations, policy = args.memory_probe
        probed = module if implementation == "native" else reference_forest
        print(json.dumps(memory_probe(probed, int(roots), int(simulations), policy)))
        return 0
    sizes = QUICK if args.quick else FULL
    try:
        results = run_benchmarks(module, build_dir, sizes)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    goals = make_goals(results, sizes)
    results["quick"] = args.quick
    results["goals"] = [goal.__dict__ for goal in goals]
    report = format_report(results, goals, args.quick)
    print(f"\n{report}")
    write_results(args.output_dir, "search", args.quick, report, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
