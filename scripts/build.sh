#!/usr/bin/env bash
# Installs what is missing, configures and builds one build directory:
# scripts/build.sh [DIR [CMAKE ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir"
