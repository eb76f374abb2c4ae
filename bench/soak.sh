#!/usr/bin/env bash
# Soak: QOVA.exe under Wine for MINUTES on the end-to-end suite's three PulseAudio sinks with
# its nine cards and a witness, a player on every card the whole time, and the faults a user's
# machine brings, to show that nothing is lost or leaked over a long run. Run by hand:
#
#   bench/soak.sh MINUTES        (QOVA_SOAK_KEEP=1 keeps the work folder; QOVA_SOAK_SEED=N)
#
# Sets up and builds as scripts/test does, then starts its own Xvfb, PulseAudio and Wine
# prefix (scripts/lib/common.sh) and ends all it started by process id. For the whole run:
#  - each card's player (qova-player, a tone or a WAV file; noise on the joined cards) ends
#    and starts again at random; one play in four is killed with kill -9;
#  - the hostile client of the end-to-end suite works the pipe every minute, on a tenth card
#    kept for it (eight's channel 4);
#  - every 5 minutes (from 2.5 on) one sink, in turn, is unloaded for 5 s and loaded again;
#  - every 7 minutes (from 3.5 on) stress-ng keeps both cores busy for 60 s;
#  - the sinks' monitors are recorded in 2-minute pieces, each measured when complete and
#    then deleted: the gaps on every card while its player played, outside and inside the
#    fault windows, and the joined cards' alignment;
#  - every 10 s, e2e_probe samples QOVA's memory, handles and threads, and each card's ring
#    fill and underrun counter are read from its player's status line (the player reads them
#    from the ring's header, where QOVA keeps them).
# Prints its figures, then, last, one line for scripts:
#   soak summary: minutes=N crashes=N config-intact=0|1 private-growth-pct=X handle-growth=N
#   thread-growth=N gaps-outside-faults=N worst-recovery-s=X worst-joined-ms=X
# Exits non-zero when a check fails (see "judgement" at the end).
set -u

