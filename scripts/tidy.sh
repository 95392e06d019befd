#!/usr/bin/env bash
# clang-tidy over src/ and tools/ with the checks in .clang-tidy; every
# warning is an error, so any finding fails the run.
#   scripts/tidy.sh [BUILD_DIR]   (a configured build with compile_commands.json;
#                                  default build/ci, configured if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
[ -f "$build/compile_commands.json" ] || cmake --preset ci >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if run-clang-tidy -quiet -p "$build" -j "$(nproc)" "$PWD/(src|tools)/" >"$log" 2>&1; then
  echo "tidy: no findings in src/ and tools/"
else
  grep -E 'warning:|error:' "$log" | sort -u
  echo "tidy: findings above (full output: run-clang-tidy -p $build)" >&2
  exit 1
fi
