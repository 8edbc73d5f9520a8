#!/usr/bin/env bash
# Formats every C++ file of the project with clang-format (.clang-format); --check changes
# nothing and exits non-zero, listing the files, if any file is not formatted.
#   CLANG_FORMAT  the clang-format binary (default clang-format)
set -euo pipefail
cd "$(dirname "$0")/.."
format="${CLANG_FORMAT:-clang-format}"
mapfile -t sources < <(git ls-files '*.h' '*.cc' '*.cpp')
if [ "${1:-}" = "--check" ]; then
  unformatted=()
  for source in "${sources[@]}"; do
    "$format" --dry-run -Werror "$source" >/dev/null 2>&1 || unformatted+=("$source")
  done
  if [ "${#unformatted[@]}" -gt 0 ]; then
    printf 'format.sh: not formatted (run scripts/format.sh): %s\n' "${unformatted[@]}" >&2
    exit 1
  fi
  echo "clang-format: ${#sources[@]} files formatted"
else
  "$format" -i "${sources[@]}"
fi
