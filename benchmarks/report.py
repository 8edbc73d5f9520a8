"""How benchmarks/run.py reports its results: the goals, the text table and the plot."""

from __future__ import annotations

import argparse
import json
import os
import platform
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

from measure import NUM_ACTIONS, RATIO_SIZE, ROLLOUT_VALUE, Case


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


def machine_description() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            names = [line.split(":")[1] for line in cpuinfo if line.startswith("model name")]
        model = names[0].strip() if names else model
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs ({model}), Python {platform.python_version()}"


def write_results(output_dir: Path, name: str, quick: bool, report: str,
                  results: Dict[str, Any]) -> None:
    """Writes OUTPUT_DIR/NAME[_quick].txt (the report) and .json (the results) and says so."""
    output_dir.mkdir(parents=True, exist_ok=True)
    stem = output_dir / (f"{name}_quick" if quick else name)
    stem.with_suffix(".txt").write_text(report + "\n")
    stem.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    print(f"\nwrote {stem}.txt and {stem}.json")


def add_common_arguments(parser: argparse.ArgumentParser, quick_help: str) -> None:
    """--build-dir, --quick and --output-dir, which every benchmark of veltra_search takes."""
    repo_dir = Path(__file__).resolve().parent.parent
    parser.add_argument(
        "--build-dir", type=Path,
        default=Path(os.environ.get("VELTRA_MODULE_DIR", repo_dir / "build")),
        help="build folder holding veltra_search (default: $VELTRA_MODULE_DIR, else build/)")
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--output-dir", type=Path, default=repo_dir / "benchmarks" / "results",
                        help="where the .txt and .json files go (default: benchmarks/results)")
