#!/usr/bin/env bash
# QOVA.exe playing a card on a real PulseAudio sink, heard at the sink. A Windows process
# under Wine cannot run parec, so this script records the sink "ZoneA" (stereo, 48 kHz,
# float) while the Windows side, ProgramOnASink in ProgramTest.cpp, runs: it writes the
# settings with ZoneA's WASAPI key (which it lists at run time), starts QOVA.exe, plays a
# 1000 Hz tone for 3 s through qova-player, quits QOVA with the tray menu's quit command and
# checks the exit code, the log and that no process is left. This script then checks that
# the tone reached the sink and that QOVA left no stream behind.
# Runs in the environment scripts/test sets up (PULSE_SERVER, WINEPREFIX, DISPLAY, ...).
# $1: the folder of QOVA.exe, app_tests.exe and qova-player.exe. Exits non-zero on failure.
set -u

bin=$1
work=$(mktemp -d)
recorder_pid=""
test_pid=""

cleanup() {
  if [ -n "$test_pid" ] && kill -0 "$test_pid" 2>/dev/null; then kill "$test_pid" 2>/dev/null; fi
  if [ -n "$recorder_pid" ] && kill -0 "$recorder_pid" 2>/dev/null; then kill "$recorder_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "program-e2e: $*" >&2
  exit 1
}

streams_before=$(pactl list short sink-inputs | wc -l)

parec -d zoneA.monitor --format=float32le --rate=48000 --channels=2 --latency-msec=20 >"$work/zoneA.raw" 2>"$work/parec.log" &
recorder_pid=$!
sleep 0.3
kill -0 "$recorder_pid" 2>/dev/null || fail "parec did not start: $(cat "$work/parec.log")"

QOVA_E2E_RECORDING=1 timeout 90 wine "$bin/app_tests.exe" --gtest_filter='ProgramOnASink.*' </dev/null &
test_pid=$!
wait "$test_pid"
status=$?
test_pid=""

kill "$recorder_pid" 2>/dev/null
wait "$recorder_pid" 2>/dev/null
recorder_pid=""
[ $status -eq 0 ] || fail "the Windows side failed (status $status)"

streams_after=$(pactl list short sink-inputs | wc -l)
[ "$streams_after" -eq "$streams_before" ] ||
  fail "QOVA left a stream behind: $(pactl list short sink-inputs | tr '\n' ';')"

# A 1000 Hz tone at -12 dBFS (amplitude 0.251) on both channels for 3 s: 0.1 s windows in
# which the tone holds nearly all the power at about that amplitude on each channel, seen
# one bin at a time (Goertzel) so that no numeric library is needed. Wine's stream start and
# the recorder's scheduling on a busy machine can cost part of the 3 s (16 clean windows seen
# once), so a whole second of clean tone is the bar: silence, a wrong level or another
# frequency gives none.
python3 - "$work/zoneA.raw" <<'EOF'
import math, struct, sys

RATE, HZ, WINDOW = 48000, 1000.0, 4800
data = open(sys.argv[1], "rb").read()
frames = len(data) // 8
samples = struct.unpack("<%df" % (frames * 2), data[: frames * 8])

def tone(channel, start):
    coefficient = 2.0 * math.cos(2.0 * math.pi * HZ / RATE)
    s1 = s2 = 0.0
    power = 0.0
    for i in range(start, start + WINDOW):
        x = samples[2 * i + channel]
        power += x * x
        s0 = x + coefficient * s1 - s2
        s2, s1 = s1, s0
    magnitude = math.sqrt(max(s1 * s1 + s2 * s2 - coefficient * s1 * s2, 0.0))
    amplitude = 2.0 * magnitude / WINDOW
    mean_square = power / WINDOW
    purity = (amplitude * amplitude / 2.0) / mean_square if mean_square > 0 else 0.0
    return amplitude, purity

good = 0
peak = 0.0
for start in range(0, frames - WINDOW + 1, WINDOW):
    results = [tone(channel, start) for channel in (0, 1)]
    peak = max(peak, min(a for a, _ in results))
    if all(0.2 <= a <= 0.3 and p >= 0.95 for a, p in results):
        good += 1
print("program-e2e: %.1f s recorded, %d windows of 0.1 s carry the tone, amplitude up to %.3f"
      % (frames / RATE, good, peak))
sys.exit(0 if good >= 10 else 1)
EOF
[ $? -eq 0 ] || fail "the tone did not reach ZoneA"
echo "program-e2e: passed"
