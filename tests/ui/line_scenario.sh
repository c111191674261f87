#!/usr/bin/env bash
# A production line under a real X server: Xvfb at 1024x768 with a window
# manager, the program started as an operator starts it, units plugged and
# pulled with quillon-sim, keys typed with xdotool, screenshots taken with
# ImageMagick and the tile colours counted in them. After each step the
# records (Result.txt, burn_result.txt, the JSON lines) are read.
#
#   line_scenario.sh panel|window BIN_DIR DEMO_DIR
#
# panel:  the station panel with eight ports, the seventh losing power.
# window: the single window on a line: pass, fail, not accepted, pulled
#         mid-run, re-plugged, slow erase, two units at once.
#
# The checks marked "strict:" assert what the window's unit board promises (a
# unit that leaves takes its verdict with it, every arrival is started once,
# units queue, a close request is answered at once); QUILLON_LINE_STRICT=0
# leaves them out. QUILLON_LINE_SHOTS=DIR keeps the screenshots there.
# Exits 77 (skipped) when the X tools are missing.
set -u

mode=${1:?panel or window}
bin=${2:?the bin directory of the build}
demo=${3:?the demo directory of the build}
strict=${QUILLON_LINE_STRICT:-1}

for tool in Xvfb openbox xdotool import xprop /usr/bin/convert; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: the line scenario needs Xvfb, openbox, xdotool, xprop and ImageMagick (scripts/install-deps.sh); $tool is missing"
    exit 77
  fi
done

# The program runs in its station directory: the paths must not be relative.
bin=$(cd "$bin" && pwd) || exit 2
demo=$(cd "$demo" && pwd) || exit 2
work=$(mktemp -d /tmp/quillon-line-XXXXXX)
failures=0
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "${QUILLON_LINE_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
check() {  # check WHAT TEST...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
strict_check() {
  local what=$1
  shift
  if [ "$strict" = 1 ]; then check "strict: $what" "$@"; else echo "(strict: $what - not checked)"; fi
}

# Polls COMMAND every 0.1 s for at most SECONDS; true once it succeeds.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  while [ "$tries" -gt 0 ]; do
    if "$@"; then return 0; fi
    sleep 0.1
    tries=$((tries - 1))
  done
  return 1
}

# --- the X server and the window manager ---------------------------------
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 0700 "$XDG_RUNTIME_DIR"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
if ! wait_for 20 test -s "$work/display"; then
  echo "FAILED: Xvfb did not start"; cat "$work/xvfb.log"; exit 1
fi
export DISPLAY=:$(head -n1 "$work/display")
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
if ! wait_for 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'; then
  echo "FAILED: openbox did not start"; exit 1
fi

sim() { "$bin/quillon-sim" "$@" >>"$work/sim.log" 2>&1 || fail "quillon-sim $*"; }

# Takes a screenshot of the whole screen as NAME.png.
shot() {
  import -window root "$work/$1.png"
  if [ -n "${QUILLON_LINE_SHOTS:-}" ]; then cp "$work/$1.png" "$QUILLON_LINE_SHOTS/"; fi
}
# How many pixels of NAME.png have the colour R,G,B.
pixels() {
  /usr/bin/convert "$work/$1.png" -format %c histogram:info:- |
    awk -v want="($2,$3,$4)" '{ gsub(/ /, ""); split($0, f, ":"); if (index(f[2], want) == 1) n += f[1] } END { print n + 0 }'
}
# The tile colours (they match the program's verdict tile).
PASS="0 255 0"
FAIL="160 0 0"
BUSY="0 64 192"
NOT_ACCEPTED="255 215 0"
# at_least|at_most NAME R G B COUNT
at_least() { [ "$(pixels "$1" "$2" "$3" "$4")" -ge "$5" ]; }
at_most() { [ "$(pixels "$1" "$2" "$3" "$4")" -le "$5" ]; }

lines() { if [ -f "$1" ]; then grep -c . "$1"; else echo 0; fi; }
result_is() { [ "$(cat "$home/Result.txt" 2>/dev/null)" = "$1" ]; }
# The JSON record of the N-th run (1 = first).
record() { sed -n "${1}p" "$records"; }
has() { [[ "$1" == *"$2"* ]]; }

