#!/usr/bin/env bash
# Configures and builds the modules and the C++ tests into BUILD_DIR (default: build) for the
# project's Python environment (scripts/setup.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DPython_EXECUTABLE="$python" "$@"
cmake --build "$build_dir" -j "$(nproc)"
