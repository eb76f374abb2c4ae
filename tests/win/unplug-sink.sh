#!/usr/bin/env bash
# A sound card unplugged while a card plays on it, and plugged in again. A Windows process
# under Wine cannot run pactl, so this script owns the PulseAudio sink "ZoneC" and runs the
# Windows side, UnpluggedSink in HealthTest.cpp, talking to it through files in a folder:
#   test -> "ready"      the card plays on ZoneC        script: unload the sink -> "unplugged"
#   test -> "replug"     the router noticed the loss    script: load the sink   -> "replugged"
#   test -> "playing"    the card plays again           script: record 0.5 s of the sink's
#                                                        monitor -> "heard" (its loudest sample)
# Runs in the environment scripts/test sets up (PULSE_SERVER, WINEPREFIX, DISPLAY, ...).
# $1: the path of win_tests.exe. Exits with the test's status.
set -u

exe=$1
rate=48000
sink_args="sink_name=zoneC sink_properties=device.description=ZoneC format=float32le rate=$rate channels=2"
handshake=$(mktemp -d)
module=""
test_pid=""

cleanup() {
  if [ -n "$test_pid" ] && kill -0 "$test_pid" 2>/dev/null; then kill "$test_pid" 2>/dev/null; fi
  if [ -n "$module" ]; then pactl unload-module "$module" >/dev/null 2>&1; fi
  rm -rf "$handshake"
}
trap cleanup EXIT

# Waits up to $2 seconds for the file $1 while the test still runs.
wait_for() {
  local tries=0
  while [ ! -e "$handshake/$1" ]; do
    kill -0 "$test_pid" 2>/dev/null || return 1
    tries=$((tries + 1))
    [ $tries -le $(($2 * 10)) ] || return 1
    sleep 0.1
  done
}

load_sink() {
  module=$(pactl load-module module-null-sink $sink_args) || { module=""; echo "cannot load the sink" >&2; return 1; }
}

# The loudest sample of half a second of what reaches the sink (float, 2 channels).
loudest_at_sink() {
  timeout 10 parec --raw -d zoneC.monitor --format=float32le --channels=2 --rate=$rate 2>/dev/null |
    head -c $((rate * 8 / 2)) | od -An -v -tf4 -w4 |
    awk '{ v = $1 < 0 ? -$1 : $1; if (v > m) m = v } END { printf "%.4f\n", m + 0 }'
}

load_sink || exit 1
QOVA_UNPLUG_DIR="$handshake" timeout 90 wine "$exe" --gtest_filter='UnpluggedSink.*' &
test_pid=$!

if wait_for ready 40; then
  echo "unplug-sink: streams before: $(pactl list short sink-inputs | tr '\n' ';')"
  pactl unload-module "$module"
  module=""
  echo "unplug-sink: ZoneC unloaded; streams now: $(pactl list short sink-inputs | tr '\n' ';') sinks: $(pactl list short sinks | cut -f2 | tr '\n' ' ')"
  : >"$handshake/unplugged"
  if wait_for replug 30; then
    load_sink && echo "unplug-sink: ZoneC loaded again" && : >"$handshake/replugged"
    if wait_for playing 30; then
      echo "unplug-sink: streams now: $(pactl list short sink-inputs | tr '\n' ';')"
      loudest_at_sink >"$handshake/heard.tmp" && mv "$handshake/heard.tmp" "$handshake/heard"
      echo "unplug-sink: loudest sample at ZoneC: $(cat "$handshake/heard" 2>/dev/null)"
    else
      echo "unplug-sink: the test did not say the card plays again" >&2
    fi
  else
    echo "unplug-sink: the test did not ask for the sink back" >&2
  fi
else
  echo "unplug-sink: the test never became ready" >&2
fi

wait "$test_pid"
status=$?
test_pid=""
exit $status
