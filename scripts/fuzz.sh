#!/usr/bin/env bash
# Builds the search-core fuzz target (fuzz/CMakeLists.txt: libFuzzer, AddressSanitizer with
# LeakSanitizer, UndefinedBehaviorSanitizer, the core's assertions) with Clang through CMake, then
# fuzzes for a bounded time.
#
#   FUZZ_SECONDS  length of the run in seconds (default 30)
#   BUILD_DIR     the CMake build folder, which also keeps the growing corpus (default build-fuzz)
#   CXX_FUZZ      the Clang C++ compiler to use (default clang++)
# Extra arguments are passed to libFuzzer (for example -jobs=2 or -runs=100000).
# The run starts from the checked-in seeds in fuzz/seeds plus the corpus of earlier runs; a
# failing input is written to BUILD_DIR as crash-*/leak-* and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-fuzz}"
cxx="${CXX_FUZZ:-clang++}"

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz.sh: $cxx not found; install clang and libclang-rt-dev (Debian)" >&2
  exit 1
fi

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
  -DVELTRA_BUILD_FUZZ=ON -DVELTRA_BUILD_MODULE=OFF -DVELTRA_BUILD_TESTS=OFF \
  -DVELTRA_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" --target veltra_core_fuzzer -j 2

mkdir -p "$build_dir/corpus"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
"$build_dir/fuzz/veltra_core_fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 \
  -artifact_prefix="$build_dir/" "$@" "$build_dir/corpus" fuzz/seeds
