"""Speed figures of veltra_search beside search_bench's: the native step's wall time on one and
on several threads, and instructions per simulation per root of the native step loop counted by
callgrind (a figure that a noisy, shared machine does not move)."""

from __future__ import annotations

import re
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Dict, Optional

NATIVE_BENCHMARK = Path("benchmarks") / "veltra_search_native_benchmark"

# The benchmark's own evaluation (it encodes fixed rows, as the bindings encode a model's
# outputs): counted inside Forest::search, so taken off to leave the forest's own instructions.
_EVALUATION = re.compile(r"^\s*([\d,]+) .*search\(benchmark::State&, veltra::forest::Policy\)"
                         r"::\{lambda\(unsigned long, veltra::forest::Evaluations&\)")
_TOTAL = re.compile(r"^\s*([\d,]+) .*veltra::forest::Forest::search<")


def native_benchmark(build_dir: Path) -> Optional[Path]:
    """The native step-loop benchmark of a build made with VELTRA_BUILD_BENCHMARKS=ON, if any."""
    path = build_dir / NATIVE_BENCHMARK
    return path if path.is_file() else None


def instructions_per_simulation(binary: Path, policy: str, roots: int, simulations: int,
                                threads: int = 1) -> Optional[float]:
    """Instructions executed by one Forest::search of `roots` x `simulations` on the native
    benchmark, less its evaluation, per simulation per root; None without valgrind."""
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        return None
    name = "BM_ForestSearchGumbel" if policy == "gumbel" else "BM_ForestSearch"
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        # min_time 0.01 s: under callgrind a single iteration takes longer, so there is one.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--toggle-collect=*Forest::search*", str(binary),
                        f"--benchmark_filter=^{name}/{roots}/{simulations}/{threads}/",
                        "--benchmark_min_time=0.01"],
                       check=True, capture_output=True, text=True)
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)],
                                   check=True, capture_output=True, text=True).stdout
    total = evaluation = None
    for line in annotated.splitlines():
        if total is None and (match := _TOTAL.match(line)):
            total = int(match.group(1).replace(",", ""))
        elif evaluation is None and (match := _EVALUATION.match(line)):
            evaluation = int(match.group(1).replace(",", ""))
    if total is None or evaluation is None:
        raise RuntimeError("callgrind_annotate output without Forest::search or the evaluation")
    return (total - evaluation) / (roots * simulations)


def instruction_figures(build_dir: Path, roots: int, simulations: int) -> Dict[str, Optional[float]]:
    binary = native_benchmark(build_dir)
    if binary is None:
        return {"puct": None, "gumbel": None}
    return {policy: instructions_per_simulation(binary, policy, roots, simulations)
            for policy in ("puct", "gumbel")}
