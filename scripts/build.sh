#!/usr/bin/env bash
# Configures and builds the modules and the C++ tests for the project's Python environment
# (scripts/setup.sh makes it) with a configure preset of CMakePresets.json. Extra arguments go to
# CMake's configure step.
#   PRESET     the preset (default: default, whose folder is build)
#   BUILD_DIR  another build folder than the preset's own
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
preset="${PRESET:-default}"
if [ -n "${BUILD_DIR:-}" ]; then
  cmake --preset "$preset" -B "$BUILD_DIR" -DPython_EXECUTABLE="$python" "$@"
  cmake --build "$BUILD_DIR" -j "$(nproc)"
else
  cmake --preset "$preset" -DPython_EXECUTABLE="$python" "$@"
  cmake --build --preset "$preset" -j "$(nproc)"
fi
