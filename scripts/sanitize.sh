#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer (the
# asan preset), runs the C++ tests, then runs the Python tests against the sanitized module.
#
#   BUILD_DIR  build folder (default build-asan)
# Extra arguments go to pytest (for example -k EXPRESSION). Tests of the tooling around the modules
# are left out: packaging (a wheel built and installed by pip) and the type checks (mypy and
# stubtest) exercise pip, the compiler and the checkers, not the modules' memory use, and run once
# in scripts/test.sh; so do the trainer's tests (tests/python/train), pure Python on Ray, whose
# calls into veltra_search the search tests cover.
#
# The Python interpreter is not built with the sanitizers, so the GCC sanitizer runtimes are
# preloaded into it; leak checking is off for the interpreter, whose own allocations live until
# exit by design (the C++ tests and scripts/fuzz.sh check leaks in the core). LibTorch, which the
# module links, runs under the same runtime: see docs/reliability.md for the options it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build-asan}"

PRESET=asan BUILD_DIR="$build_dir" scripts/build.sh

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" \
  ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"

runtimes="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
LD_PRELOAD="$runtimes" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" \
  VELTRA_MODULE_DIR="$build_dir" \
  "$python" -m pytest tests/python -n auto -m "not tooling" --ignore=tests/python/train "$@"