# Starts the program as an operator does: quillon without arguments, in the
# station directory, which hands over to the window program beside it.
start_program() {
  (cd "$home" && exec env QUILLON_HOME="$home" QUILLON_SETTINGS="$home/settings.ini" QUILLON_SIM="$state" \
    QUILLON_RESULT_JSON="$records" "$bin/quillon") >"$work/out.log" 2>"$work/err.log" &
  program=$!
  pids+=("$program")
  window=$(timeout 30 xdotool search --sync --onlyvisible --pid "$program" 2>/dev/null | head -n1)
  if [ -z "$window" ]; then
    echo "FAILED: no window appeared"; cat "$work/err.log"; exit 1
  fi
}
# The window's frame lies on the screen.
on_screen() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  [ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le 1024 ] && [ $((Y + HEIGHT)) -le 768 ]
}
press() {
  xdotool windowactivate --sync "$window" >/dev/null 2>&1
  xdotool key --clearmodifiers "$@"
}
# Asks the window to close as the window manager's close does, and answers a
# question if one comes; true once the program has ended.
close_program() {
  press alt+F4
  if ! wait_for 3 sh -c "! kill -0 $program 2>/dev/null"; then
    xdotool key y
    wait_for 10 sh -c "! kill -0 $program 2>/dev/null" || return 1
  fi
}
exit_code() { wait "$program"; echo $?; }

settings() {  # the lines of the station's settings, CR LF ended
  printf '[Quillon Config]\r\n' >"$home/settings.ini"
  for line in "$@"; do printf '%s\r\n' "$line" >>"$home/settings.ini"; done
}

started=$(date +%s)

run_panel() {
  home=$work/panel
  mkdir "$home"
  state=$work/panel.state
  records=$home/runs.jsonl
  cp "$demo/TQ7704_SPI.rfw" "$home/"
  settings "Wait Time=50" "SaveResultToFile=1" "LogType=1" "Gang=1" "ImageFile=TQ7704_SPI.rfw"
  sim new "$state" --chips 8 --bus separate --off-bus-ms 20
  sim fault "$state" power-loss-pages 1 4 --chip 6
  start_program
  wait_for 10 sh -c "xdotool getwindowname $window | grep -q Station"
  sleep 0.5
  shot panel-ready
  check "the panel with eight ports lies on the 1024x768 screen" on_screen
  check "no tile green before a run" at_most panel-ready $PASS 0

  press space
  check "a busy tile while the units are written" busy_seen
  check "the run ends" wait_for 120 grep -q "quillon: station:" "$work/err.log"
  sleep 0.5
  shot panel-8-1024x768
  check "the panel still lies on the screen" on_screen
  check "the red tile and the red summary band" at_least panel-8-1024x768 $FAIL 20000
  check "seven green tiles" at_least panel-8-1024x768 $PASS $((7 * 10000))
  check "eight run records" test "$(lines "$records")" -eq 8
  check "seven PASS records" test "$(grep -c '"verdict":"PASS"' "$records")" -eq 7
  local failed
  failed=$(grep '"location":"7-1"' "$records")
  check "7-1 recorded as a FAIL" has "$failed" '"verdict":"FAIL"'
  local id text
  id=$(sed -n 's/.*"status_id":\([0-9]*\).*/\1/p' <<<"$failed")
  text=$(sed -n 's/.*"status_text":"\([^"]*\)".*/\1/p' <<<"$failed")
  check "the summary names the failed unit: 7-1 $id $text" \
    grep -qxF "quillon: station: 1 of 8 FAILED: 7-1 $id $text" "$work/err.log"
  check "Result.txt says fail" result_is fail
  check "burn_result.txt: its header and a line per unit" test "$(lines "$home/burn_result.txt")" -eq 10
  check "the panel closes" close_program
  check "the panel exits 1 after a FAIL" test "$(exit_code)" -eq 1
}

# True once a screenshot shows a busy tile; TRIES screenshots at most (20).
busy_seen() {
  local tries=${1:-20}
  while [ "$tries" -gt 0 ]; do
    shot busy
    if at_least busy $BUSY 2000; then return 0; fi
    tries=$((tries - 1))
  done
  return 1
}

