#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the search core, policy and forest headers, the
# Python bindings and the fuzz targets, and exits non-zero if it reports anything.
#
#   BUILD_DIR   a configured build folder (default build, which scripts/test.sh builds); its
#               compile_commands.json gives the bindings their real flags
#   CLANG_TIDY  the clang-tidy binary (default clang-tidy)
#   TIDY_JOBS   how many translation units are checked at once (default: one per core)
# Extra arguments go to every clang-tidy call (for example --fix or --checks=...).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
build_dir="${BUILD_DIR:-build}"
tidy="${CLANG_TIDY:-clang-tidy}"

[ -f "$build_dir/compile_commands.json" ] ||
  cmake --preset default -B "$build_dir" -DPython_EXECUTABLE="$python" >/dev/null

# The core, the policies and the forest are header-only: one translation unit includes every
# header and instantiates every class template for float, the one state type, so the checks see
# the same member bodies the modules compile. The record that holds a tensor needs PyTorch's
# headers and is checked through the bindings that include it.
headers_tu="$build_dir/tidy_headers.cc"
{
  for header in common/*.h core/*.h policies/*.h forest/*.h; do
    [ "$header" = core/batch_search_result.h ] || echo "#include \"$header\""
  done
  cat <<'CPP'
template class veltra::core::NodeHandle<float>;
template class veltra::core::Node<float>;
template class veltra::core::SearchTree<float>;
template class veltra::core::SearchEngine<float>;
template class veltra::policies::SelectionPolicy<float>;
template class veltra::policies::UCBSelection<float>;
template class veltra::policies::PolicyWeightedUCB<float>;
template class veltra::policies::ExpansionPolicy<float>;
template class veltra::policies::FullExpansion<float>;
template class veltra::policies::ProgressiveExpansion<float>;
CPP
} >"$headers_tu"

# One clang-tidy per translation unit, TIDY_JOBS at a time (default: one per core), each with its
# own part of the report.
report="$build_dir/tidy-report.txt"
parts="$build_dir/tidy-parts"
rm -rf "$parts" && mkdir -p "$parts"
standalone_flags=(-std=c++17 "-I$PWD" -ffp-contract=off)
check() {  # check NAME ARGUMENTS...: one clang-tidy call, its output in the part NAME
  local name="$1"
  shift
  "$tidy" --quiet "${extra[@]}" "$@" >"$parts/$name.txt" 2>&1 || true
}
extra=("$@")
jobs=()
run() {
  while [ "${#jobs[@]}" -ge "${TIDY_JOBS:-$(nproc)}" ]; do
    wait "${jobs[0]}"
    jobs=("${jobs[@]:1}")
  done
  check "$@" &
  jobs+=($!)
}
run headers "$headers_tu" -- "${standalone_flags[@]}"
for source in fuzz/*.cc; do
  run "$(basename "$source")" "$source" -- "${standalone_flags[@]}"
done
for source in bindings/engine/*.cpp bindings/search/*.cpp; do
  run "$(basename "$(dirname "$source")")-$(basename "$source")" -p "$build_dir" "$source"
done
wait
cat "$parts"/*.txt >"$report"

cat "$report"
# A header's finding shows up once per translation unit that includes it: count each place once.
findings=$({ grep -E '(warning|error): ' "$report" || true; } | sort -u | wc -l)
echo "tidy.sh: $findings finding(s); report in $report"
[ "$findings" -eq 0 ]
