#!/usr/bin/env bash
# Configures and builds the module and the C++ tests into BUILD_DIR (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DPython_EXECUTABLE="$(command -v python3)" "$@"
cmake --build "$build_dir" -j "$(nproc)"
