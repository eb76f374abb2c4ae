#!/usr/bin/env bash
# Trying QOVA as the README tells a newcomer on Debian: scripts/run in the background, then
# scripts/player lists the four starter cards "ready", and a tone played into "Kitchen" is heard
# on ZoneB's first channel and nowhere else. A second start keeps an edited config.json as it is.
#
#   tests/e2e/try_run.sh NATIVE_BUILD
#
# scripts/run starts and ends its own services, so nothing else may hold them (scripts/test runs
# this after its own have ended). Its settings go to a scratch folder (QOVA_RUN_DATA), never to
# the user's build/qova-data. Exits non-zero when a check fails.
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 NATIVE_BUILD" >&2
  exit 2
fi
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/common.sh"
analyse=$1/bin/e2e_analyse
work=$(mktemp -d /tmp/qova-try.XXXXXX)
export QOVA_RUN_DATA=$work/data
unset DISPLAY  # a private Xvfb, never the caller's screen
failures=0
run_pid=""
recorder_pid=""

say() { echo "try: $*"; }
fail() {
  say "FAILED: $*"
  failures=$((failures + 1))
}

stop_run() {
  [ -n "$run_pid" ] || return 0
  kill -TERM "$run_pid" 2>/dev/null
  wait "$run_pid" 2>/dev/null
  run_pid=""
}

cleanup() {
  if [ -n "$recorder_pid" ]; then
    kill "$recorder_pid" 2>/dev/null
    wait "$recorder_pid" 2>/dev/null
  fi
  stop_run
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

starter_cards=("Living room" Kitchen Porch Terrace)

# start_run NAME: scripts/run in the background; true once scripts/player lists every starter
# card "ready" (set-up and build checks, the Wine prefix and QOVA's start: 3 minutes at most).
start_run() {
  "$root/scripts/run" --tray >"$work/run-$1.log" 2>&1 &
  run_pid=$!
  local start name ready
  start=$(date +%s)
  while [ $(($(date +%s) - start)) -lt 180 ]; do
    if "$root/scripts/player" cards >"$work/cards.txt" 2>&1; then
      ready=0
      for name in "${starter_cards[@]}"; do
        awk -v name="$name" '{ line = $0; sub(/^[^ ]+ +/, "", line) }
          index(line, name "  ") == 1 && $NF == "ready" { found = 1 } END { exit !found }' "$work/cards.txt" &&
          ready=$((ready + 1))
      done
      if [ $ready = ${#starter_cards[@]} ]; then
        say "$1 start: the four starter cards are ready after $(($(date +%s) - start)) s"
        return 0
      fi
    fi
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.5
  done
  fail "$1 start: the starter cards are not all ready:"
  cat "$work/cards.txt" "$work/run-$1.log" | tail -n 30
  return 1
}

# --- first start: the starter cards, and a tone into one of them --------------------------------

if start_run first; then
  # The sink's monitor, on the sound server scripts/run started.
  pulse=$(sed -n 's/^PULSE_SERVER=//p' "$runtime/run.env")
  PULSE_SERVER=$pulse parec -d zoneB.monitor --format=float32le --rate=44100 --channels=8 \
    --channel-map=front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,side-right \
    --no-remap --no-remix --latency-msec=20 >"$work/zoneB.raw" 2>"$work/parec.log" &
  recorder_pid=$!
  sleep 0.5
  "$root/scripts/player" play Kitchen --tone 440 --seconds 2 >"$work/play.txt" 2>&1
  status=$?
  sleep 0.5
  kill "$recorder_pid" 2>/dev/null
  wait "$recorder_pid" 2>/dev/null
  recorder_pid=""
  if [ $status = 0 ]; then
    say "scripts/player play Kitchen --tone 440 --seconds 2: exit code 0"
  else
    fail "scripts/player play Kitchen ended with $status: $(tr '\r' '\n' <"$work/play.txt" | tail -n 3)"
  fi
  # Kitchen is the mono sum of the tone's two equal sides: -12 dBFS on ZoneB's channel 1.
  "$analyse" tones "Kitchen on ZoneB" "$work/zoneB.raw" 44100 8 0 1.0 440:0.25 || fail "Kitchen's tone"
  "$analyse" silence "ZoneB's other channels" "$work/zoneB.raw" 44100 8 1 2 3 4 5 6 7 || fail "ZoneB's other channels"
fi
stop_run

# --- second start: an edited config.json stays as it is ---------------------------------------

config=$QOVA_RUN_DATA/config.json
if [ -f "$config" ]; then
  sed -i 's/"name": "Porch"/"name": "Back door"/' "$config"
  cp "$config" "$work/config.edited.json"
  starter_cards=("Living room" Kitchen "Back door" Terrace)
  start_run second
  stop_run
  if cmp -s "$work/config.edited.json" "$config"; then
    say "second start: the edited config.json is kept byte for byte"
  else
    fail "second start: config.json changed"
  fi
else
  fail "the first start left no config.json"
fi

say "$failures check(s) failed"
[ $failures = 0 ]
