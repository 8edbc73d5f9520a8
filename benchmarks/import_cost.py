#!/usr/bin/env python3
"""What `import veltra_engine` costs: wall time and resident memory, alone and after
`import torch`, each measured in a fresh interpreter (median of several runs).

    python benchmarks/import_cost.py --build-dir build [--runs 7] [--quick]

Prints a table and writes results/import_cost.json. The import is timed inside the interpreter,
so interpreter start-up is not counted; memory is the resident set (VmRSS) just before and just
after the import.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

PROBE = """
import sys, time
def rss_mb():
    with open('/proc/self/status') as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024
{before}
rss_before = rss_mb()
start = time.perf_counter()
import veltra_engine
seconds = time.perf_counter() - start
print(seconds, rss_before, rss_mb())
"""

CASES = {
    "import veltra_engine": "",
    "import veltra_engine after import torch": "import torch",
}


def measure(build_dir: Path, before: str, runs: int) -> dict[str, float]:
    env = {**os.environ, "PYTHONPATH": str(build_dir)}
    samples = []
    for _ in range(runs):
        completed = subprocess.run(
            [sys.executable, "-c", PROBE.format(before=before)],
            env=env, capture_output=True, text=True, check=True,
        )
        samples.append([float(field) for field in completed.stdout.split()])
    seconds, rss_before, rss_after = (statistics.median(column) for column in zip(*samples))
    return {
        "seconds": seconds,
        "rss_before_mb": rss_before,
        "rss_after_mb": rss_after,
        "rss_added_mb": rss_after - rss_before,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path,
                        default=Path(os.environ.get("VELTRA_MODULE_DIR", "build")))
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="one run per case")
    parser.add_argument("--output-dir", type=Path, default=BENCH_DIR / "results")
    args = parser.parse_args()
    runs = 1 if args.quick else args.runs

    results = {name: measure(args.build_dir.resolve(), before, runs)
               for name, before in CASES.items()}
    print(f"{'case':<42}{'time':>10}{'RSS before':>13}{'RSS after':>12}{'added':>10}")
    for name, row in results.items():
        print(f"{name:<42}{row['seconds']:>9.3f}s{row['rss_before_mb']:>10.0f} MB"
              f"{row['rss_after_mb']:>9.0f} MB{row['rss_added_mb']:>7.0f} MB")
    args.output_dir.mkdir(parents=True, exist_ok=True)
    (args.output_dir / "import_cost.json").write_text(
        json.dumps({"runs": runs, "results": results}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
