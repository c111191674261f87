#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on a simulated
# SPI-flash chip: writes the demo image, verifies it, reads the running
# version, dumps the flash, and shows the outcome; then writes and verifies
# a simulated 16-bit EEPROM chip. The work directory is kept (its path is
# printed at the start and the end) with the debug log, the transfer log, the
# dump and the result files in it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo.XXXXXX")
echo "== work directory: $work"
bin=$PWD/build/bin
image=$work/TQ7704_SPI.rfw
cp build/demo/TQ7704_SPI.rfw "$image"
eeprom=$work/TQ7704_EEPROM16.rfw
cp build/demo/TQ7704_EEPROM16.rfw "$eeprom"
# Short waits after a reset; keep both result files, the debug log and a JSON
# record of every run.
printf '[Quillon Config]\r\nCheckVIDPID_INI=1\r\nWait Time=100\r\nSaveResultToFile=1\r\nLogType=1\r\nDebug Log=1\r\nResultJson=runs.jsonl\r\n' \
  > "$work/settings.ini"
export QUILLON_HOME=$work
export QUILLON_SETTINGS=$work/settings.ini
export QUILLON_SIM=$work/chip.state
export QUILLON_SIM_TRACE=$work/transfers.log
cd "$work"

step=0
run() {
  step=$((step + 1))
  echo "== quillon $*"
  set +e
  "$bin/quillon" "$@" 2> "$work/stderr.txt"
  local code=$?
  set -e
  echo
  cat "$work/stderr.txt"
  echo "   exit code $code, Result.txt: $(cat Result.txt)"
  # DebugLog.txt starts afresh with every run; keep a copy of each.
  cp DebugLog.txt "DebugLog-$step-${2#-}.txt"
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
echo "== runs.jsonl (one JSON record per run)"
cat runs.jsonl
echo "== the chip now"
$bin/quillon-sim show "$QUILLON_SIM"
echo "== $(wc -l < "$QUILLON_SIM_TRACE") control transfers in the transfer log"
echo "== a simulated 16-bit EEPROM chip, blank (state $work/eeprom.state)"
export QUILLON_SIM=$work/eeprom.state
export QUILLON_SIM_TRACE=$work/eeprom-transfers.log
$bin/quillon-sim new "$QUILLON_SIM" --memory eeprom16 --ic tq7704 --off-bus-ms 50
run -f -write "$eeprom"
run -f -verify "$eeprom"
$bin/quillon-sim show "$QUILLON_SIM"
# An OTP chip written twice: each download appends its blocks behind the
# newest ones and retires the older ones; -detect shows the usage figures.
otp_image=$work/TQ7704_OTP.rfw
cp "$bin/../demo/TQ7704_OTP.rfw" "$otp_image"
export QUILLON_SIM=$work/otp.state
export QUILLON_SIM_TRACE=$work/otp-transfers.log
echo "== a simulated OTP chip, blank (state $QUILLON_SIM)"
$bin/quillon-sim new "$QUILLON_SIM" --memory otp --ic tq7704 --off-bus-ms 50
run -f -detect "$otp_image"
run -f -write "$otp_image"
run -f -write "$otp_image"
run -f -detect "$otp_image"
run -f -dumpotp "$work/otp.bin"
echo "== the OTP chip now (it boots the newest code block)"
$bin/quillon-sim show "$QUILLON_SIM"
rm -f "$work/stderr.txt"
cat <<TEXT
== kept in $work:
   DebugLog.txt          debug lines of the last run (DebugLog-N-*.txt: each run's)
   transfers.log         every control transfer to the simulated chip
   dump.bin              the flash as read back by -dumpspi
   Result.txt, burn_result.txt, runs.jsonl   the result files
   chip.state            the simulated chip (quillon-sim show $work/chip.state)
   eeprom.state          the simulated EEPROM chip (its transfers: eeprom-transfers.log)
   otp.state, otp.bin    the simulated OTP chip and its -dumpotp image (its transfers: otp-transfers.log)
TEXT
