#!/usr/bin/env bash
# Gang programming figures: one gang write of the demo SPI image to N = 1, 2,
# 4, 8 simulated chips, each on its own host bus and all on one shared bus.
# Modelled bus time: the slowest bus (on one bus the chips' waits for their
# frames overlap and their packets add up; separate buses run side by side;
# sim/README.md); wall time: the whole gang run on this machine, where the
# simulator does not wait out the bus time, so it measures the tool's own work.
# Usage: scripts/gang_bench.sh [BUILD_DIR] [SPEED]   (SPEED high or full)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
speed=${2:-high}
bin=$build/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-gang-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$build/demo/TQ7704_SPI.rfw" "$work/image.rfw"
printf '[Quillon Config]\r\nWait Time=50\r\n' > "$work/settings.ini"
export QUILLON_HOME=$work QUILLON_SETTINGS=$work/settings.ini
cd "$work"

printf '%-9s %3s %14s %7s %12s %7s %14s\n' bus chips bus-time-ms ratio wall-ms ratio "bus-MB/s"
for bus in separate shared; do
  base_bus= base_wall=
  for n in 1 2 4 8; do
    state=$work/$bus-$n.state
    "$bin/quillon-sim" new "$state" --chips "$n" --bus "$bus" --speed "$speed" --off-bus-ms 20 >/dev/null
    start=$(date +%s%N)
    QUILLON_SIM=$state "$bin/quillon" -f -write image.rfw --all >/dev/null 2>&1 || { echo "gang of $n failed" >&2; exit 1; }
    wall_us=$(( ($(date +%s%N) - start) / 1000 ))
    stats=$("$bin/quillon-sim" stats "$state")
    if [ "$n" -gt 1 ]; then
      bus_us=$(sed -n 's/^bus-time-us of the slowest bus: //p' <<<"$stats")
    else
      bus_us=$(sed -n 's/^bus-time-us: //p' <<<"$stats")
    fi
    bytes=$(awk '/^bytes:/ {sum += $2} END {print sum}' <<<"$stats")
    base_bus=${base_bus:-$bus_us} base_wall=${base_wall:-$wall_us}
    awk -v bus="$bus" -v n="$n" -v b="$bus_us" -v bb="$base_bus" -v w="$wall_us" -v bw="$base_wall" -v bytes="$bytes" \
      'BEGIN { printf "%-9s %3d %14.1f %6.2fx %12.1f %6.2fx %14.3f\n", bus, n, b / 1000, b / bb, w / 1000, w / bw, bytes / b }'
  done
done
