#!/usr/bin/env python3
"""Benchmarks of veltra_engine's search: time per simulation and memory per node.

Rows, all with 8 legal actions at every node and a constant rollout value of 0.0:
  search, Python callables         SearchEngine.search with plain Python functions as callbacks
  bridge floor, Python callables   the same callback calls through the same conversion, no tree
  search, native callbacks         SearchEngine.search with C++ functions that pybind11 calls
                                   through their function pointers
  bridge floor, native callbacks   the floor with those C++ functions
  pure-Python search               the same search written in Python (reference/engine_search.py)
and bytes per node: the growth of the resident set during one search divided by the nodes it
created, each size measured in a fresh interpreter.

    python3 benchmarks/run.py --build-dir build-bench           # full run, a few minutes
    python3 benchmarks/run.py --build-dir build-bench --quick   # correctness smoke test

The build folder must hold veltra_engine and veltra_bench_native (configure it with
-DVELTRA_BUILD_BENCHMARKS=ON). Results go to benchmarks/results/ as .txt, .json and .png. Every
run checks the results of what it times and exits with status 1 if one is wrong; the goals are
reported, not enforced. What is timed and measured is in measure.py, the checks made before any
timing in checks.py, and the goals, table and plot in report.py.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

from checks import (
    check_bridge_floor_calls,
    check_native_shortcut,
    check_pure_python_matches_engine,
)
from measure import (
    BENCH_DIR,
    FULL_SIZES,
    PURE_PYTHON_MAX,
    QUICK_SIZES,
    REPO_DIR,
    Case,
    CheckFailed,
    Modules,
    best_ns_per_simulation,
    load_modules,
    make_cases,
    measure_memory,
    repeats_for,
    run_core_benchmark,
)
from report import (
    MEMORY_ROWS,
    format_report,
    machine_description,
    make_goals,
    size_label,
    write_plot,
)


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
