#!/usr/bin/env bash
# What QOVA.exe takes of the CPU under Wine, window shown and hidden, with and without a player:
# QOVA on a test output with one stereo card, and the CPU time of its process (user and system,
# from /proc) per second over 10 s in each state. Under Wine on Xvfb, Direct3D draws in software,
# so a shown window costs far more here than on Windows; the figure tells whether the window
# draws more than it needs.
#
#   bench/window_cpu.sh [QOVA_EXE]     (default: build/win/bin/QOVA.exe)
#
# Last line, for scripts (in cores, 1.0 = one core busy):
#   window cpu summary: shown-idle=X shown-playing=X hidden-idle=X hidden-playing=X
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
exe=${1:-$win_build/bin/QOVA.exe}
player_exe=$win_build/bin/qova-player.exe
start_services --private
keep_desktop_alive

work=$(mktemp -d /tmp/qova-window-cpu.XXXXXX)
trap 'rm -rf "$work"; stop_services' EXIT
cat >"$work/config.json" <<'JSON'
{ "schema": 1, "language": "en",
  "devices": [ { "key": "null:0", "name": "Test output 1", "enabled": true, "api": "shared" } ],
  "cards": [ { "id": "0000000a", "name": "Lounge", "mono": "sum",
               "members": [ { "device": "null:0", "channel": 0, "delayMs": 0 },
                            { "device": "null:0", "channel": 1, "delayMs": 0 } ] } ] }
JSON
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# measure NAME [--tray] [play]: prints and returns (in $cores) QOVA's cores over 10 s.
measure() {
  local name=$1 tray=$2 play=$3 pipe data pid player="" before after
  pipe='\\.\pipe\qova-window-cpu-'$name
  data=$work/$name
  mkdir -p "$data"
  cp "$work/config.json" "$data/"
  wine "$exe" --null-devices 1 --data-dir "$(windows_path "$data")" --pipe "$pipe" $tray </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do
    wine "$player_exe" --pipe "$pipe" cards </dev/null >/dev/null 2>&1 && break
    sleep 0.2
  done
  if [ "$play" = play ]; then
    wine "$player_exe" --pipe "$pipe" play Lounge --tone 440 --seconds 16 </dev/null >/dev/null 2>&1 &
    player=$!
  fi
  sleep 3
  before=$(cpu_ticks "$pid")
  sleep 10
  after=$(cpu_ticks "$pid")
  # The player first: one whose QOVA is gone waits for room in its ring.
  [ -z "$player" ] || { kill "$player"; wait "$player" 2>/dev/null || true; }
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  cores=$(awk -v t="$((after - before))" -v hz="$ticks" 'BEGIN { printf "%.3f", t / hz / 10 }')
  printf '%-28s %s cores\n' "$name" "$cores"
}

measure shown-idle "" idle;       shown_idle=$cores
measure shown-playing "" play;    shown_playing=$cores
measure hidden-idle --tray idle;  hidden_idle=$cores
measure hidden-playing --tray play; hidden_playing=$cores
echo "window cpu summary: shown-idle=$shown_idle shown-playing=$shown_playing hidden-idle=$hidden_idle hidden-playing=$hidden_playing"
