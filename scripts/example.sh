#!/usr/bin/env bash
# Installs what is missing, builds the modules, and runs an example search.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
scripts/setup.sh
scripts/build.sh
PYTHONPATH="build${PYTHONPATH:+:$PYTHONPATH}" "$python" examples/search_example.py "$@"
