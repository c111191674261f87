#!/usr/bin/env bash
# The write benchmark: builds quillon-bench in DIR (default build) and prints
# its table: a 64 KB write per transport and memory type on simulated chips,
# with 8-byte pieces (before) and 64-byte pieces (after), in one run.
# scripts/bench.sh [DIR] [--off-bus-ms N]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
if [[ $# -gt 0 && $1 != --* ]]; then
  dir=$1
  shift
fi
if [[ ! -f $dir/build.ninja ]]; then
  cmake -S . -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir" --target quillon-bench >/dev/null
"$dir/bin/quillon-bench" "$@"
