#!/usr/bin/env bash
# Builds the modules with the benchmarks and runs the benchmark suite: the engine's search
# (benchmarks/run.py), the batched search (benchmarks/search_bench.py) and the cost of importing
# the module (benchmarks/import_cost.py). --quick runs them at tiny sizes as a correctness check;
# other arguments go to benchmarks/run.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build-bench}"
BUILD_DIR="$build_dir" scripts/build.sh -DVELTRA_BUILD_BENCHMARKS=ON -DVELTRA_BUILD_TESTS=OFF
"$python" benchmarks/run.py --build-dir "$build_dir" "$@"
quick=()
for argument in "$@"; do [ "$argument" = "--quick" ] && quick=(--quick); done
"$python" benchmarks/search_bench.py --build-dir "$build_dir" "${quick[@]}"
"$python" benchmarks/import_cost.py --build-dir "$build_dir" "${quick[@]}"
