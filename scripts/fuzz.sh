#!/usr/bin/env bash
# Builds the search-core fuzz target with clang++, libFuzzer, AddressSanitizer (with
# LeakSanitizer) and UndefinedBehaviorSanitizer, then fuzzes for a bounded time.
#
#   FUZZ_SECONDS  length of the run in seconds (default 30)
#   BUILD_DIR     where the binary and the growing corpus go (default build-fuzz)
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

mkdir -p "$build_dir/corpus"
flags=(-std=c++17 -O1 -g -fno-omit-frame-pointer -ffp-contract=off
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -Wpedantic -Wshadow -I.)
"$cxx" "${flags[@]}" fuzz/core_fuzzer.cc -o "$build_dir/core_fuzzer"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
"$build_dir/core_fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 \
  -artifact_prefix="$build_dir/" "$@" "$build_dir/corpus" fuzz/seeds
