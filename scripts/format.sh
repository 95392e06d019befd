#!/usr/bin/env bash
# Formats every C/C++ file in the tree with the pinned .clang-format.
#   scripts/format.sh          rewrite files in place
#   scripts/format.sh --check  change nothing; fail on the first misformatted file
set -euo pipefail
cd "$(dirname "$0")/.."

# Tracked files and new ones not yet added (but not ignored ones).
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
                     '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' \
                     ':!:fuzz/corpus/**' ':!:fuzz/regression/**')
if [[ "${1:-}" == "--check" ]]; then
  clang-format --dry-run -Werror "${files[@]}"
  echo "format: ${#files[@]} files clean"
else
  clang-format -i "${files[@]}"
fi
