"""What benchmarks/run.py times and measures: the modules and callbacks, the timed cases and
their checks, memory per node and the C++ benchmark binary.

Run as a script, it makes one memory measurement in its own fresh interpreter and prints it as
JSON; measure_memory starts it that way.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
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
    sys.path.insert(0, str(REPO_DIR))
    try:
        import veltra_bench_native
        import veltra_engine
    except ImportError as error:
        sys.exit(
            f"cannot import the modules from {build_dir} ({error}); build with "
            "-DVELTRA_BUILD_BENCHMARKS=ON and pass that folder as --build-dir"
        )
    from reference import engine_search as pure_python_search

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
    command += [implementation, str(count)]
    completed = subprocess.run(command, capture_output=True, text=True, check=False)
    check(
        completed.returncode == 0,
        f"memory probe {implementation} {count} failed:\n{completed.stdout}{completed.stderr}",
    )
    measured: Dict[str, float] = json.loads(completed.stdout)
    measured["bytes_per_node"] = measured["bytes"] / measured["nodes"]
    return measured


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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        description="One memory measurement: the resident-set growth of one search and the nodes "
        "it created, as JSON."
    )
    parser.add_argument("--build-dir", type=Path, required=True)
    parser.add_argument("implementation", choices=("native", "pure"))
    parser.add_argument("count", type=int)
    args = parser.parse_args(argv)
    modules = load_modules(args.build_dir.resolve())
    print(json.dumps(memory_probe(modules, args.implementation, args.count)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