minutes=${1:-}
if ! [[ $minutes =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 MINUTES" >&2
  exit 2
fi
setup_start=$EPOCHREALTIME
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# --- set-up: packages, builds, services ---------------------------------------------------------

"$root/scripts/setup" || exit 1
if ! command -v stress-ng >/dev/null; then
  log "installing stress-ng"
  as_root apt-get update -q && as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q stress-ng || exit 1
fi
mkdir -p "$build"
build_native >"$build/soak-build.log" 2>&1 || { tail -n 40 "$build/soak-build.log"; exit 1; }
build_windows >>"$build/soak-build.log" 2>&1 || { tail -n 40 "$build/soak-build.log"; exit 1; }
start_services --private
keep_desktop_alive

win_bin=$win_build/bin
analyse=$native_build/bin/e2e_analyse
soak_analyse=$native_build/bin/soak_analyse
work=$(mktemp -d /tmp/qova-soak.XXXXXX)
data=$work/data
rec=$work/rec
mkdir -p "$data" "$rec"
pipe='\\.\pipe\qova-soak-'$$
# lib.sh keeps its own started_pids; the services' are kept apart for stop_services.
service_pids=("${started_pids[@]}")
source "$root/tests/e2e/lib.sh"
qova_pid=""

cleanup() {
  end_started
  # Also ends every Wine process of the prefix: players of the card loops killed above.
  started_pids=("${service_pids[@]}")
  stop_services
  if [ "${QOVA_SOAK_KEEP:-}" = 1 ]; then
    echo "soak: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

soak_say() { echo "soak: $*"; }

# Times: the script keeps wall-clock seconds ($EPOCHREALTIME, no process needed); the
# recorders stamp the monotonic clock. lead turns one into the other.
lead=$(python3 -c 'import time; print(time.time() - time.monotonic())')
now_s() { echo "${EPOCHREALTIME%.*}"; }

load_sinks || { soak_say "cannot load the sinks"; exit 1; }
find_endpoints || exit 1
write_config "$(card e2e00010 "Spare" sum "$(member "$eight_key" 4 0)")" \
  "$(card e2e00011 "Witness 44k" sum "$(member "$eight_key" 5 0)")"

# Each card: name, id, what its players play (tone:HZ, or noise:SEED for the joined cards,
# whose alignment is measured by correlation), and where it is heard: SINK:CHANNEL:near|far.
# A gap on every card of a sink at once is the sink's (Wine or PulseAudio), and only a tone
# shows a glitch without silence: on eight, Stereo 44k's would be its own, as the joined halves
# there play noise. The witness, a second tone there, plays through the whole run to tell
# them apart: Wine on a busy machine now and then makes the whole sink jump without a gap.
names=("Stereo" "Split L" "Split R" "Mono left" "Mono right" "Delay" "Joined" "Stereo 44k" "Joined back" "Witness 44k")
ids=(e2e00001 e2e00002 e2e00003 e2e00004 e2e00005 e2e00006 e2e00007 e2e00008 e2e00009 e2e00011)
signals=(tone:500 tone:900 tone:1300 tone:1900 tone:2900 tone:700 noise:22 tone:997 noise:33 tone:1500)
places=("wide:0:near wide:1:near" "wide:2:near" "wide:3:near" "wide:4:near" "wide:5:near"
        "wide:6:near wide:7:near" "two:0:near eight:2:far" "eight:0:near eight:1:near" "eight:3:near two:1:far"
        "eight:5:near")
witness=9
declare -A sink_name=([wide]=qova_e2e_wide [two]=qova_e2e_two [eight]=qova_e2e_eight)
declare -A sink_rate=([wide]=48000 [two]=48000 [eight]=44100)
declare -A sink_channels=([wide]=8 [two]=2 [eight]=8)
declare -A sink_description=([wide]=QovaE2eWide [two]=QovaE2eTwo [eight]=QovaE2eEight)
sinks=(wide two eight)

# Plays last 20 to 100 s; the WAV files hold 100 s. Made at low priority, like all analysis,
# so that it takes from QOVA as little as the two cores allow.
longest_play=100
wav_pids=()
for i in "${!names[@]}"; do
  [ "$i" = "$witness" ] && continue  # plays its tone, never a file
  signal=${signals[$i]}
  [[ $signal == noise:* ]] && signal=$signal:3000
  nice -n 19 "$analyse" wav "$work/card$i.wav" $longest_play "$signal" "$signal" &
  wav_pids+=($!)
done
for pid in "${wav_pids[@]}"; do wait "$pid" || { soak_say "cannot make WAV files"; exit 1; }; done

start_qova || exit 1
cards=$(cards_state)
ready_cards=$(grep -c ' ready$' <<<"$cards")
[ "$ready_cards" = 11 ] || fail "not every card is ready: $(tr '\n' ';' <<<"$cards")"

# --- recorders ----------------------------------------------------------------------------------

segment_seconds=120
declare -A generation recorder stamper
# record_sink SINK: parec on the sink's monitor into pieces SINK.GENERATION.N (soak_analyse
# record); a sink's recorder starts again, as a new generation, after the sink came back.
record_sink() {
  local sink=$1 map=front-left,front-right fifo
  [ "${sink_channels[$sink]}" = 8 ] && map=$eight_map
  generation[$sink]=$((${generation[$sink]:--1} + 1))
  fifo=$work/$sink.fifo
  rm -f "$fifo"
  mkfifo "$fifo"
  "$soak_analyse" record "$rec/$sink.${generation[$sink]}" $((${sink_channels[$sink]} * 4)) \
    $segment_seconds <"$fifo" &
  stamper[$sink]=$!
  started_pids+=($!)
  parec -d "${sink_name[$sink]}.monitor" --format=float32le --rate="${sink_rate[$sink]}" \
    --channels="${sink_channels[$sink]}" --channel-map="$map" --no-remap --no-remix --latency-msec=5 \
    >"$fifo" 2>>"$work/$sink.parec.log" &
  recorder[$sink]=$!
  started_pids+=($!)
  # parec's first second or so is a burst of whatever the sink held: not judged.
  echo "blind $EPOCHREALTIME $(awk -v t="$EPOCHREALTIME" 'BEGIN { printf "%.3f", t + 1.5 }') $sink" >>"$work/windows.txt"
}
stop_sink_recorder() {
  kill "${recorder[$1]}" 2>/dev/null
  wait_exit "${recorder[$1]}" 5 >/dev/null
  wait_exit "${stamper[$1]}" 5 >/dev/null
}
: >"$work/windows.txt"  # fault and blind windows, wall-clock seconds
# The machine standing still can make a sink fall silent as a whole or jump: the report says
# which of the sinks' gaps followed a stop.
watch_stalls
measured=$(( ($(now_s) - ${lead%.*}) / segment_seconds - 1 ))  # the last piece measured
for sink in "${sinks[@]}"; do record_sink "$sink"; done

# --- the players --------------------------------------------------------------------------------

seed=${QOVA_SOAK_SEED:-$$}
t0=$(now_s)
play_until=$((t0 + minutes * 60))

# card_loop I: plays card I until play_until, one player after another. Its events file gets
#   launch WALL SECONDS KILL_AFTER|- ; playing WALL ; exit WALL STATUS|killed
card_loop() {
  local i=$1 n=0 d kill_after source_args out pid first status left launch events=$work/events-$i.txt
  RANDOM=$((seed + i))
  : >"$events"
  while :; do
    left=$((play_until - $(now_s) - 2))
    [ $left -ge 12 ] || break
    d=$((20 + RANDOM % 81))
    [ $d -le $left ] || d=$left
    kill_after=-
    [ $((RANDOM % 4)) = 0 ] && kill_after=$((5 + RANDOM % (d - 6)))
    if [ "$i" = "$witness" ]; then
      d=$left kill_after=- source_args=(--tone "${signals[$i]#tone:}")
    elif [[ ${signals[$i]} == tone:* ]] && [ $((RANDOM % 2)) = 0 ]; then
      source_args=(--tone "${signals[$i]#tone:}")
    else
      source_args=(--wav "$(windows_path "$work/card$i.wav")")
    fi
    n=$((n + 1))
    out=$work/player-$i-$n.txt
    echo "$out" >"$work/current-$i"
    launch=$EPOCHREALTIME
    echo "launch $launch $d $kill_after" >>"$events"
    wine "$win_bin/qova-player.exe" --pipe "$pipe" --name "soak $i" play "${names[$i]}" "${source_args[@]}" \
      --seconds $d </dev/null >"$out" 2>&1 &
    pid=$!
    first=""
    while kill -0 $pid 2>/dev/null; do
      { read -r first <"$out"; } 2>/dev/null
      [[ $first == playing* ]] && break
      sleep 0.1
    done
    [[ $first == playing* ]] && echo "playing $EPOCHREALTIME" >>"$events"
    if [ "$kill_after" != - ]; then
      sleep "$(awk -v at="$kill_after" -v from="$launch" -v now="$EPOCHREALTIME" \
        'BEGIN { s = at - (now - from); print (s > 0 ? s : 0) }')"
      kill -9 $pid 2>/dev/null
      wait $pid 2>/dev/null
      echo "exit $EPOCHREALTIME killed" >>"$events"
      sleep $((3 + RANDOM % 4))  # QOVA lets the card go at its next health check
    else
      wait $pid
      status=$?
      echo "exit $EPOCHREALTIME $status" >>"$events"
      sleep $((1 + RANDOM % 5))
    fi
  done
}
for i in "${!names[@]}"; do
  card_loop "$i" &
  started_pids+=($!)
  card_pids+=($!)
done

# QOVA's process, sampled from inside Wine every 10 s until it ends.
start_background wine "$win_bin/e2e_probe.exe" sample QOVA.exe 10 </dev/null >"$work/probe.txt" 2>&1

# --- measuring a piece --------------------------------------------------------------------------

# The plan for soak_analyse gaps on one sink: which channels carry which card's signal, when
# each card's player played steadily (0.5 s after its "playing" line, to 0.3 s before its
# planned end, its kill or its exit; a far half from 0.5 s after QOVA logged it started), and
# the fault and blind windows. All in monotonic seconds.
far_starts() {
  grep -a 'far half on .* started' "$data/qova.log" | awk '{
    split($1, d, "-"); split($2, t, ":");
    s = mktime(d[1] " " d[2] " " d[3] " " t[1] " " t[2] " " int(t[3])) + (t[3] - int(t[3]));
    id = $5; sub(/:$/, "", id); printf "%s %.3f\n", id, s }'
}
write_plan() {  # SINK FILE
  local sink=$1 plan=$2 i place sinkpart channel role
  : >"$plan"
  far_starts >"$work/far-starts.txt"
  for i in "${!names[@]}"; do
    for place in ${places[$i]}; do
      IFS=: read -r sinkpart channel role <<<"$place"
      [ "$sinkpart" = "$sink" ] || continue
      if [[ ${signals[$i]} == tone:* ]]; then
        echo "channel $channel tone ${signals[$i]#tone:}" >>"$plan"
      else
        echo "channel $channel noise" >>"$plan"
      fi
      awk -v ch="$channel" -v far="$( [ "$role" = far ] && echo 1 || echo 0)" -v id="${ids[$i]}" -v lead="$lead" '
        FILENAME ~ /far-starts/ { if ($1 == id) starts[++count] = $2; next }
        function flush() {
          if (playing == "") return
          from = playing + 0.5
          if (far) {
            from = -1
            for (k = 1; k <= count; ++k) if (starts[k] >= playing - 1 && (from < 0 || starts[k] < from)) from = starts[k]
            from = from < 0 ? playing + 0.5 : from + 0.5
          }
          to = playing + seconds
          if (killAfter != "-" && launch + killAfter < to) to = launch + killAfter
          if (ended != "" && ended < to) to = ended
          to -= 0.3
          if (to > from) printf "steady %s %.3f %.3f\n", ch, from - lead, to - lead
        }
        $1 == "launch" { flush(); launch = $2; seconds = $3; killAfter = $4; playing = ""; ended = "" }
        $1 == "playing" { playing = $2 }
        $1 == "exit" { ended = $2 }
        END { flush() }' "$work/far-starts.txt" "$work/events-$i.txt" >>"$plan"
    done
  done
  awk -v lead="$lead" '$1 == "fault" { printf "fault %.3f %.3f\n", $2 - lead, $3 - lead }' "$work/windows.txt" >>"$plan"
  awk -v lead="$lead" -v s="$sink" '$1 == "blind" && (NF < 4 || $4 == s) { printf "blind %.3f %.3f\n", $2 - lead, $3 - lead }' \
    "$work/windows.txt" >>"$plan"
}

# card_of SINK CHANNEL: the card index heard there.
card_of() {
  local i place
  for i in "${!names[@]}"; do
    for place in ${places[$i]}; do [[ $place == "$1:$2:"* ]] && echo "$i" && return; done
  done
}

# measure_piece N: every sink's piece N: the gaps per channel into gaps.tsv and gap-list.tsv,
# the joined cards' alignment into joined.txt; then the piece is deleted.
measure_piece() {
  local n=$1 sink times raw base plan output piece_faults two_piece eight_piece restarts line
  for sink in "${sinks[@]}"; do
    for times in "$rec/$sink".*."$n".times; do
      [ -e "$times" ] || continue
      raw=${times%.times}.raw
      plan=${times%.times}.plan
      write_plan "$sink" "$plan"
      output=$(nice -n 19 "$soak_analyse" gaps "$raw" "$times" "${sink_rate[$sink]}" "${sink_channels[$sink]}" "$plan") ||
        { echo "cannot measure $raw" >>"$work/measure-failures.txt"; continue; }
      while IFS=$'\t' read -r kind a b c d e f g h; do
        case $kind in
          capture) echo "$n $sink $a $b" >>"$work/capture.txt" ;;
          channel) echo "$n $sink $a $(card_of "$sink" "$a") $b $c $d $e $f $g $h" >>"$work/gaps.tsv" ;;
          gap) echo "$n $sink $a $(card_of "$sink" "$a") $b $c $d $e $f" >>"$work/gap-list.tsv" ;;
        esac
      done <<<"$output"
    done
  done
  # The joined cards: each has a half on two and one on eight. The larger piece of each sink
  # (a sink that came back has two in this stretch).
  two_piece=$(ls -S "$rec"/two.*."$n".raw 2>/dev/null | head -n 1)
  eight_piece=$(ls -S "$rec"/eight.*."$n".raw 2>/dev/null | head -n 1)
  if [ -n "$two_piece" ] && [ -n "$eight_piece" ]; then
    restarts=()
    while read -r _ at; do restarts+=("$(awk -v t="$at" -v l="$lead" 'BEGIN { printf "%.3f", t - l }')"); done \
      <"$work/far-starts.txt"
    output=$(nice -n 19 "$analyse" joins "piece $n" "$two_piece" "${two_piece%.raw}.times" 48000 2 \
      "$eight_piece" "${eight_piece%.raw}.times" 44100 8 0 2 3 1 - "${restarts[@]}" 2>&1)
    line=$(grep "alignment per" <<<"$output")
    # Whether a fault window touched this piece: its windows are judged apart.
    piece_faults=$(awk -v from="$((n * segment_seconds))" -v to="$(((n + 1) * segment_seconds))" -v lead="$lead" \
      '$1 == "fault" && $2 - lead < to && $3 - lead > from { f = 1 } END { print f + 0 }' "$work/windows.txt")
    if [ -n "$line" ]; then
      sed -e 's/.*alignment per 5 s//' -e 's/ ms (worst.*//' <<<"$line" | tr ' ' '\n' | grep -E '^[-+]?[0-9]' |
        sed "s/^/$piece_faults /" >>"$work/joined.txt"
    fi
    echo "$output" >>"$work/joins.log"
  fi
  [ "${QOVA_SOAK_KEEP:-}" = 1 ] || rm -f "$rec"/*."$n".raw
}

# --- faults -------------------------------------------------------------------------------------

fault_number=0
# sink_fault: the next sink in turn goes away for 5 s; its cards must play again. How long
# that takes is measured on a recording of its own from the moment the sink is back, for the
# cards whose players played through it.
sink_fault() {
  local sink=${sinks[$((fault_number % 3))]} module_var gone back i place channels=() ch recovery_pids
  fault_number=$((fault_number + 1))
  module_var=${sink}_module
  stop_sink_recorder "$sink"
  gone=$EPOCHREALTIME
  echo "fault $gone $(awk -v t="$gone" 'BEGIN { printf "%.3f", t + 5 + 20 }') sink-$sink" >>"$work/windows.txt"
  unload_module "${!module_var}"
  sleep 5
  local module
  module=$(load_sink "${sink_name[$sink]}" "${sink_description[$sink]}" \
    "${sink_rate[$sink]}" "${sink_channels[$sink]}" "$([ "${sink_channels[$sink]}" = 8 ] && echo "$eight_map")")
  back=$EPOCHREALTIME
  if [ -z "$module" ]; then
    fail "sink $sink could not be loaded again"
    return
  fi
  printf -v "$module_var" '%s' "$module"
  modules+=("$module")
  record_sink "$sink"
  # The cards on this sink whose player played when it went and will still play 25 s on.
  for i in "${!names[@]}"; do
    for place in ${places[$i]}; do
      [[ $place == "$sink:"* ]] || continue
      ch=$(cut -d: -f2 <<<"$place")
      awk -v gone="$gone" -v until="$(awk -v t="$back" 'BEGIN { printf "%.3f", t + 25 }')" '
        $1 == "launch" { launch = $2; seconds = $3; killAfter = $4; playing = ""; ended = "" }
        $1 == "playing" { playing = $2 } $1 == "exit" { ended = $2 }
        END { end = playing + seconds; if (killAfter != "-" && launch + killAfter < end) end = launch + killAfter
              exit !(playing != "" && ended == "" && playing + 0.5 < gone && end > until) }' \
        "$work/events-$i.txt" && channels+=("$ch")
    done
  done
  soak_say "sink $sink unloaded for 5 s and loaded again ($(awk -v a="$gone" -v b="$back" 'BEGIN { printf "%.1f", b - a }') s); cards playing through it on channels: ${channels[*]:-none}"
  [ ${#channels[@]} -gt 0 ] || return
  (
    name=recovery-$fault_number
    map=front-left,front-right
    [ "${sink_channels[$sink]}" = 8 ] && map=$eight_map
    mkfifo "$work/$name.fifo"
    "$analyse" stamp "$work/$name.raw" "$work/$name.times" $((${sink_channels[$sink]} * 4)) <"$work/$name.fifo" &
    stamp_pid=$!
    parec -d "${sink_name[$sink]}.monitor" --format=float32le --rate="${sink_rate[$sink]}" \
      --channels="${sink_channels[$sink]}" --channel-map="$map" --no-remap --no-remix --latency-msec=5 \
      >"$work/$name.fifo" 2>/dev/null &
    parec_pid=$!
    sleep 30
    kill $parec_pid
    wait $parec_pid $stamp_pid
    nice -n 19 "$soak_analyse" recovery "$work/$name.raw" "$work/$name.times" "${sink_rate[$sink]}" \
      "${sink_channels[$sink]}" "$(awk -v t="$back" -v l="$lead" 'BEGIN { printf "%.3f", t - l }')" "${channels[@]}" |
      sed "s/^/$sink /" >"$work/$name.txt"
    rm -f "$work/$name.raw"
  ) &
  started_pids+=($!)
  bounded_pids+=($!)
}

stress_number=0
bounded_pids=()  # what ends by itself within a minute: recovery recordings, stress-ng
stress() {
  stress_number=$((stress_number + 1))
  echo "fault $EPOCHREALTIME $(awk -v t="$EPOCHREALTIME" 'BEGIN { printf "%.3f", t + 60 + 5 }') stress" >>"$work/windows.txt"
  start_background stress-ng --cpu 2 --timeout 60s --quiet
  bounded_pids+=($!)
  soak_say "both cores loaded for 60 s (stress-ng, ${stress_number})"
}

hostile_number=0
hostile_pid=""
hostile() {
  hostile_number=$((hostile_number + 1))
  (
    from=$EPOCHREALTIME
    wine_run 120 "$win_bin/hostile_client.exe" "$pipe" qova:e2e00010 >"$work/hostile-$hostile_number.txt" 2>&1
    echo "status $?" >>"$work/hostile-$hostile_number.txt"
    echo "during $from $EPOCHREALTIME" >>"$work/hostile-$hostile_number.txt"
  ) &
  hostile_pid=$!
  started_pids+=($!)
}

# Each card's ring, as its current player last showed it: fill and underrun frames.
sample_rings() {
  local i out line
  for i in "${!names[@]}"; do
    read -r out <"$work/current-$i" 2>/dev/null || continue
    line=$(tail -c 400 "$out" 2>/dev/null | tr '\r' '\n' | grep 'underruns' | tail -n 1)
    [[ $line =~ fill\ +([0-9]+)\ frames.*underruns\ ([0-9]+)\ frames ]] &&
      echo "$EPOCHREALTIME $i $(basename "$out" .txt) ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}" >>"$work/rings.txt"
  done
}

# --- the run ------------------------------------------------------------------------------------

setup_seconds=$(awk -v a="$setup_start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
soak_say "set-up took $setup_seconds s; playing for $minutes minute(s), seed $seed, work folder $work"
next_fault=$((t0 + 150))
next_stress=$((t0 + 210))
next_hostile=$((t0 + 30))
next_sample=$((t0 + 10))
qova_lost=0
measure_pid=""
# A Wine process whose main thread has ended stays a zombie (state Z) while threads of it
# linger, and kill -0 still reaches it: QOVA is gone all the same.
qova_running() {
  local state
  read -r _ _ state _ <"/proc/$qova_pid/stat" 2>/dev/null || return 1
  [ "$state" != Z ]
}
while :; do
  now=$(now_s)
  if ! qova_running; then
    qova_lost=1
    fail "QOVA ended during the run"
    break
  fi
  running=0
  for pid in "${card_pids[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
  [ $running = 1 ] || break
  if [ "$now" -gt $((play_until + 150)) ]; then
    fail "players still running 150 s after the end"
    break
  fi
  if [ "$now" -ge $next_sample ]; then
    sample_rings
    next_sample=$((next_sample + 10))
  fi
  if [ "$now" -ge $next_fault ] && [ $((next_fault + 40)) -le $play_until ]; then
    sink_fault
    next_fault=$((next_fault + 300))
  fi
  if [ "$now" -ge $next_stress ] && [ $((next_stress + 60)) -le $play_until ]; then
    stress
    next_stress=$((next_stress + 420))
  fi
  if [ "$now" -ge $next_hostile ] && [ $((now + 30)) -le $play_until ] &&
     { [ -z "$hostile_pid" ] || ! kill -0 "$hostile_pid" 2>/dev/null; }; then
    hostile
    next_hostile=$((next_hostile + 60))
  fi
  # A piece is complete once every recorder has moved on to the next (plus the margin that
  # the plays' last events need). One is measured at a time, in the background.
  mono=$((now - ${lead%.*}))
  if [ $(( (measured + 2) * segment_seconds + 15 )) -le $mono ] &&
     { [ -z "$measure_pid" ] || ! kill -0 "$measure_pid" 2>/dev/null; }; then
    measured=$((measured + 1))
    measure_piece $measured &
    measure_pid=$!
    started_pids+=($!)
  fi
  sleep 1
done
wait "${card_pids[@]}" 2>/dev/null
sample_rings
[ -n "$hostile_pid" ] && wait "$hostile_pid" 2>/dev/null
for sink in "${sinks[@]}"; do stop_sink_recorder "$sink"; done
# Never a bare wait: with no process named it waits for every child, QOVA and the probe too.
[ ${#bounded_pids[@]} -eq 0 ] || wait "${bounded_pids[@]}" 2>/dev/null
[ -n "$measure_pid" ] && wait "$measure_pid"

# --- QOVA quits; what it left ------------------------------------------------------------------

crashes=0
if [ $qova_lost = 0 ]; then
  wine_run 40 "$win_bin/e2e_probe.exe" quit "$pipe" >"$work/quit.txt" 2>&1 || fail "quit: $(cat "$work/quit.txt")"
  wait_exit "$qova_pid" 20
  qova_status=$?
  soak_say "QOVA quit: $(head -n 1 "$work/quit.txt"), exit code $qova_status"
  [ $qova_status = 0 ] || { fail "QOVA's exit code is $qova_status"; crashes=$((crashes + 1)); }
else
  crashes=$((crashes + 1))
fi
if grep -qiE 'crash|unhandled|page fault' "$data/qova.log" "$work/qova.out"; then
  fail "a crash was logged: $(grep -hiE 'crash|unhandled|page fault' "$data/qova.log" "$work/qova.out" | head -n 3)"
  crashes=$((crashes + 1))
fi
config_intact=0
cmp -s "$work/config.before.json" "$data/config.json" && config_intact=1
[ $config_intact = 1 ] || fail "config.json changed"
for file in config.unreadable.json config.json.tmp; do [ -e "$data/$file" ] && fail "$file appeared"; done
while ls "$rec"/*.$((measured + 1)).times >/dev/null 2>&1; do
  measured=$((measured + 1))
  measure_piece $measured
done
if [ -s "$work/measure-failures.txt" ]; then
  while read -r line; do fail "$line"; done <"$work/measure-failures.txt"
fi

# --- figures ------------------------------------------------------------------------------------

warmup=$(( minutes >= 15 ? 300 : minutes * 12 ))  # 5 minutes; a fifth of a short run

# Players: how the plays ended. A player's own crash shows as an exit code Wine gives for a
# fault (5 for an access violation) or above 128; a kill here is "killed".
plays=$(cat "$work"/events-*.txt | grep -c '^launch')
awk '$1 == "exit" { n[$3]++ } END { for (s in n) printf "%s %d\n", s, n[s] }' "$work"/events-*.txt | sort >"$work/exits.txt"
soak_say "plays: $plays started; ended: $(awk '{ printf "%s%s x%d", (NR > 1 ? ", " : ""), ($1 == "0" ? "done" : $1 == "killed" ? "killed" : $1 == "8" ? "busy (8)" : "exit code " $1), $2 }' "$work/exits.txt")"
player_crashes=$(awk '$1 != "killed" && ($1 == 5 || $1 > 128) { s += $2 } END { print s + 0 }' "$work/exits.txt")
crashes=$((crashes + player_crashes))
# Expected besides 0: 8 (busy) when QOVA has not yet let a killed player's card go, and 9
# (offline) for a play that started while the card's sink was away.
unexpected=$(for f in "$work"/events-*.txt; do awk '
    FILENAME ~ /windows/ { if ($4 ~ /^sink-/) { n++; a[n] = $2; b[n] = $3 } next }
    $1 == "launch" { launch = $2 }
    $1 == "exit" && $3 != "killed" && $3 != 0 && $3 != 8 {
      away = 0; for (k = 1; k <= n; ++k) if (launch >= a[k] && launch <= b[k]) away = 1
      if (!($3 == 9 && away)) bad++ }
    END { print bad + 0 }' "$work/windows.txt" "$f"; done | awk '{ s += $1 } END { print s + 0 }')
[ "$unexpected" = 0 ] || fail "$unexpected play(s) ended with an unexpected exit code (see above)"
hung=$(for f in "$work"/events-*.txt; do awk '$1 == "launch" { open = 1 } $1 == "exit" { open = 0 } END { print open + 0 }' "$f"; done |
  awk '{ s += $1 } END { print s + 0 }')
[ "$hung" = 0 ] || fail "$hung player(s) never ended"

# The hostile client: every step as it should be, but for its last, which looks for no busy
# card at all while the soak's players hold ten, and for its card being offline while its
# sink (eight) was away.
hostile_failed=0
for f in "$work"/hostile-*.txt; do
  [ -e "$f" ] || continue
  excused='no card left busy'
  read -r _ from until < <(grep '^during ' "$f")
  if [ -n "${until:-}" ] && awk -v a="$from" -v b="$until" '$1 == "fault" && $4 == "sink-eight" && $2 < b && $3 > a { found = 1 }
       END { exit !found }' "$work/windows.txt"; then
    excused="$excused|\"error\":\"offline\""
  fi
  grep FAILED "$f" | grep -vE "$excused" | sed 's/^/soak:   /'
  if grep FAILED "$f" | grep -qvE "$excused" || ! grep -qE '^status (0|1)$' "$f"; then
    hostile_failed=$((hostile_failed + 1))
  fi
done
soak_say "hostile client: $hostile_number burst(s) of $(grep -h 'connections in' "$work"/hostile-*.txt 2>/dev/null | head -n 1 | awk '{ print $2 }') connections; $hostile_failed found QOVA wanting"
[ $hostile_failed = 0 ] || fail "the hostile client found QOVA wanting in $hostile_failed burst(s)"

# QOVA's process, from e2e_probe: the floor of each figure over the first minute (or tenth of
# the run) after the warm-up against the floor over the last: a leak lifts the floor; how many
# players hold rings at a moment moves the rest. The slope is a straight line through every
# sample after the warm-up.
memory_field=private
awk '{ sub("private=", "", $2); if ($2 > 0) p = 1 } END { exit !p }' "$work/probe.txt" || memory_field=pagefile
read -r samples private_growth handle_growth thread_growth private_slope handle_slope thread_slope base_mb < <(
  awk -v from="$((t0 + warmup))" -v until="$play_until" -v field="$memory_field" '
    $1 !~ /^[0-9.]+$/ { next }
    { for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
      if ($1 < from || $1 > until) next
      n++; t[n] = $1; m[n] = v[field]; h[n] = v["handles"]; th[n] = v["threads"] }
    function floor_of(a, lo, hi,   i, best) { best = ""; for (i = 1; i <= n; ++i) if (t[i] >= lo && t[i] <= hi && (best == "" || a[i] < best)) best = a[i]; return best }
    function slope(a,   i, mt, ma, c, w) { mt = ma = 0; for (i = 1; i <= n; ++i) { mt += t[i] / n; ma += a[i] / n }
      c = w = 0; for (i = 1; i <= n; ++i) { c += (t[i] - mt) * (a[i] - ma); w += (t[i] - mt) ^ 2 } return w > 0 ? c / w * 3600 : 0 }
    END {
      if (n < 4) { print n, "nan nan nan nan nan nan nan"; exit }
      span = (t[n] - t[1]) / 10; if (span < 60) span = 60
      mb = floor_of(m, t[1], t[1] + span); me = floor_of(m, t[n] - span, t[n])
      printf "%d %.2f %d %d %.2f %.1f %.1f %.1f\n", n, (me - mb) / mb * 100, floor_of(h, t[n] - span, t[n]) - floor_of(h, t[1], t[1] + span),
        floor_of(th, t[n] - span, t[n]) - floor_of(th, t[1], t[1] + span), slope(m) / mb * 100, slope(h), slope(th), mb / 1048576 }' \
    "$work/probe.txt")
soak_say "QOVA.exe, $samples samples every 10 s after the first $((warmup / 60)) minute(s) (memory: $memory_field bytes, as Wine leaves PrivateUsage at 0):"
soak_say "  memory $base_mb MiB at first, growth ${private_growth} % (limit 1 %), slope ${private_slope} %/h"
soak_say "  handles: growth ${handle_growth} (limit 16), slope ${handle_slope}/h; threads: growth ${thread_growth} (limit 4), slope ${thread_slope}/h"
soak_say "  first and last samples: $(head -n 1 "$work/probe.txt" | cut -d' ' -f2-) | $(tail -n 1 "$work/probe.txt" | cut -d' ' -f2-)"
awk -v g="$private_growth" 'BEGIN { exit !(g != "nan" && g <= 1) }' || fail "QOVA's memory grew by $private_growth %"
awk -v g="$handle_growth" 'BEGIN { exit !(g != "nan" && g <= 16) }' || fail "QOVA's handles grew by $handle_growth"
awk -v g="$thread_growth" 'BEGIN { exit !(g != "nan" && g <= 4) }' || fail "QOVA's threads grew by $thread_growth"

# Gaps per card: the gaps of its channels that overlap (within 50 ms) are one.
capture=$(awk '{ n += $3; ms += $4 } END { printf "%d capture loss(es), %.0f ms", n, ms }' "$work/capture.txt" 2>/dev/null)
soak_say "gaps while players played (a sink's gap is on every card it played at that moment; the recording's own losses are left out: $capture):"
gaps_outside=0
own_outside=0  # on a card that is not joined, and not on the whole sink at once
for i in "${!names[@]}"; do
  read -r hours_outside hours_inside < <(awk -v c="$i" -v first="${places[$i]%% *}" '
    $4 == c && $2 ":" $3 ":" == substr(first, 1, length($2 ":" $3 ":")) { o += $5; f += $6 } END { printf "%.4f %.4f\n", o / 3600, f / 3600 }' \
    "$work/gaps.tsv")
  read -r outside inside sink_wide glitches longest < <(sort -k4,4n -k5,5n "$work/gap-list.tsv" 2>/dev/null | awk -v c="$i" '
    $4 != c { next }
    { if (last != "" && $5 - lastEnd < 0.05) { if ($6 + 0 > 0 && $5 + $6 / 1000 > lastEnd) lastEnd = $5 + $6 / 1000; next }
      last = $5; lastEnd = $5 + $6 / 1000
      if ($9 == "inside") { inside++; next }
      outside++; sink += $8 == "sink"; glitch += $7 == "glitch"; if ($6 > longest) longest = $6 }
    END { printf "%d %d %d %d %.1f\n", outside, inside, sink, glitch, longest }')
  underruns=$(for f in "$work"/player-"$i"-*.txt; do [ -e "$f" ] && tr '\r' '\n' <"$f" | grep -o 'underruns [0-9]*' | tail -n 1; done |
    awk '{ s += $2 } END { print s + 0 }')
  soak_say "$(printf '  %-12s outside faults %3d in %5.2f h (%s/h; %d the whole sink'"'"'s, %d glitches, longest %s ms); inside %3d in %5.2f h; ring underruns %s frames' \
    "${names[$i]}" "$outside" "$hours_outside" "$(awk -v n="$outside" -v h="$hours_outside" 'BEGIN { if (h > 0) printf "%.1f", n / h; else printf "-" }')" \
    "$sink_wide" "$glitches" "$longest" "$inside" "$hours_inside" "$underruns")"
  gaps_outside=$((gaps_outside + outside))
  [[ ${places[$i]} == *far* ]] || own_outside=$((own_outside + outside - sink_wide))
done
# A gap of a whole sink is one gap, however many of its cards played.
read -r sink_gaps after_stall < <(awk '
  FILENAME ~ /stalls/ { stall[++n] = $2; next }
  $8 == "sink" && $9 != "inside" { key = $2 " " sprintf("%.1f", $5); if (key in seen) next; seen[key] = 1; gaps++
    for (k = 1; k <= n; ++k) if ($5 >= stall[k] - 0.1 && $5 - stall[k] <= 1) { after++; break } }
  END { printf "%d %d\n", gaps, after }' "$work/stalls.txt" "$work/gap-list.tsv" 2>/dev/null)
soak_say "  the machine stood still $(stood_still);" \
  "${after_stall:-0} of the ${sink_gaps:-0} gap(s) of a whole sink outside the fault windows came within a second after"
soak_say "  rings, sampled every 10 s: $(awk '{ n++; f += $4; if ($4 > mx) mx = $4 } END { printf "%d samples, fill %.0f frames on average, at most %d", n, n ? f / n : 0, mx }' "$work/rings.txt" 2>/dev/null)"
underruns_outside=$(awk '
    FILENAME ~ /windows/ { if ($1 == "fault") { n++; a[n] = $2; b[n] = $3 } next }
    { key = $2 " " $3; if (key in last && $5 > last[key]) { d = $5 - last[key]; inf = 0
        for (k = 1; k <= n; ++k) if ($1 >= a[k] && $1 - 10 <= b[k]) inf = 1
        if (inf) fin += d; else fout += d }
      last[key] = $5 }
    END { printf "%d %d", fout, fin }' "$work/windows.txt" "$work/rings.txt" 2>/dev/null)
soak_say "  QOVA's ring underrun counters grew by ${underruns_outside% *} frames outside the fault windows, ${underruns_outside#* } inside"
underruns_outside=${underruns_outside% *}

# Recovery: from each sink's return to the first second of sound on every card playing through.
worst_recovery=0
if ls "$work"/recovery-*.txt >/dev/null 2>&1; then
  read -r recovered median_recovery worst_recovery missing < <(cat "$work"/recovery-*.txt | awk '
    { if ($4 == "none") { missing++; next } v[++n] = $4 }
    END { for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
          printf "%d %.2f %.2f %d\n", n, n ? v[int((n + 1) / 2)] : 0, n ? v[n] : 0, missing }')
  soak_say "sinks back: $fault_number time(s); cards playing again after median ${median_recovery} s, worst ${worst_recovery} s ($recovered card(s) measured, $missing silent 30 s on)"
  [ "$missing" = 0 ] || { fail "$missing card(s) did not play again within 30 s of their sink's return"; worst_recovery=inf; }
else
  soak_say "sinks back: $fault_number time(s); no card played through one, nothing to measure"
fi

# The joined cards: QOVA's alignment per 5 s (e2e_analyse joins on each piece).
read -r joined_median joined_worst joined_clean_worst joined_n < <(awk '
  { v[++n] = $2; a = $2 < 0 ? -$2 : $2; if (a > worst) worst = a; if ($1 == 0 && a > clean) clean = a }
  END { for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
        printf "%.2f %.2f %.2f %d\n", n ? v[int((n + 1) / 2)] : 0, worst, clean, n }' "$work/joined.txt" 2>/dev/null)
soak_say "joined cards: QOVA's alignment over $joined_n windows of 5 s: median ${joined_median} ms, worst ${joined_worst} ms (${joined_clean_worst} ms in pieces without a fault window)"

# --- judgement ----------------------------------------------------------------------------------

# Judged: gaps outside the fault windows on one card's channels while the others on its sink
# played on. Reported only: a sink that fell silent as a whole (PulseAudio plays silence when
# Wine, or QOVA's output thread, is late: from outside the two cannot be told apart); the
# joined cards' halves, whose far halves start again by design after such a hold-up (their
# alignment is above); and the rings' underruns, which a player that Wine ran late makes as
# well as QOVA.
soak_say "gaps outside the fault windows: $gaps_outside in all, $own_outside of a single card that is not joined (judged, must be 0)"
[ "$own_outside" = 0 ] || fail "$own_outside gap(s) of a single card outside the fault windows"
for line in "${failed_lines[@]}"; do soak_say "$line"; done
soak_say "$failures check(s) failed; $(awk -v a="$setup_start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s in all, set-up $setup_seconds s"
echo "soak summary: minutes=$minutes crashes=$crashes config-intact=$config_intact private-growth-pct=$private_growth handle-growth=$handle_growth thread-growth=$thread_growth gaps-outside-faults=$gaps_outside worst-recovery-s=$worst_recovery worst-joined-ms=$joined_worst"
[ $failures = 0 ]
