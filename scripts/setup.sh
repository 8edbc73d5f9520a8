#!/usr/bin/env bash
# Installs what is missing and prints where the project's Python environment is.
#   scripts/setup.sh         what building the modules and running the examples need
#   scripts/setup.sh --test  also what the tests, sanitizer builds, fuzzing and benchmarks need
# System packages come from Debian (apt-get; as root, or through sudo), Python packages from PyPI
# into the project's virtual environment (scripts/venv.sh), so the system Python is never changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

packages=(g++ cmake make ccache python3-venv python3-dev)
requirements=requirements.txt
if [ "${1:-}" = "--test" ]; then
  # graphviz: the dot program that veltra_search.draw_tree runs (optional for users).
  packages+=(libgtest-dev libbenchmark-dev clang libclang-rt-dev clang-tidy clang-format graphviz)
  requirements=requirements-dev.txt
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
fi

if [ ! -x "$python" ]; then
  base_python="${PYTHON:-}"
  if [ -z "$base_python" ]; then
    for candidate in python3.11 python3; do
      if command -v "$candidate" >/dev/null &&
         "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
        base_python="$candidate"
        break
      fi
    done
  fi
  [ -n "$base_python" ] || { echo "setup.sh: Python 3.11 not found (set PYTHON)" >&2; exit 1; }
  "$base_python" -m venv "$venv_dir"
fi
# uv keeps its own wheel cache and links from it, so a second environment installs in seconds
# where pip would download torch and its CUDA wheels (about 3 GB) again.
"$python" -m pip install --quiet --disable-pip-version-check "uv>=0.5"
"$venv_dir/bin/uv" pip install --quiet --python "$python" -r "$requirements"
echo "veltra: Python environment $venv_dir (activate with: source $venv_dir/bin/activate)"
