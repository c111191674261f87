#!/usr/bin/env bash
# The full fault sweep: every set-up, every transfer index, every page of
# every flash write. Runs the set-ups side by side (JOBS, default 2) and
# prints one table; exit 1 when any case failed.
#   scripts/sweep.sh [BUILD_DIR] [extra fault_sweep options, e.g. --stride 50]
#   scripts/sweep.sh [BUILD_DIR] --command-line [--every]   the same through the
#     whole command line (exit code, records, vendor-only chips, SaveSN)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
jobs=${JOBS:-2}
sweep="$build/bin/fault_sweep"
if [[ ! -x $sweep ]]; then
  cmake --build "$build" --target fault_sweep
fi
options=("$@")
[[ ${#options[@]} -eq 0 ]] && options=(--every)
mode=()
for option in "${options[@]}"; do
  [[ $option == --command-line ]] && mode=(--command-line)
done

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
start=$(date +%s)
# One process per set-up; its table rows and first failing cases go to its log.
"$sweep" --list "${mode[@]}" | xargs -P "$jobs" -I{} sh -c \
  'sweep=$0; logs=$1; shift; "$sweep" --setup {} "$@" > "$logs/{}.log" 2>&1; echo $? > "$logs/{}.rc"' \
  "$sweep" "$logs" "${options[@]}"
status=0
printf '%-26s %-7s %8s %8s %10s %8s %11s %11s %6s %7s  %s\n' set-up fault runs PASS "false PASS" partial unrecovered \
  misreported lost records causes
for name in $("$sweep" --list "${mode[@]}"); do
  if [[ ! -f $logs/$name.log ]]; then
    echo "$name: did not run"
    status=1
    continue
  fi
  awk -v n="$name" '$1 == n' "$logs/$name.log"
  grep -h '^first failing case\|: the run without a fault\|transfers seen' "$logs/$name.log" || true
  [[ $(cat "$logs/$name.rc" 2>/dev/null || echo 1) == 0 ]] || status=1
done
echo "options: ${options[*]}; $(( $(date +%s) - start )) s with $jobs jobs"
exit $status
