#!/usr/bin/env python3
"""Benchmarks of veltra_engine's search: time per simulation and memory per node.

Rows, all with 8 legal actions at every node and a constant rollout value of 0.0:
  search, Python callables         SearchEngine.search with plain Python functions as callbacks
  bridge floor, Python callables   the same callback calls through the same conversion, no tree
  search, native callbacks         SearchEngine.search with C++ functions that pybind11 calls
                                   through their function pointers
  bridge floor, native callbacks   the floor with those C++ functions
  pure-Python search               the same search written in Python (pure_python_search.py)
and bytes per node: the growth of the resident set during one search divided by the nodes it
created, each size measured in a fresh interpreter.

    python3 benchmarks/run.py --build-dir build-bench           # full run, a few minutes
    python3 benchmarks/run.py --build-dir build-bench --quick   # correctness smoke test

The build folder must hold veltra_engine and veltra_bench_native (configure it with
-DVELTRA_BUILD_BENCHMARKS=ON). Results go to benchmarks/results/ as .txt, .json and .png. Every
run checks the results of what it times and exits with status 1 if one is wrong; the goals are
reported, not enforced.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent

NUM_ACTIONS = 8
ACTIONS = list(range(NUM_ACTIONS))
# With a value of 0.0 every UCB score is its exploration term alone, so the search grows a
# balanced 8-ary tree and the descent is logarithmic in the tree size. A non-zero constant makes
# the search follow one line ever deeper, which would measure the length of that line instead.
ROLLOUT_VALUE = 0.0

FULL_SIZES = (1_000, 10_000, 100_000, 1_000_000)
QUICK_SIZES = (100, 1_000)
PURE_PYTHON_MAX = 100_000
RATIO_SIZE = 100_000

Callback = Callable[..., Any]
Callbacks = Tuple[Callback, Callback, Callback]


def py_legal_actions(state: float) -> List[int]:
    return ACTIONS


def py_transition(state: float, action: int) -> List[float]:
    return [state]


def py_rollout() -> float:
    return ROLLOUT_VALUE


PYTHON_CALLBACKS: Callbacks = (py_legal_actions, py_transition, py_rollout)


class CheckFailed(Exception):
    """A benchmarked operation gave a wrong result."""


def check(condition: bool, message: str) -> None:
    if not condition:
        raise CheckFailed(message)


# ----------------------------------------------------------------------------------------------
# Modules


@dataclass(frozen=True)
class Modules:
    engine: Any  # veltra_engine
    native: Any  # veltra_bench_native
    pure: Any  # pure_python_search


def load_modules(build_dir: Path) -> Modules:
    sys.path.insert(0, str(build_dir))
    sys.path.insert(0, str(BENCH_DIR))
    try:
        import veltra_bench_native
        import veltra_engine
    except ImportError as error:
        sys.exit(
            f"cannot import the modules from {build_dir} ({error}); build with "
            "-DVELTRA_BUILD_BENCHMARKS=ON and pass that folder as --build-dir"
        )
    import pure_python_search

    return Modules(veltra_engine, veltra_bench_native, pure_python_search)


def native_callbacks(modules: Modules) -> Callbacks:
    native = modules.native
    check(
        native.NUM_ACTIONS == NUM_ACTIONS and native.ROLLOUT_VALUE == ROLLOUT_VALUE,
        "veltra_bench_native's callbacks differ from the Python ones",
    )
    return native.legal_actions, native.transition, native.rollout


# ----------------------------------------------------------------------------------------------
# Timed cases. A case prepares a run of `count` simulations (not timed); the run is timed and
# returns the check of its own result, which is made after the clock has stopped.

Verify = Callable[[], None]
Run = Callable[[], Verify]


@dataclass(frozen=True)
class Case:
    key: str
    label: str
    prepare: Callable[[int], Run]
    max_count: Optional[int] = None  # largest simulation count worth timing; None: no limit


def expected_root_visits(count: int) -> List[int]:
    """Visits of the root's children after `count` simulations of value 0.0: the least visited
    child (the earliest on ties) is always next, so the visits are as even as possible."""
    return [count // NUM_ACTIONS + (i < count % NUM_ACTIONS) for i in range(NUM_ACTIONS)]


def check_search(label: str, count: int, result: Any, total_nodes: int) -> None:
    visits = list(result.visit_counts)
    check(
        list(result.actions) == ACTIONS and visits == expected_root_visits(count),
        f"{label}: root children {list(result.actions)} with visits {visits}",
    )
    check(result.best_action == 0, f"{label}: best action {result.best_action}")
    check(result.root_value == 0.0, f"{label}: root value {result.root_value}")
    check(
        total_nodes == NUM_ACTIONS * count + 1,
        f"{label}: {total_nodes} nodes after {count} simulations",
    )


def module_engine(modules: Modules, count: int, exploration: Optional[float] = None) -> Any:
    """A veltra_engine.SearchEngine running `count` simulations per search."""
    config = modules.engine.SearchConfig()
    config.num_simulations = count
    if exploration is not None:
        config.exploration_constant = exploration
    return modules.engine.SearchEngine(config)


def new_search(modules: Modules, pure: bool, count: int) -> Tuple[Any, Any]:
    """An engine of `count` simulations and a fresh tree: veltra_engine's, or the pure-Python
    ones."""
    if pure:
        return modules.pure.SearchEngine(num_simulations=count), modules.pure.Tree()
    return module_engine(modules, count), modules.engine.SearchTree()


def search_case(
    modules: Modules, label: str, callbacks: Callbacks, pure: bool = False
) -> Callable[[int], Run]:
    def prepare(count: int) -> Run:
        engine, tree = new_search(modules, pure, count)

        def run() -> Verify:
            result = engine.search(tree, *callbacks)
            return lambda: check_search(label, count, result, tree.total_nodes())

        return run

    return prepare


def bridge_floor_case(modules: Modules, callbacks: Callbacks) -> Callable[[int], Run]:
    def prepare(count: int) -> Run:
        def run() -> Verify:
            actions, value = modules.native.bridge_floor(*callbacks, count)
            return lambda: check(
                actions == NUM_ACTIONS * count and value == ROLLOUT_VALUE * count,
                f"bridge floor: {actions} actions and value {value} after {count} calls",
            )

        return run

    return prepare


def make_cases(modules: Modules) -> List[Case]:
    native = native_callbacks(modules)
    return [
        Case(
            "python", "search, Python callables", search_case(modules, "search", PYTHON_CALLBACKS)
        ),
        Case(
            "floor", "bridge floor, Python callables", bridge_floor_case(modules, PYTHON_CALLBACKS)
        ),
        Case("native", "search, native callbacks", search_case(modules, "search", native)),
        Case("native_floor", "bridge floor, native callbacks", bridge_floor_case(modules, native)),
        Case(
            "pure",
            "pure-Python search",
            search_case(modules, "pure-Python search", PYTHON_CALLBACKS, pure=True),
            PURE_PYTHON_MAX,
        ),
    ]


def repeats_for(count: int, quick: bool) -> int:
    if quick:
        return 1
    if count >= 1_000_000:
        return 3
    if count >= 100_000:
        return 5
    return 9 if count >= 10_000 else 25


def best_ns_per_simulation(case: Case, count: int, repeats: int) -> float:
    """The fastest of `repeats` runs, each on fresh data, in CPU time of this process: on a shared
    machine CPU time leaves out the time other processes hold the core. The garbage collector is
    off while a run is timed (as in timeit), which if anything favours the Python rows."""
    best = math.inf
    for _ in range(repeats):
        run = case.prepare(count)
        gc.collect()
        gc.disable()
        try:
            start = time.process_time_ns()
            verify = run()
            elapsed = time.process_time_ns() - start
        finally:
            gc.enable()
        verify()
        del run, verify  # frees the tree before the next run
        best = min(best, elapsed / count)
    return best


# ----------------------------------------------------------------------------------------------
# Checks that are not timed


class VaryingCallbacks:
    """Deterministic callables whose answers change from call to call; they count their calls."""

    ACTION_LISTS: Tuple[List[int], ...] = ([3, 1, 4], [1, 5], [], [9, 2, 6, 5], [7])
    VALUES: Tuple[float, ...] = (0.5, -0.25, 1.0, 0.0, -0.75, 0.25, 0.125)

    def __init__(self) -> None:
        self.legal_calls = 0
        self.rollout_calls = 0

    def legal_actions(self, state: float) -> List[int]:
        check(state == 0.0, f"legal actions asked for state {state}")
        self.legal_calls += 1
        return self.ACTION_LISTS[self.legal_calls % len(self.ACTION_LISTS)]

    def transition(self, state: float, action: int) -> List[float]:
        raise CheckFailed("the search called the transition callback")

    def rollout(self) -> float:
        self.rollout_calls += 1
        return self.VALUES[self.rollout_calls % len(self.VALUES)]

    def all(self) -> Callbacks:
        return self.legal_actions, self.transition, self.rollout


def check_pure_python_matches_engine(modules: Modules) -> None:
    """The pure-Python search makes the engine's decisions: the same root statistics, tree size
    and callback calls, over two consecutive searches on one tree, with varying callbacks."""
    for exploration in (1.414, 0.3):
        engine = module_engine(modules, 150, exploration)
        pure = modules.pure.SearchEngine(num_simulations=150, exploration_constant=exploration)
        engine_tree, pure_tree = modules.engine.SearchTree(), modules.pure.Tree()
        engine_calls, pure_calls = VaryingCallbacks(), VaryingCallbacks()
        for search in ("first", "second"):
            expected = engine.search(engine_tree, *engine_calls.all())
            actual = pure.search(pure_tree, *pure_calls.all())
            where = f"pure-Python search, c={exploration}, {search} search"
            check(
                (actual.best_action, actual.actions, actual.visit_counts)
                == (expected.best_action, list(expected.actions), list(expected.visit_counts)),
                f"{where}: {actual} differs from the engine's {list(expected.visit_counts)}",
            )
            check(
                math.isclose(actual.root_value, expected.root_value, abs_tol=1e-6),
                f"{where}: root value {actual.root_value}, engine {expected.root_value}",
            )
            check(
                pure_tree.total_nodes() == engine_tree.total_nodes(),
                f"{where}: {pure_tree.total_nodes()} nodes, engine {engine_tree.total_nodes()}",
            )
            check(
                (pure_calls.legal_calls, pure_calls.rollout_calls)
                == (engine_calls.legal_calls, engine_calls.rollout_calls),
                f"{where}: callback calls differ",
            )


def check_bridge_floor_calls(modules: Modules) -> None:
    """The floor makes, per simulation, one legal-actions call with the state 0.0 and then one
    rollout call, and never calls the transition callback."""
    calls: List[str] = []

    def legal_actions(state: float) -> List[int]:
        calls.append(f"legal_actions({state})")
        return ACTIONS

    def rollout() -> float:
        calls.append("rollout()")
        return 0.5

    totals = modules.native.bridge_floor(legal_actions, VaryingCallbacks().transition, rollout, 3)
    check(
        calls == ["legal_actions(0.0)", "rollout()"] * 3 and totals == (3 * NUM_ACTIONS, 1.5),
        f"bridge floor made the calls {calls} and returned {totals}",
    )


def references_during_call(invoke: Callable[..., None], slot: int, callback: Callback) -> int:
    """How many more references `callback` has while `invoke` runs with it as callback number
    `slot` (0 legal actions, 1 transition, 2 rollout) than just before. A Python probe in another
    slot reads the count from inside the call."""
    seen: List[int] = []

    def probe_legal_actions(state: float) -> List[int]:
        seen.append(sys.getrefcount(callback))
        return ACTIONS

    def probe_rollout() -> float:
        seen.append(sys.getrefcount(callback))
        return ROLLOUT_VALUE

    callbacks: List[Callback] = [probe_legal_actions, py_transition, probe_rollout]
    callbacks[slot] = callback
    before = sys.getrefcount(callback)
    invoke(*callbacks)
    check(bool(seen), "the probe callback was not called")
    return seen[0] - before


def check_native_shortcut(modules: Modules) -> None:
    """Native callbacks must reach the engine as plain function pointers. A callback wrapping a
    Python callable holds a reference to it for the whole call; one made by the native shortcut
    holds none, so during the call the native function has fewer extra references."""

    def search_once(*callbacks: Callback) -> None:
        module_engine(modules, 1).search(modules.engine.SearchTree(), *callbacks)

    def floor_once(*callbacks: Callback) -> None:
        modules.native.bridge_floor(*callbacks, 1)

    native = native_callbacks(modules)
    for invoke in (search_once, floor_once):
        for slot, (native_fn, python_fn) in enumerate(zip(native, PYTHON_CALLBACKS)):
            wrapped = references_during_call(invoke, slot, python_fn)
            direct = references_during_call(invoke, slot, native_fn)
            check(
                direct < wrapped,
                f"{invoke.__name__}: native {native_fn.__name__} is held like a Python callable "
                f"({direct} extra references, Python {wrapped}); the native shortcut is not used",
            )


# ----------------------------------------------------------------------------------------------
# Memory per node, each size in a fresh interpreter


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(modules: Modules, implementation: str, count: int) -> Dict[str, int]:
    """Resident-set growth of one search of `count` simulations and the nodes it created."""
    pure = implementation == "pure"
    engine, tree = new_search(modules, pure, count)
    callbacks = PYTHON_CALLBACKS if pure else native_callbacks(modules)
    nodes_before = tree.total_nodes()
    gc.collect()
    before = resident_bytes()
    result = engine.search(tree, *callbacks)
    gc.collect()
    growth = resident_bytes() - before
    nodes = tree.total_nodes()
    check_search(f"memory probe ({implementation})", count, result, nodes)
    return {"nodes": nodes - nodes_before, "bytes": growth}


def measure_memory(build_dir: Path, implementation: str, count: int) -> Dict[str, float]:
    command = [sys.executable, str(Path(__file__).resolve()), "--build-dir", str(build_dir)]
    command += ["--memory-probe", implementation, str(count)]
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    check(
        completed.returncode == 0,
        f"memory probe {implementation} {count} failed:\n{completed.stdout}{completed.stderr}",
    )
    measured: Dict[str, float] = json.loads(completed.stdout)
    measured["bytes_per_node"] = measured["bytes"] / measured["nodes"]
    return measured


# ----------------------------------------------------------------------------------------------
# Reporting


@dataclass(frozen=True)
class Goal:
    label: str
    value: Optional[float]
    bound: float
    at_most: bool

    def met(self) -> Optional[bool]:
        if self.value is None:
            return None
        return self.value <= self.bound if self.at_most else self.value >= self.bound

    def describe(self, judged: bool) -> str:
        value = "n/a" if self.value is None else f"{self.value:.2f}"
        goal = f"goal {'<=' if self.at_most else '>='} {self.bound:g}"
        verdict = {True: "met", False: "MISSED", None: "n/a"}[self.met()]
        if not judged:
            verdict = "(not judged at quick sizes)"
        return f"  {self.label:<44}{value:>8}   {goal:<13}{verdict}"


def size_label(count: int) -> str:
    for factor, suffix in ((1_000_000, "M"), (1_000, "k")):
        if count >= factor and count % factor == 0:
            return f"{count // factor}{suffix}"
    return str(count)


def ratio(numerator: Optional[float], denominator: Optional[float]) -> Optional[float]:
    if numerator is None or denominator is None:
        return None
    return numerator / denominator


def make_goals(results: Dict[str, Any], sizes: Sequence[int]) -> List[Goal]:
    at = RATIO_SIZE if RATIO_SIZE in sizes else sizes[-1]
    first, last = sizes[0], sizes[-1]

    def ns(key: str, count: int) -> Optional[float]:
        value: Optional[float] = results["ns_per_simulation"][key].get(str(count))
        return value

    memory = results["bytes_per_node"]["native"].get(str(last))
    return [
        Goal(
            f"search Python / bridge floor at {size_label(at)}",
            ratio(ns("python", at), ns("floor", at)),
            2.0,
            at_most=True,
        ),
        Goal(
            f"search native / bridge floor at {size_label(at)}",
            ratio(ns("native", at), ns("floor", at)),
            1.2,
            at_most=True,
        ),
        Goal(
            f"pure-Python / search Python at {size_label(at)}",
            ratio(ns("pure", at), ns("python", at)),
            30.0,
            at_most=False,
        ),
        Goal(
            f"bytes per node at {size_label(NUM_ACTIONS * last)} nodes",
            None if memory is None else memory["bytes_per_node"],
            80.0,
            at_most=True,
        ),
        Goal(
            f"native ns/sim growth {size_label(first)} to {size_label(last)}",
            ratio(ns("native", last), ns("native", first)),
            3.0,
            at_most=True,
        ),
    ]


MEMORY_ROWS = (("native", "search, native callbacks"), ("pure", "pure-Python search"))


def format_report(
    results: Dict[str, Any], cases: Sequence[Case], sizes: Sequence[int], goals: Sequence[Goal]
) -> str:
    width = 34

    def table(rows: Sequence[Tuple[str, Dict[str, float]]]) -> List[str]:
        lines = [f"{'simulations':<{width}}" + "".join(f"{size_label(c):>10}" for c in sizes)]
        for label, row in rows:
            cells = [f"{row[str(c)]:>10.1f}" if str(c) in row else "-".rjust(10) for c in sizes]
            lines.append(f"{label:<{width}}{''.join(cells)}")
        return lines

    timing = [(case.label, results["ns_per_simulation"][case.key]) for case in cases]
    memory = [
        (label, {c: m["bytes_per_node"] for c, m in results["bytes_per_node"][key].items()})
        for key, label in MEMORY_ROWS
    ]
    return "\n".join(
        [
            f"veltra_engine benchmarks on {results['machine']}",
            f"{NUM_ACTIONS} legal actions per node, rollout value {ROLLOUT_VALUE}",
            "",
            "ns per simulation (CPU time, best of repeated runs)",
            *table(timing),
            "",
            "bytes per node (resident-set growth / nodes created, fresh interpreter)",
            *table(memory),
            "",
            "goals",
            *(goal.describe(judged=not results["quick"]) for goal in goals),
        ]
    )


def write_plot(results: Dict[str, Any], cases: Sequence[Case], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {case.key: f"C{index}" for index, case in enumerate(cases)}
    figure, (time_axes, memory_axes) = plt.subplots(1, 2, figsize=(12, 4.8))
    slowest = 0.0
    for case in cases:
        row = results["ns_per_simulation"][case.key]
        counts = sorted(int(c) for c in row)
        times = [row[str(c)] for c in counts]
        slowest = max(slowest, *times)
        nodes = [NUM_ACTIONS * c + 1 for c in counts]
        time_axes.plot(nodes, times, marker="o", color=colours[case.key], label=case.label)
    time_axes.set(
        xscale="log",
        yscale="log",
        xlabel="nodes in the tree (8 per simulation)",
        ylabel="ns per simulation",
        title="Time per simulation",
    )
    time_axes.set_ylim(top=slowest * 8)  # room for the legend above the lines
    time_axes.grid(True, which="both", alpha=0.3)
    time_axes.legend(fontsize="small", loc="upper left", ncol=2)
    for key, label in MEMORY_ROWS:
        entries = results["bytes_per_node"][key].values()
        points = sorted((entry["nodes"], entry["bytes_per_node"]) for entry in entries)
        memory_axes.plot(*zip(*points), marker="o", color=colours[key], label=label)
    memory_axes.set(
        xscale="log",
        xlabel="nodes created by the search",
        ylabel="bytes per node",
        title="Memory per node (resident-set growth)",
    )
    memory_axes.set_ylim(bottom=0)
    memory_axes.grid(True, which="both", alpha=0.3)
    memory_axes.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


def run_core_benchmark(build_dir: Path) -> None:
    """A very short run of the C++ benchmark binary's small cases, to show that it works."""
    binary = build_dir / "benchmarks" / "veltra_core_benchmark"
    if not binary.exists():
        print(f"note: {binary} is not built; skipped")
        return
    command = [str(binary), "--benchmark_min_time=0.001"]
    command.append("--benchmark_filter=BM_Search/1000$|BM_ExpandNode|BM_BestUcbChild")
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    check(completed.returncode == 0, f"{binary.name} failed:\n{completed.stderr}")


