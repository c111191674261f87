#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a simulated
# SPI-flash chip: writes the demo image, verifies it, reads the running
# version, dumps the flash, and shows the outcome; then writes and verifies
# a simulated 16-bit EEPROM chip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$PWD/build/bin
image=$work/TQ7704_SPI.rfw
cp build/demo/TQ7704_SPI.rfw "$image"
eeprom=$work/TQ7704_EEPROM16.rfw
cp build/demo/TQ7704_EEPROM16.rfw "$eeprom"
# Short waits after a reset; keep both result files.
printf '[Quillon Config]\r\nCheckVIDPID_INI=1\r\nWait Time=100\r\nSaveResultToFile=1\r\nLogType=1\r\n' > "$work/settings.ini"
export QUILLON_HOME=$work
export QUILLON_SETTINGS=$work/settings.ini
export QUILLON_SIM=$work/chip.state
export QUILLON_SIM_TRACE=$work/transfers.log
cd "$work"

run() {
  echo "== quillon $*"
  set +e
  "$bin/quillon" "$@"
  local code=$?
  set -e
  echo
  echo "   exit code $code, Result.txt: $(cat Result.txt)"
}

$bin/quillon --version
echo "== a simulated SPI-flash chip, blank (state $QUILLON_SIM)"
$bin/quillon-sim new "$QUILLON_SIM" --memory spi --ic tq7704 --off-bus-ms 50
$bin/quillon-sim show "$QUILLON_SIM"
run -f -write "$image"
run -f -verify "$image"
run -f -version x
run -f -dumpspi "$work/dump.bin"
if cmp -s "$work/dump.bin" "$image"; then echo "== the dump equals the image"; else echo "== the dump differs from the image"; fi
echo "== burn_result.txt"
cat burn_result.txt
echo "== the chip now"
$bin/quillon-sim show "$QUILLON_SIM"
echo "== $(wc -l < "$QUILLON_SIM_TRACE") control transfers in the transfer log"
echo "== a simulated 16-bit EEPROM chip, blank (state $work/eeprom.state)"
export QUILLON_SIM=$work/eeprom.state
$bin/quillon-sim new "$QUILLON_SIM" --memory eeprom16 --ic tq7704 --off-bus-ms 50
run -f -write "$eeprom"
run -f -verify "$eeprom"
$bin/quillon-sim show "$QUILLON_SIM"
