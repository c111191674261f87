#!/usr/bin/env bash
# Records the transfer logs of the batch-mode scenarios on simulated chips, or
# compares them with a recorded set, so that a change meant to keep the wire
# as it is can show that it did.
#
#   scripts/compare-wire.sh record DIR     run every scenario, keep its logs in DIR
#   scripts/compare-wire.sh compare DIR    run them again and compare with DIR
#
# BUILD (default: build) names the build directory whose bin/ and demo/ are used.
# Each scenario leaves <name>.wire (every control transfer) and <name>.console
# (exit codes, console lines and Result.txt of each run, program directory
# written as HOME).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 record|compare DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
mode=$1
target=$2
case $mode in record | compare) ;; *) usage ;; esac

build=${BUILD:-build}
bin=$(cd "$build/bin" && pwd)
demo=$(cd "$build/demo" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$mode" = record ]; then
  out=$target
  mkdir -p "$out"
  rm -f "$out"/*.wire "$out"/*.console
else
  out=$work/now
  mkdir -p "$out"
fi

home=
scenario=
serial=
base_settings='[Quillon Config]\r\nWait Time=50\r\nSaveResultToFile=1\r\nLogType=1\r\n'

# start NAME [quillon-sim new options]: a fresh program directory and chip.
start() {
  scenario=$1
  shift
  serial=
  home=$work/$scenario
  rm -rf "$home"
  mkdir -p "$home"
  cp "$demo"/*.rfw "$home"/
  "$bin/quillon-sim" new "$home/chip.state" --off-bus-ms 20 "$@" >/dev/null
}

# fault KIND [ARG...]: a fault on the scenario's chip.
fault() { "$bin/quillon-sim" fault "$home/chip.state" "$@" >/dev/null; }

# run [EXTRA SETTINGS] -- ARGS...: one quillon run, its transfers appended to the scenario's log.
run() {
  local extra=
  if [ "$1" != -- ]; then extra=$1; shift; fi
  shift
  printf "$base_settings$extra" >"$home/settings.ini"
  local code=0
  local console
  console=$(cd "$home" && env ${serial:+QUILLON_SERIAL=$serial} QUILLON_HOME=$home QUILLON_SETTINGS=$home/settings.ini QUILLON_SIM=$home/chip.state \
    QUILLON_SIM_TRACE=$out/$scenario.wire "$bin/quillon" "$@" 2>/dev/null) || code=$?
  {
    echo "== quillon $*"
    echo "exit $code"
    printf '%s\n' "${console//$home/HOME}"
    echo "Result.txt: $(cat "$home/Result.txt" 2>/dev/null || true)"
  } >>"$out/$scenario.console"
}

# Every batch command on the usual chip, then on the other families and transports.
start commands --ic tq7704
run -- -f -write TQ7704_SPI.rfw
run -- -f TQ7704_SPI.rfw
run -- -f -verify TQ7704_SPI.rfw
run -- -f -version x
run -- -f -dumpspi dump.bin
run -- -f -erase
run -- -write TQ7704_SPI.rfw

start tq7702 --ic tq7702
run -- -f -write TQ7702_SPI.rfw
run -- -f -verify TQ7702_SPI.rfw
run -- -f -version x
run -- -f -erase

start tq7724 --ic tq7724
run -- -f -write TQ7724_SPI.rfw
run -- -f -write TQ7724_SPI.rfw
run -- -f -verify TQ7724_SPI.rfw

for transport in vendor both; do
  start "transport-$transport" --ic tq7704 --transport "$transport"
  run -- -f -write TQ7704_SPI.rfw
  run -- -f -write TQ7704_SPI.rfw
  run -- -f -verify TQ7704_SPI.rfw
  run -- -f -dumpspi dump.bin
  run -- -f -erase
done

start camera --ic tq7704 --kind camera
run -- -f -write TQ7704_SPI.rfw
run -- -f -write TQ7704_SPI.rfw
run -- -f -verify TQ7704_SPI.rfw

start request6 --ic tq7704 --request6
run -- -f -write TQ7704_SPI.rfw
run -- -f -write TQ7704_SPI.rfw

# The chip variants that take the special ROM entry.
for variant in 3 4; do
  start "variant-$variant" --ic tq7704 --variant "$variant"
  run -- -f -write TQ7704_SPI.rfw
  run -- -f -write TQ7704_SPI.rfw
  run -- -f -verify TQ7704_SPI.rfw
  run -- -f -erase
done

# The reset options, on a chip that already runs its code.
for ic in tq7704 tq7702; do
  image=TQ7704_SPI.rfw
  [ $ic = tq7702 ] && image=TQ7702_SPI.rfw
  for option in 'Normal Reset=0' 'ResetToCache=0'; do
    name=${option%%=*}
    start "options-$ic-${name// /}" --ic $ic
    run -- -f -write $image
    run "$option\r\n" -- -f -write $image
    run "$option\r\n" -- -f -verify $image
  done
done
start options-vendor-NormalReset0 --ic tq7704 --transport vendor
run -- -f -write TQ7704_SPI.rfw
run 'Normal Reset=0\r\n' -- -f -write TQ7704_SPI.rfw

# Device index and several chips.
start index-2chips --chips 2
run 'CheckVIDPID_INI=0\r\n' -- -f -write TQ7704_SPI.rfw -d 2
start index-3chips --chips 3
run 'CheckVIDPID_INI=0\r\n' -- -f -write TQ7704_SPI.rfw -d 2

# Images that cannot be written, and a file that is not there.
start images --ic tq7704
"$bin/quillon-mkimage" "$home/wrong.rfw" --ic tq7704 --chip-code 24 >/dev/null
echo "not an image" >"$home/garbage.rfw"
run -- -f -write wrong.rfw
run -- -f -write garbage.rfw
run -- -f -write missing.rfw

# Other memory types through the batch commands.
for width in 8 16; do
  start "eeprom$width" --memory "eeprom$width" --ic tq7704
  run -- -f -write "TQ7704_EEPROM$width.rfw"
  run -- -f -write "TQ7704_EEPROM$width.rfw"
  run -- -f -verify "TQ7704_EEPROM$width.rfw"
  run -- -f -dumpspi dump.bin
  run -- -f -erase
done
start eeprom-both --memory eeprom16 --ic tq7704 --transport both
run -- -f -write TQ7704_EEPROM16.rfw
run -- -f -verify TQ7704_EEPROM16.rfw
start nor --memory nor --ic tq7704
run -- -f -write TQ7704_SPI.rfw
start otp --memory otp --ic tq7704
run -- -f -dumpotp otp.bin
run -- -f -detect TQ7704_OTP.rfw
run -- -f -write TQ7704_OTP.rfw
run -- -f -verify TQ7704_OTP.rfw
run -- -f -detect TQ7704_OTP.rfw
run -- -f -dumpotp otp.bin

# The serial number that "SaveSN" writes, with and without one given.
for memory in spi eeprom16 otp; do
  case $memory in
    spi) image=TQ7704_SPI.rfw ;;
    eeprom16) image=TQ7704_EEPROM16.rfw ;;
    otp) image=TQ7704_OTP.rfw ;;
  esac
  start "serial-$memory" --memory $memory --ic tq7704
  run 'SaveSN=1\r\n' -- -f -write $image
  serial=SN0042
  run 'SaveSN=1\r\n' -- -f -write $image
  run -- -f -verify $image
done
# A 64 KB EEPROM image reaches the area that the serial number goes into.
start serial-eeprom16-64k --memory eeprom16 --ic tq7704
"$bin/quillon-mkimage" "$home/big.rfw" --memory eeprom16 --size 65536 >/dev/null
run 'SaveSN=1\r\n' -- -f -write big.rfw
serial=SN0042
run 'SaveSN=1\r\n' -- -f -write big.rfw

# More EEPROM and OTP operations: a file one byte off, OTP through vendor
# requests, the erase and verify that OTP refuses.
start eeprom8-more --memory eeprom8 --ic tq7704 --transport both
run -- -f -write TQ7704_EEPROM8.rfw
python3 -c 'import sys; d=bytearray(open(sys.argv[1],"rb").read()); d[0x1234]^=0x5A; open(sys.argv[2],"wb").write(d)' \
  "$home/TQ7704_EEPROM8.rfw" "$home/off.rfw"
run -- -f -verify off.rfw
run -- -f -dumpspi dump.bin
run -- -f -erase
run -- -f -verify TQ7704_EEPROM8.rfw
start spi-off --ic tq7704
run -- -f -write TQ7704_SPI.rfw
python3 -c 'import sys; d=bytearray(open(sys.argv[1],"rb").read()); d[0x1234]^=0x5A; open(sys.argv[2],"wb").write(d)' \
  "$home/TQ7704_SPI.rfw" "$home/off.rfw"
run -- -f -verify off.rfw
start otp-vendor --memory otp --ic tq7704 --transport both
run -- -f -write TQ7704_OTP.rfw
run -- -f -write TQ7704_OTP.rfw
run -- -f -dumpotp otp.bin
run -- -f -detect TQ7704_OTP.rfw
run -- -f -erase
run -- -f -verify TQ7704_OTP.rfw

# Failures: a chip that is not ready, transfers that fail or stall, power loss.
start not-ready --ic tq7704
fault not-ready 3
run -- -f -write TQ7704_SPI.rfw
start fail-write --ic tq7704
fault fail-transfer 400 1000000
run -- -f -write TQ7704_SPI.rfw
start stall-once --ic tq7704
fault stall-transfer 300 1
run -- -f -write TQ7704_SPI.rfw
start fail-vendor-once --ic tq7704 --transport both
fault fail-transfer 85 1
run -- -f -write TQ7704_SPI.rfw
start fail-vendor --ic tq7704 --transport both
fault fail-transfer 100 1000000
run -- -f -write TQ7704_SPI.rfw
start power-loss --ic tq7704
fault power-loss 2000
run -- -f -write TQ7704_SPI.rfw
run -- -f -write TQ7704_SPI.rfw

if [ "$mode" = record ]; then
  echo "recorded $(ls "$out"/*.wire | wc -l) transfer logs ($(cat "$out"/*.wire | wc -l) transfers) in $out"
  exit 0
fi
if diff -r "$target" "$out" >"$work/diff.txt"; then
  echo "identical: $(ls "$out"/*.wire | wc -l) transfer logs ($(cat "$out"/*.wire | wc -l) transfers) and their console lines"
  exit 0
fi
head -40 "$work/diff.txt"
diff -rq "$target" "$out" | sed 's/^/  /' || true
echo "DIFFERENT from $target"
exit 1
