#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: the tool's version
# and a batch run in a scratch program directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
bin=build/bin

$bin/quillon --version
echo "== batch run (program directory $home)"
set +e
QUILLON_HOME=$home $bin/quillon -f -version
rc=$?
set -e
echo "exit code: $rc"
