#!/usr/bin/env bash
# Builds the modules with the benchmarks and runs the benchmark suite: the engine's search
# (benchmarks/run.py), the batched search (benchmarks/search_bench.py), a Connect Four match
# against OpenSpiel's bot (benchmarks/match_bench.py), several leaves per step for one game of
# Connect Four (benchmarks/leaves_bench.py) and the cost of importing the module
# (benchmarks/import_cost.py). --quick runs them at tiny sizes as a correctness check;
# other arguments go to benchmarks/run.py.
#
#   BUILD_DIR  build folder (default build-bench, the bench preset's). An existing folder keeps
#              what it builds (scripts/test.sh's build keeps its tests) and gains the benchmarks.
#   VELTRA_CHECKPOINT  a Connect Four checkpoint of veltra_train: the full run then also measures
#              the unvisited_value rules with it (benchmarks/unvisited_bench.py)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build-bench}"
PRESET=bench BUILD_DIR="$build_dir" scripts/build.sh
"$python" benchmarks/run.py --build-dir "$build_dir" "$@"
quick=()
for argument in "$@"; do [ "$argument" = "--quick" ] && quick=(--quick); done
"$python" benchmarks/search_bench.py --build-dir "$build_dir" "${quick[@]}"
"$python" benchmarks/latent_bench.py --build-dir "$build_dir" "${quick[@]}"
"$python" benchmarks/match_bench.py --build-dir "$build_dir" "${quick[@]}"
"$python" benchmarks/leaves_bench.py --build-dir "$build_dir" "${quick[@]}"
if [ ${#quick[@]} -gt 0 ] || [ -n "${VELTRA_CHECKPOINT:-}" ]; then
  "$python" benchmarks/unvisited_bench.py --build-dir "$build_dir" "${quick[@]}" \
    ${VELTRA_CHECKPOINT:+--checkpoint "$VELTRA_CHECKPOINT"}
fi
"$python" benchmarks/import_cost.py --build-dir "$build_dir" "${quick[@]}"