run_window() {
  home=$work/window
  mkdir "$home"
  state=$work/window.state
  records=$home/runs.jsonl
  settings "CheckVIDPID_INI=1" "AutoRun=1" "Wait Time=50" "SaveResultToFile=1" "LogType=1"
  # The units the line brings, made beforehand and taken off the station:
  # 0 a good unit, 1 one whose memory reads back wrong, 2 one with a slow erase.
  sim new "$state" --chips 3 --off-bus-ms 20
  sim fault "$state" corrupt-read 0x100 --chip 1
  sim fault "$state" slow-erase 3000 --chip 2
  for chip in 0 1 2; do sim pull "$state" --chip "$chip"; done
  start_program
  sleep 0.5
  shot window-empty
  check "the window lies on the screen" on_screen

  # A good unit: written at once, green.
  sim plug "$state" --chip 0
  check "pass: a record" wait_for 30 sh -c "[ \$(grep -c . '$records' 2>/dev/null || echo 0) -ge 1 ]"
  check "pass: PASS for 1-1" has "$(record 1)" '"location":"1-1"'
  check "pass: verdict PASS" has "$(record 1)" '"verdict":"PASS"'
  check "pass: Result.txt says pass" wait_for 5 result_is pass
  sleep 0.5
  shot window-pass
  check "pass: the tile is green" at_least window-pass $PASS 5000
  sim pull "$state" --chip 0

  # A unit whose read-back is wrong: red.
  sim plug "$state" --chip 1
  check "fail: a record" wait_for 30 sh -c "[ \$(grep -c . '$records') -ge 2 ]"
  check "fail: 1-2 FAIL" has "$(record 2)" '"location":"1-2"'
  check "fail: verdict FAIL" has "$(record 2)" '"verdict":"FAIL"'
  check "fail: Result.txt says fail" wait_for 5 result_is fail
  sleep 0.5
  shot window-fail
  check "fail: the tile is red" at_least window-fail $FAIL 5000
  check "fail: no green left" at_most window-fail $PASS 0
  sim pull "$state" --chip 1

  # Another product: not written, no record.
  sim plug "$state" --pid 0x0099 --serial OTHER-1
  sleep 2
  shot window-not-accepted
  check "not accepted: no record" test "$(lines "$records")" -eq 2
  strict_check "not accepted: the tile says so" at_least window-not-accepted $NOT_ACCEPTED 5000
  strict_check "not accepted: no other unit's verdict" at_most window-not-accepted $FAIL 0
  sim pull "$state" --chip 3

  # The slow unit, pulled in the middle of its erase.
  sim plug "$state" --chip 2
  check "pulled mid-run: the run starts" busy_seen
  sleep 1
  sim pull "$state" --chip 2
  check "pulled mid-run: a record" wait_for 30 sh -c "[ \$(grep -c . '$records') -ge 3 ]"
  check "pulled mid-run: 1-3 FAIL" has "$(record 3)" '"location":"1-3"'
  check "pulled mid-run: not a PASS" has "$(record 3)" '"verdict":"FAIL"'
  sleep 1
  shot window-pulled
  check "pulled mid-run: no green" at_most window-pulled $PASS 0

  # Plugged back: its own run, again slow; a close request during the erase
  # is answered with the question, and No lets the run finish.
  sim plug "$state" --chip 2
  # Its start comes once the failed run has let go of the gone unit.
  if ! busy_seen; then
    strict_check "re-plugged: started by itself" false
    press space
  else
    echo "ok: re-plugged: started by itself"
  fi
  sleep 1
  local asked=$(date +%s%N)
  press alt+F4
  if wait_for 10 sh -c "xdotool search --onlyvisible --name 'Warning' >/dev/null"; then
    local answered=$((($(date +%s%N) - asked) / 1000000))
    echo "slow erase: the question came after ${answered} ms"
    strict_check "slow erase: the question within 1 s" test "$answered" -le 1000
    xdotool key n
  else
    fail "slow erase: no question to a close during a run"
  fi
  check "re-plugged: a record" wait_for 30 sh -c "[ \$(grep -c . '$records') -ge 4 ]"
  check "re-plugged: 1-3 PASS" has "$(record 4)" '"verdict":"PASS"'
  check "slow erase: the window stays open after No" kill -0 "$program"
  sim pull "$state" --chip 2

  # Two units at once: both written, each record its own.
  sim plug "$state" --serial LINE-0005
  sim plug "$state" --serial LINE-0006
  if ! wait_for 10 sh -c "[ \$(grep -c . '$records') -ge 6 ]"; then
    strict_check "two at once: both written while both are plugged" false
    sim pull "$state" --chip 4
    wait_for 30 sh -c "[ \$(grep -c . '$records') -ge 6 ]"
  else
    echo "ok: two at once: both written while both are plugged"
  fi
  check "two at once: two more records" test "$(lines "$records")" -eq 6
  check "two at once: each its own serial" sh -c "grep -q LINE-0005 '$records' && grep -q LINE-0006 '$records'"
  check "two at once: both PASS" test "$(tail -n2 "$records" | grep -c '"verdict":"PASS"')" -eq 2

  check "the window closes" close_program
  check "the window exits 0 after a PASS" test "$(exit_code)" -eq 0
}

case "$mode" in
  panel) run_panel ;;
  window) run_window ;;
  *) echo "unknown scenario $mode"; exit 2 ;;
esac

echo "line scenario $mode: $failures failed, $(($(date +%s) - started)) s"
if [ "$failures" -ne 0 ]; then
  echo "--- the program's stderr"; cat "$work/err.log"
  exit 1
fi
exit 0