def machine_description() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            names = [line.split(":")[1] for line in cpuinfo if line.startswith("model name")]
        model = names[0].strip() if names else model
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs ({model}), Python {platform.python_version()}"


# ----------------------------------------------------------------------------------------------


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Times veltra_engine's search against its Python bridge and a pure-Python "
        "search, and measures memory per node."
    )
    parser.add_argument(
        "--build-dir",
        type=Path,
        default=Path(os.environ.get("VELTRA_MODULE_DIR", REPO_DIR / "build")),
        help="build folder holding veltra_engine and veltra_bench_native "
        "(default: $VELTRA_MODULE_DIR, else build/)",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="tiny sizes, one run each, checks only: shows in seconds that everything works",
    )
    parser.add_argument(
        "--output-dir",
        type=Path,
        default=BENCH_DIR / "results",
        help="where the .txt, .json and .png files go (default: benchmarks/results)",
    )
    # Internal: one memory measurement, run by the main process in a fresh interpreter.
    parser.add_argument("--memory-probe", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def run_benchmarks(
    modules: Modules, build_dir: Path, quick: bool
) -> Tuple[Dict[str, Any], List[Case]]:
    sizes = QUICK_SIZES if quick else FULL_SIZES
    check_pure_python_matches_engine(modules)
    check_bridge_floor_calls(modules)
    check_native_shortcut(modules)
    cases = make_cases(modules)
    results: Dict[str, Any] = {
        "machine": machine_description(),
        "quick": quick,
        "sizes": list(sizes),
        "ns_per_simulation": {case.key: {} for case in cases},
        "bytes_per_node": {key: {} for key, _ in MEMORY_ROWS},
    }
    for count in sizes:
        for case in cases:
            if case.max_count is None or count <= case.max_count:
                ns = best_ns_per_simulation(case, count, repeats_for(count, quick))
                results["ns_per_simulation"][case.key][str(count)] = ns
                print(f"  {case.label:<34}{size_label(count):>6}: {ns:10.1f} ns", flush=True)
    for key, largest in (("native", sizes[-1]), ("pure", PURE_PYTHON_MAX)):
        for count in sizes:
            if count <= largest:
                results["bytes_per_node"][key][str(count)] = measure_memory(build_dir, key, count)
    if quick:
        run_core_benchmark(build_dir)
    return results, cases


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    build_dir = args.build_dir.resolve()
    modules = load_modules(build_dir)
    if args.memory_probe:
        implementation, count = args.memory_probe
        print(json.dumps(memory_probe(modules, implementation, int(count))))
        return 0

    try:
        results, cases = run_benchmarks(modules, build_dir, args.quick)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    goals = make_goals(results, results["sizes"])
    results["goals"] = [
        {"goal": g.label, "value": g.value, "bound": g.bound, "at_most": g.at_most, "met": g.met()}
        for g in goals
    ]
    report = format_report(results, cases, results["sizes"], goals)
    print(f"\n{report}")

    args.output_dir.mkdir(parents=True, exist_ok=True)
    stem = args.output_dir / ("quick" if args.quick else "benchmark")
    stem.with_suffix(".txt").write_text(report + "\n")
    stem.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    write_plot(results, cases, stem.with_suffix(".png"))
    print(f"\nwrote {stem}.txt, {stem}.json and {stem}.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
