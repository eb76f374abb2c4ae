# Shell functions of the end-to-end suite (run.sh) that bench/soak.sh shares: players, sinks,
# recorders, QOVA's settings and start. Source it after setting:
#   work      the run's scratch folder        win_bin   the Windows build's bin folder
#   analyse   the native e2e_analyse          pipe      QOVA's control pipe for this run
#   data      QOVA's --data-dir (in work)
# It keeps its own state in started_pids (everything started in the background, ended by PID
# at the end), modules (PulseAudio modules loaded here), failures and failed_lines.

started_pids=()
modules=()
failures=0
failed_lines=()  # every failure, repeated at the end where a truncated CI log still shows it

say() { echo "e2e: $*"; }

fail() {
  say "FAILED: $*"
  failures=$((failures + 1))
  failed_lines+=("FAILED: $*")
}

elapsed() { awk -v from="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - from }'; }

# A Linux path as Wine's Z: drive shows it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a check that prints its own line; counts a failure.
check() {
  local output status
  output=$("$@")
  status=$?
  [ -n "$output" ] && printf '%s\n' "$output"
  if [ $status != 0 ]; then
    failures=$((failures + 1))
    failed_lines+=("$(grep FAILED <<<"$output" | tail -n 1 | sed 's/^e2e: //')")
    [ -n "${failed_lines[-1]}" ] || failed_lines[-1]="FAILED: $* (exit code $status)"
  fi
}

start_background() {
  "$@" &
  started_pids+=($!)
}

# wait_exit PID SECONDS: the exit status of a background process, or 124 (after ending it)
# when it has not ended in time.
wait_exit() {
  local pid=$1 deadline
  deadline=$(($(date +%s%N) + $2 * 1000000000))
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$(date +%s%N)" -gt "$deadline" ]; then
      kill -9 "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      return 124
    fi
    sleep 0.1
  done
  wait "$pid"
}

# Ends what is still running of what was started here: only PIDs that are still the
# script's own unreaped children, so that a number the system has handed on is never hit;
# then unloads the modules loaded here.
end_started() {
  local pid module running
  running=" $(jobs -p | tr '\n' ' ') "
  for pid in "${started_pids[@]}"; do
    [[ $running == *" $pid "* ]] && kill -9 "$pid" 2>/dev/null
  done
  for pid in "${started_pids[@]}"; do
    [[ $running == *" $pid "* ]] && wait "$pid" 2>/dev/null
  done
  for module in "${modules[@]}"; do pactl unload-module "$module" 2>/dev/null; done
}

# The machine itself can stand still, both cores at once, for tens to hundreds of ms (a virtual
# machine's host stopping it, with no steal time counted): every stream of Wine's and
# PulseAudio's waits, and they come back unequally late. watch_stalls notes each stop of 20 ms
# or more in $work/stalls.txt (e2e_analyse stalls) until stalls_pid is ended; stood_still
# [FROM TO] tells how many came between FROM and TO (seconds since the epoch), and the longest.
watch_stalls() {
  "$analyse" stalls "$work/stalls.txt" 20 &
  stalls_pid=$!
  started_pids+=("$stalls_pid")
}
stood_still() {
  awk -v a="${1:-0}" -v b="${2:-1e18}" '$1 >= a && $1 <= b { n++; if ($3 > m) m = $3 }
    END { printf "%d time(s) for 20 ms or more%s", n, n ? sprintf(" (%.0f ms at most)", m) : "" }' "$work/stalls.txt"
}

wine_run() { timeout -k 5 "$1" wine "${@:2}" </dev/null; }

player() { wine_run 60 "$win_bin/qova-player.exe" --pipe "$pipe" "$@"; }

cards_state() { player cards 2>&1; }

# card_state NAME: the state column of that card in `qova-player cards`.
card_state() {
  cards_state | awk -v name="$1" '{ line = $0; sub(/^[^ ]+ +/, "", line); if (index(line, name "  ") == 1) print $NF }'
}

load_sink() {  # name description rate channels [channel map]
  local map=() module
  [ -n "${5:-}" ] && map=("channel_map=$5")
  module=$(pactl load-module module-null-sink "sink_name=$1" "sink_properties=device.description=$2" \
    format=float32le "rate=$3" "channels=$4" "${map[@]}") || return 1
  echo "$module"
}

unload_module() {
  local module=$1 kept=() m
  pactl unload-module "$module" 2>/dev/null
  for m in "${modules[@]}"; do [ "$m" = "$module" ] || kept+=("$m"); done
  modules=("${kept[@]}")
}

# record NAME SINK RATE CHANNELS: parec on the sink's monitor into NAME.raw, with the
# arrival time of every block in NAME.times. Sets recorder_pid (parec) and stamper_pid.
eight_map=front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,side-right
record() {
  local name=$1 sink=$2 rate=$3 channels=$4 map=front-left,front-right
  [ "$channels" = 8 ] && map=$eight_map
  rm -f "$work/$name.fifo"
  mkfifo "$work/$name.fifo"
  # Both ends of the FIFO are opened in the background: an open waits for the other end.
  "$analyse" stamp "$work/$name.raw" "$work/$name.times" $((channels * 4)) <"$work/$name.fifo" &
  stamper_pid=$!
  started_pids+=("$stamper_pid")
  # 5 ms blocks, so that arrival times place the frames to a few milliseconds; channels by
  # index, exactly as the sink has them.
  parec -d "$sink.monitor" --format=float32le --rate="$rate" --channels="$channels" --channel-map="$map" \
    --no-remap --no-remix --latency-msec=5 >"$work/$name.fifo" 2>"$work/$name.parec.log" &
  recorder_pid=$!
  started_pids+=("$recorder_pid")
}

stop_recording() {  # recorder_pid stamper_pid
  kill "$1" 2>/dev/null
  wait_exit "$1" 5 >/dev/null
  wait_exit "$2" 5 >/dev/null
}

# The suite's three sinks, each its own clock as two real sound cards are (sets wide_module,
# two_module, eight_module):
#   wide   8 ch 48000 Hz   Stereo (0,1), Split L (2), Split R (3), Mono left (4),
#                          Mono right (5), Delay (6, and 7 with 100 ms more)
#   two    2 ch 48000 Hz   Joined, near half (0); Joined back, far half (1)
#   eight  8 ch 44100 Hz   Stereo 44k (0,1), Joined, far half (2), Joined back, near half (3);
#                          channels 4-7 have no card
load_sinks() {
  local sink
  # Left behind by an earlier run that was killed: ours by name.
  for sink in qova_e2e_wide qova_e2e_two qova_e2e_eight; do
    pactl list short modules | awk -v s="sink_name=$sink" 'index($0, s) { print $1 }' |
      while read -r module; do pactl unload-module "$module"; done
  done
  wide_module=$(load_sink qova_e2e_wide QovaE2eWide 48000 8 "$eight_map") || return 1
  modules+=("$wide_module")
  two_module=$(load_sink qova_e2e_two QovaE2eTwo 48000 2) || return 1
  modules+=("$two_module")
  eight_module=$(load_sink qova_e2e_eight QovaE2eEight 44100 8 "$eight_map") || return 1
  modules+=("$eight_module")
}

# Wine names each sink's endpoint with a key of its own prefix: finds them by description
# (sets wide_key, two_key, eight_key).
find_endpoints() {
  wine_run 60 "$win_bin/e2e_probe.exe" endpoints >"$work/endpoints.txt" 2>&1
  endpoint_key() { awk -F'\t' -v name="$1" '$2 == name { print $1 }' "$work/endpoints.txt"; }
  wide_key=$(endpoint_key QovaE2eWide)
  two_key=$(endpoint_key QovaE2eTwo)
  eight_key=$(endpoint_key QovaE2eEight)
  if [ -z "$wide_key" ] || [ -z "$two_key" ] || [ -z "$eight_key" ]; then
    say "the sinks are not all WASAPI endpoints:"
    cat "$work/endpoints.txt"
    return 1
  fi
  say "endpoints: $(awk -F'\t' '/QovaE2e/ { printf "%s %s ch %s Hz; ", $2, $3, $4 }' "$work/endpoints.txt")"
}

member() { printf '{ "device": "%s", "channel": %s, "delayMs": %s }' "$1" "$2" "$3"; }
card() {  # id name mono members...
  local id=$1 name=$2 mono=$3
  shift 3
  local members
  members=$(printf '%s, ' "$@")
  printf '    { "id": "%s", "name": "%s", "mono": "%s",\n      "members": [ %s ] }' "$id" "$name" "$mono" \
    "${members%, }"
}
device() { printf '    { "key": "%s", "name": "%s", "enabled": true, "api": "shared" }' "$1" "$2"; }

# write_config [CARD...]: data/config.json with the nine cards on the three sinks, and any
# further cards given (as card() prints them); a copy in work/config.before.json. Written by
# hand, in an order QOVA would not write: any save would show.
write_config() {
  local extra=""
  [ $# -gt 0 ] && extra=$(printf ',\n%s' "$@")
  cat >"$data/config.json" <<EOF
{
  "schema": 1,
  "language": "en",
  "devices": [
$(device "$wide_key" QovaE2eWide),
$(device "$two_key" QovaE2eTwo),
$(device "$eight_key" QovaE2eEight)
  ],
  "cards": [
$(card e2e00001 "Stereo" sum "$(member "$wide_key" 0 0)" "$(member "$wide_key" 1 0)"),
$(card e2e00002 "Split L" sum "$(member "$wide_key" 2 0)"),
$(card e2e00003 "Split R" sum "$(member "$wide_key" 3 0)"),
$(card e2e00004 "Mono left" left "$(member "$wide_key" 4 0)"),
$(card e2e00005 "Mono right" right "$(member "$wide_key" 5 0)"),
$(card e2e00006 "Delay" sum "$(member "$wide_key" 6 0)" "$(member "$wide_key" 7 100.0)"),
$(card e2e00007 "Joined" sum "$(member "$two_key" 0 0)" "$(member "$eight_key" 2 0)"),
$(card e2e00008 "Stereo 44k" sum "$(member "$eight_key" 0 0)" "$(member "$eight_key" 1 0)"),
$(card e2e00009 "Joined back" sum "$(member "$eight_key" 3 0)" "$(member "$two_key" 1 0)")$extra
  ]
}
EOF
  cp "$data/config.json" "$work/config.before.json"
}

# Starts QOVA.exe on data and pipe and waits until its pipe is ready (sets qova_pid).
start_qova() {
  local start_time
  start_time=$(date +%s.%N)
  start_background wine "$win_bin/QOVA.exe" --data-dir "$(windows_path "$data")" --pipe "$pipe" --tray \
    </dev/null >"$work/qova.out" 2>&1
  qova_pid=$!
  for _ in $(seq 1 150); do
    if grep -q "control pipe .* ready" "$data/qova.log" 2>/dev/null; then
      say "QOVA up in $(elapsed "$start_time") s"
      return 0
    fi
    kill -0 "$qova_pid" 2>/dev/null || break
    sleep 0.2
  done
  say "QOVA did not come up within 30 s"
  cat "$data/qova.log" "$work/qova.out" 2>/dev/null
  return 1
}
