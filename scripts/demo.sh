#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a simulated chip:
# creates the chip, lists it and shows its state.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$PWD/build/bin
export QUILLON_HOME=$work
export QUILLON_SIM=$work/chip.state
export QUILLON_SIM_TRACE=$work/transfers.log

$bin/quillon --version
echo "== a simulated SPI-flash chip (state $QUILLON_SIM)"
$bin/quillon-sim new "$QUILLON_SIM" --memory spi --ic tq7704
echo "== quillon --list"
$bin/quillon --list
echo "== the chip"
$bin/quillon-sim show "$QUILLON_SIM"
echo "== $(wc -l < "$QUILLON_SIM_TRACE") control transfers in the transfer log"
