#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ tests, then the Python tests, on
# every core (pytest-xdist). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
scripts/setup.sh --test
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
VELTRA_MODULE_DIR=build "$python" -m pytest tests/python -n auto "$@"
