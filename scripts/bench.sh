#!/usr/bin/env bash
# Builds the module with the benchmarks and runs the benchmark suite; --quick runs it at tiny
# sizes as a correctness check. Other arguments go to benchmarks/run.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build-bench}"
BUILD_DIR="$build_dir" scripts/build.sh -DVELTRA_BUILD_BENCHMARKS=ON -DVELTRA_BUILD_TESTS=OFF
"$python" benchmarks/run.py --build-dir "$build_dir" "$@"
