#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/CMakeLists.txt: libFuzzer, AddressSanitizer with LeakSanitizer,
# UndefinedBehaviorSanitizer, the assertions on) with Clang through CMake, then fuzzes each for a
# bounded time: the search core's target, then the forest's.
#
#   FUZZ_SECONDS  length of the whole run in seconds, shared equally by the two targets
#                 (default 30: 15 s each)
#   BUILD_DIR     the CMake build folder, which also keeps the growing corpora (default build-fuzz)
#   CXX_FUZZ      the Clang C++ compiler to use (default clang++)
# Extra arguments are passed to libFuzzer (for example -jobs=2 or -runs=100000).
# Each target starts from its checked-in seeds (fuzz/seeds, fuzz/forest_seeds) plus the corpus of
# its earlier runs (BUILD_DIR/corpus, BUILD_DIR/forest_corpus); a failing input is written to
# BUILD_DIR as crash-*/leak-* and the script exits non-zero.
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
cmake --build "$build_dir" --target veltra_core_fuzzer veltra_forest_fuzzer -j 2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
seconds=$(( ${FUZZ_SECONDS:-30} / 2 ))
[ "$seconds" -ge 1 ] || seconds=1
for target in core:corpus:fuzz/seeds forest:forest_corpus:fuzz/forest_seeds; do
  IFS=: read -r name corpus seeds <<<"$target"
  mkdir -p "$build_dir/$corpus"
  echo "fuzz.sh: veltra_${name}_fuzzer for ${seconds} s"
  "$build_dir/fuzz/veltra_${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build_dir/" "$@" "$build_dir/$corpus" "$seeds"
done
