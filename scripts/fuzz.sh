#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan + UBSan in build-fuzz,
# seeds them with images from quillon-mkimage and runs each for a bounded
# number of inputs. Fails on any crash or sanitizer report.
# QUILLON_FUZZ_RUNS overrides the number of inputs per target (default 20000).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-fuzz
runs=${QUILLON_FUZZ_RUNS:-20000}

cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DQUILLON_FUZZ=ON -DQUILLON_SANITIZE=ON -DQUILLON_TESTS=OFF -DQUILLON_GUI=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target config_area_fuzz descriptor_fuzz ini_fuzz state_file_fuzz quillon-sim \
  quillon_demo_images quillon_res_all

seeds="$dir/fuzz/seeds"
corpus="$dir/fuzz/corpus"
rm -rf "$seeds" "$corpus"
mkdir -p "$seeds" "$corpus"
cp "$dir"/demo/*.rfw "$dir"/resources/images/*.rfw "$seeds"/
# The area block alone, so that short inputs start from real records too.
for image in "$dir"/demo/TQ7704_SPI.rfw "$dir"/demo/TQ7702_SPI.rfw "$dir"/resources/images/FFU_7724.rfw; do
  tail -c 4096 "$image" > "$seeds/area-$(basename "$image" .rfw).bin"
done
dd if="$dir/demo/TQ7702_SPI.rfw" of="$seeds/area-TQ7702_at_AE00.bin" bs=512 skip=87 count=1 status=none

# Configuration descriptors of simulated audio and camera chips, with an
# interface-number byte in front.
descriptor_seeds="$dir/fuzz/descriptor_seeds"
rm -rf "$descriptor_seeds" "$dir/fuzz/descriptor_corpus"
mkdir -p "$descriptor_seeds" "$dir/fuzz/descriptor_corpus"
for seed in fuzz/descriptor_seeds/*.bin; do
  { printf '\000'; cat "$seed"; } > "$descriptor_seeds/$(basename "$seed")"
done

# INI texts: the built-in settings, profiles and accepted lists.
ini_seeds="$dir/fuzz/ini_seeds"
rm -rf "$ini_seeds" "$dir/fuzz/ini_corpus"
mkdir -p "$ini_seeds" "$dir/fuzz/ini_corpus"
cp resources/ini/* "$ini_seeds"/

# State files of simulated chips of every memory type.
state_seeds="$dir/fuzz/state_seeds"
rm -rf "$state_seeds" "$dir/fuzz/state_corpus"
mkdir -p "$state_seeds" "$dir/fuzz/state_corpus"
for memory in spi nor eeprom8 eeprom16 otp; do
  "$dir/bin/quillon-sim" new "$state_seeds/$memory.state" --memory "$memory" --chips 2 >/dev/null
done
"$dir/bin/quillon-sim" load "$state_seeds/spi.state" "$dir/demo/TQ7704_SPI.rfw" >/dev/null 2>&1 || true
rm -f "$state_seeds"/*.lock

run_target() {
  local target=$1 corpus=$2 seeds=$3
  echo "-- $target: $runs runs"
  local log="$dir/fuzz/$target.log"
  set +e
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/bin/$target" -runs="$runs" -max_total_time=150 -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" "$seeds" >"$log" 2>&1
  local rc=$?
  set -e
  grep -E '^#[0-9]+ +DONE|^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: |runtime error|SUMMARY: ' "$log"; then
    tail -n 60 "$log" >&2
    echo "fuzz target $target failed (exit $rc, log $log)" >&2
    exit 1
  fi
}

run_target config_area_fuzz "$corpus" "$seeds"
run_target descriptor_fuzz "$dir/fuzz/descriptor_corpus" "$descriptor_seeds"
run_target ini_fuzz "$dir/fuzz/ini_corpus" "$ini_seeds"
run_target state_file_fuzz "$dir/fuzz/state_corpus" "$state_seeds"
