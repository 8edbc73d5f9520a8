#!/usr/bin/env bash
# Installs what is missing, builds the module, and runs the example search.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
PYTHONPATH="build${PYTHONPATH:+:$PYTHONPATH}" python3 examples/search_example.py "$@"
