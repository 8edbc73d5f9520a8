#!/usr/bin/env bash
# Installs what building and testing need: the compiler, CMake, LibTorch, GoogleTest and Google
# Benchmark from Debian, and the Python packages from PyPI. Skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libtorch-dev libgtest-dev libbenchmark-dev python3-venv
          clang libclang-rt-dev clang-tidy)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

python3 -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
