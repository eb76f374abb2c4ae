# Shared by scripts/run and scripts/test: the build folders, the Wine environment and the
# services the Windows side needs (an X server, a PulseAudio daemon with null sinks, a
# persistent wineserver). Every service started here is ended by its own PID on exit.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# QOVA_BUILD_DIR lets two people work in one checkout with their own builds, Wine prefix
# and services.
build="${QOVA_BUILD_DIR:-$root/build}"
native_build="$build/native"
win_build="$build/win"
runtime="$build/runtime"

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

started_pids=()
wineserver_started=0

log() { echo "== $*" >&2; }

# A Linux path as Wine's Z: drive shows it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

build_native() {
  log "native build (core, sanitizers)"
  cmake -S "$root" -B "$native_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$native_build"
}

build_windows() {
  log "Windows build (mingw-w64)"
  cmake -S "$root" -B "$win_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$root/scripts/lib/wine-test" >/dev/null
  cmake --build "$win_build"
}

stop_services() {
  if [ "$wineserver_started" = 1 ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  local pid
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${started_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  started_pids=()
  wineserver_started=0
}

# An X server for windows and Direct3D: the caller's display, or a private Xvfb.
start_display() {
  if [ -n "${DISPLAY:-}" ] && [ "${1:-}" != --private ]; then
    return
  fi
  mkdir -p "$runtime"
  local display_file="$runtime/xvfb.display"
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -nolisten unix 3>"$display_file" \
    >"$runtime/xvfb.log" 2>&1 &
  started_pids+=($!)
  local tries=0
  while [ ! -s "$display_file" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "Xvfb did not start; see $runtime/xvfb.log" >&2; return 1; }
    sleep 0.1
  done
  export DISPLAY=":$(head -n 1 "$display_file")"
}

# A private PulseAudio daemon with two null sinks, which Wine presents to the program as
# WASAPI playback endpoints named by their descriptions: ZoneA, stereo at 48 kHz, and ZoneB,
# 8 channels at 44.1 kHz (a second clock). The 8-channel sink needs an explicit channel map:
# with PulseAudio's default one (aux0, aux1) Wine advertises only 6 channels and every
# client fails to open it. Both record as float, for a low measurement floor.
start_pulseaudio() {
  export XDG_RUNTIME_DIR="$runtime/xdg"
  rm -rf "$XDG_RUNTIME_DIR"
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  HOME="$runtime" pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=zoneA sink_properties=device.description=ZoneA format=float32le rate=48000 channels=2" \
    --load="module-null-sink sink_name=zoneB sink_properties=device.description=ZoneB format=float32le rate=44100 channels=8 channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,side-right" \
    --log-target=file:"$runtime/pulseaudio.log" >/dev/null 2>&1 &
  started_pids+=($!)
  local tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "PulseAudio did not start; see $runtime/pulseaudio.log" >&2; return 1; }
    sleep 0.1
  done
}

# True when the user's own sound server (PulseAudio, or PipeWire's PulseAudio service) answers,
# asked before start_pulseaudio points the environment at the private one. The question must
# not start a PulseAudio daemon where none runs.
user_sound_server_answers() {
  mkdir -p "$runtime"
  printf 'autospawn = no\n' >"$runtime/no-autospawn.conf"
  PULSE_CLIENTCONFIG="$runtime/no-autospawn.conf" timeout 5 pactl info >/dev/null 2>&1
}

# A persistent wineserver and an initialised prefix, started with their output redirected:
# Wine's helper processes inherit the first Wine process's standard output, and under ctest
# that pipe would then stay open and make every test wait for it.
start_wine() {
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wineserver_started=1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating the Wine prefix (once)"
  fi
  wine wineboot -i </dev/null >/dev/null 2>&1
  # No crash debugger: by default Wine starts winedbg on an unhandled fault, which waits
  # forever; without one the process ends at once with the fault's exit code.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
    </dev/null >/dev/null 2>&1
}

# Wine's desktop process (explorer.exe /desktop) ends about 20 s after the last program that
# uses the desktop, and the next such program starts a new one that inherits its standard
# output: under ctest that pipe then stays open until the new desktop process ends again, and
# every test waits for it. One long-lived program on the desktop, started with its output
# redirected, keeps a single desktop process alive for the whole run.
keep_desktop_alive() {
  wine notepad.exe </dev/null >/dev/null 2>&1 &
  started_pids+=($!)
}

start_services() {
  trap stop_services EXIT
  trap 'exit 130' INT TERM
  start_display "$@"
  start_pulseaudio
  start_wine
}
