#!/usr/bin/env bash
# Configures and builds one build directory: scripts/build.sh [DIR [CMAKE ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir"
