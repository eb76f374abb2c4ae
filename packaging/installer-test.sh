#!/usr/bin/env bash
# Tests of the release package as a user gets it, under Wine:
#
#   installer-test.sh zip ZIP STAGE VERSION SOURCE
#       the zip holds exactly the four release files; unpacked, QOVA.exe prints its version.
#   installer-test.sh install SETUP STAGE VERSION SOURCE
#       a silent install puts the files in the user's programs folder with a Start menu entry
#       and an uninstall entry under HKCU; the installed QOVA starts and quits; the uninstaller
#       the entry names removes all of it and QOVA's Run value, but not the user's settings.
#   installer-test.sh running SETUP STAGE VERSION SOURCE
#       a running QOVA is asked to quit; while a player holds one of its cards it may stay, and
#       then a silent uninstall changes nothing and ends with exit code 2.
#
# STAGE is the folder of the four files as they were packed; SOURCE the repository.
# It runs in the environment scripts/lib/common.sh prepares: WINEPREFIX, DISPLAY and a
# wineserver that already runs. The prefix's user profile and HKCU are changed on the way and
# put back at the end.

set -uo pipefail

mode=${1:?mode}
artifact=${2:?zip or installer}
stage=${3:?staged files}
version=${4:?version}
source_dir=${5:?source folder}

[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set: run under scripts/test or dev/wt.sh" >&2; exit 2; }
export WINEDEBUG=${WINEDEBUG:--all}
# No Linux menu entries for the Start menu shortcut: the test stays inside the prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winemenubuilder.exe=d"

release_files=(QOVA.exe qova-player.exe LICENSE.txt THIRD-PARTY-NOTICES.txt)
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QOVA'
machine_uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QOVA'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'

failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# same DESCRIPTION EXPECTED ACTUAL
same() {
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qova-release-test.XXXXXX")
started_pids=()
cleanups=()
finish() {
  local pid
  for pid in "${started_pids[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  local step
  for step in "${cleanups[@]}"; do
    eval "$step"
  done
  rm -rf "$work"
}
trap finish EXIT

# --- Wine helpers ---------------------------------------------------------------------------

run_wine() { wine "$@" </dev/null; }
windows_env() { run_wine cmd /c echo "%$1%" | tr -d '\r'; }
unix_path() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }
windows_path() { winepath -w "$1" 2>/dev/null | tr -d '\r'; }

key_exists() { run_wine reg query "$1" >/dev/null 2>&1; }
# The data of one registry value as `reg query` prints it (REG_DWORD as 0x...); fails when
# the value is missing.
reg_value() {
  local output
  output=$(run_wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || return 1
  local line
  while IFS= read -r line; do
    if [[ $line =~ ^\ +"$2"\ +REG_[A-Z_]+\ +(.*)$ ]]; then
      printf '%s' "${BASH_REMATCH[1]}"
      return 0
    elif [[ $line =~ ^\ +"$2"\ +REG_[A-Z_]+\ *$ ]]; then
      return 0
    fi
  done <<<"$output"
  return 1
}
key_has_value() { reg_value "$1" "$2" >/dev/null; }
set_run_value() { run_wine reg add "$run_key" /v QOVA /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
delete_run_value() { run_wine reg delete "$run_key" /v QOVA /f >/dev/null 2>&1 || true; }

# The Run value is the user's "Start with Windows" choice: keep whatever was there before.
remember_run_value() {
  local saved
  if saved=$(reg_value "$run_key" QOVA); then
    printf '%s' "$saved" >"$work/run-value"
    cleanups+=('set_run_value "$(cat "$work/run-value")"')
  else
    cleanups+=(delete_run_value)
  fi
}

# wait_until SECONDS COMMAND...: polls every 0.2 s.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
not() { ! "$@"; }
# The test's own child that ended but was not waited for yet is a zombie: that counts as ended.
process_ended() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0
  [[ $state == Z* ]]
}
# closed_normally PID DATA_DIR: the QOVA of that PID ends within 10 s, with exit code 0 and
# its quit line last in its log.
closed_normally() {
  if ! wait_until 10 process_ended "$1"; then
    fail "QOVA was not closed"
    return
  fi
  pass "QOVA was closed"
  wait "$1" 2>/dev/null
  same "it quit normally (exit code 0)" 0 $?
  same "its log ends with the quit line" "QOVA quitting" "$(last_log_message "$2")"
}

# --- the zip --------------------------------------------------------------------------------

if [ "$mode" = zip ]; then
  check "the zip exists" test -s "$artifact"
  listing=$(python3 - "$artifact" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    print("\n".join(sorted(info.filename for info in archive.infolist())))
EOF
  )
  same "the zip holds exactly the four release files, at its top" \
    "$(printf '%s\n' "${release_files[@]}" | LC_ALL=C sort)" "$listing"

  mkdir -p "$work/unpacked"
  (cd "$work/unpacked" && cmake -E tar xf "$artifact")
  for notice in LICENSE.txt THIRD-PARTY-NOTICES.txt; do
    check "$notice in the zip is the repository's" cmp -s "$work/unpacked/$notice" "$source_dir/$notice"
  done
  for program in QOVA.exe qova-player.exe; do
    check "$program is a Windows program" test "$(head -c 2 "$work/unpacked/$program" 2>/dev/null)" = MZ
    check "$program carries no debug information" \
      not grep -q '\.debug_info' <(x86_64-w64-mingw32-objdump -h "$work/unpacked/$program" 2>&1)
  done

  # Run from the unpacked folder, the way a user starts it.
  version_line=$(cd "$work/unpacked" && run_wine ./QOVA.exe --version 2>/dev/null | od -An -c | tr -s ' ')
  same "the unpacked QOVA.exe prints its version line" "$(printf 'QOVA %s\n' "$version" | od -An -c | tr -s ' ')" \
    "$version_line"
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
  exit 0
fi

# --- installer helpers ----------------------------------------------------------------------

[ "$mode" = install ] || [ "$mode" = running ] || { echo "unknown mode $mode" >&2; exit 2; }
check "the installer exists" test -s "$artifact"

local_appdata_windows=$(windows_env LOCALAPPDATA)
appdata_windows=$(windows_env APPDATA)
local_appdata=$(unix_path "$local_appdata_windows")
appdata=$(unix_path "$appdata_windows")
[ -d "$local_appdata" ] && [ -d "$appdata" ] || { echo "cannot find the prefix's user folders" >&2; exit 2; }
install_dir_windows="$local_appdata_windows\\Programs\\QOVA"
install_dir="$local_appdata/Programs/QOVA"
shortcut="$appdata/Microsoft/Windows/Start Menu/Programs/QOVA.lnk"
test_pipe="\\\\.\\pipe\\qova-release-test-$$"

# Whatever an earlier, interrupted run left: removed by hand, not by the code under test.
remove_installation() {
  rm -rf "$install_dir"
  rm -f "$shortcut"
  run_wine reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
}
remove_installation
cleanups+=(remove_installation)
remember_run_value

# Started the usual way, the uninstaller runs from a copy in a "~nsu*.tmp" folder of the
# user's temporary folder, which Windows would remove at the next start; these runs' copies
# are removed at the end.
temp_folder=$(unix_path "$(windows_env TEMP)")
remove_new_uninstaller_copies() {
  local folder
  for folder in "$temp_folder"/~nsu*.tmp; do
    [ -d "$folder" ] || continue
    grep -qxF "$folder" "$work/temp-before" || rm -rf "$folder"
  done
}
if [ -d "$temp_folder" ]; then
  find "$temp_folder" -maxdepth 1 -name '~nsu*.tmp' >"$work/temp-before"
  cleanups+=(remove_new_uninstaller_copies)
fi

# install: the installer run silently; its exit code.
install() {
  run_wine "$artifact" /S
}

# uninstall_in_place: the uninstaller run from a copy outside the program folder, as NSIS
# runs itself, but waited for ("_?=" keeps it from starting another copy and returning at
# once); its exit code.
uninstall_in_place() {
  mkdir -p "$work/uninstaller"
  cp "$install_dir/uninstall.exe" "$work/uninstaller/uninstall.exe"
  run_wine "$work/uninstaller/uninstall.exe" /S "_?=$install_dir_windows"
}

installation_gone() { [ ! -e "$install_dir" ] && [ ! -e "$shortcut" ] && ! key_exists "$uninstall_key"; }

# A data folder of the test's own with a stereo card, "Kitchen", on null test output 0.
kitchen_data_dir() {
  local dir="$work/$1"
  mkdir -p "$dir"
  cat >"$dir/config.json" <<'EOF'
{
  "cards": [
    {
      "id": "0000000a",
      "members": [
        { "channel": 0, "delayMs": 0.0, "device": "null:0" },
        { "channel": 1, "delayMs": 0.0, "device": "null:0" }
      ],
      "mono": "sum",
      "name": "Kitchen"
    }
  ],
  "devices": [
    { "api": "shared", "bufferFrames": 0, "enabled": true, "key": "null:0", "name": "Test 0", "periods": 0, "sampleRate": 0 }
  ],
  "language": "en",
  "schema": 1
}
EOF
  printf '%s' "$dir"
}

# start_qova DATA_DIR ARGS...: the installed QOVA in the background; its PID in qova_pid.
start_qova() {
  local data=$1
  shift
  local data_windows
  data_windows=$(windows_path "$data")
  # wine itself, not a shell function: $! must be the program's own process.
  wine "$install_dir/QOVA.exe" --data-dir "$data_windows" --pipe "$test_pipe" --null-devices 1 "$@" \
    </dev/null >/dev/null 2>&1 &
  qova_pid=$!
  started_pids+=("$qova_pid")
}
player_cards() { run_wine "$install_dir/qova-player.exe" --pipe "$test_pipe" cards 2>/dev/null | tr -d '\r'; }
kitchen_state_is() { player_cards | grep -q "Kitchen.*$1"; }
last_log_message() { tail -n 1 "$1/qova.log" 2>/dev/null | tr -d '\r' | sed 's/^[^]]*] //'; }
# serves_its_card DESCRIPTION PID DATA_DIR: the QOVA of that PID serves the Kitchen card within
# 30 s. When it does not, what the player sees, whether QOVA still runs and the end of its log
# tell why: everything after such a start fails with it.
serves_its_card() {
  if wait_until 30 kitchen_state_is ready; then
    pass "$1"
    return
  fi
  fail "$1"
  echo "  the player sees: [$(player_cards | tr '\n' ';')]"
  if process_ended "$2"; then echo "  QOVA has ended"; else echo "  QOVA still runs"; fi
  # Less the checks' own connections.
  { tr -d '\r' <"$3/qova.log"; } 2>/dev/null | grep -Ev '] player [0-9]+ (dis)?connected$' | tail -n 20 | sed 's/^/  log: /'
}

# --- install, start, uninstall ----------------------------------------------------------------

if [ "$mode" = install ]; then
  check "the installer asks for no administrator rights" grep -aq 'level="asInvoker"' "$artifact"

  # The user's settings and log, which the uninstaller must leave alone. Made here only when
  # the prefix has none, and then removed again at the end.
  for folder in "$appdata/QOVA" "$local_appdata/QOVA"; do
    [ -e "$folder" ] || cleanups+=("rm -rf '$folder'")
    mkdir -p "$folder"
  done
  [ -e "$appdata/QOVA/config.json" ] || printf '{\n  "schema": 1\n}' >"$appdata/QOVA/config.json"
  [ -e "$local_appdata/QOVA/qova.log" ] || printf 'a line of an earlier run\n' >"$local_appdata/QOVA/qova.log"
  user_files_before=$(cd "$appdata/QOVA" && sha1sum config.json; cd "$local_appdata/QOVA" && sha1sum qova.log)

  started=$SECONDS
  install
  same "the silent install ends with exit code 0" 0 $?
  echo "install took $((SECONDS - started)) s"

  for file in "${release_files[@]}"; do
    check "$file is installed as packed" cmp -s "$install_dir/$file" "$stage/$file"
  done
  check "the uninstaller is installed" test -s "$install_dir/uninstall.exe"
  check "nothing goes to the machine-wide programs folder" \
    not test -e "$(unix_path 'C:\Program Files')/QOVA"
  check "no machine-wide uninstall entry" not key_exists "$machine_uninstall_key"

  check "the user's Start menu has a QOVA entry" test -s "$shortcut"
  check "the Start menu entry starts the installed QOVA.exe" \
    grep -aqiF "$install_dir_windows\\QOVA.exe" "$shortcut"

  same "uninstall entry: DisplayName" QOVA "$(reg_value "$uninstall_key" DisplayName)"
  same "uninstall entry: DisplayVersion" "$version" "$(reg_value "$uninstall_key" DisplayVersion)"
  check "uninstall entry: Publisher" test -n "$(reg_value "$uninstall_key" Publisher)"
  same "uninstall entry: InstallLocation" "$install_dir_windows" "$(reg_value "$uninstall_key" InstallLocation)"
  uninstall_string=$(reg_value "$uninstall_key" UninstallString)
  same "uninstall entry: UninstallString" "\"$install_dir_windows\\uninstall.exe\"" "$uninstall_string"
  same "uninstall entry: QuietUninstallString" "\"$install_dir_windows\\uninstall.exe\" /S" \
    "$(reg_value "$uninstall_key" QuietUninstallString)"
  same "uninstall entry: NoModify" 0x1 "$(reg_value "$uninstall_key" NoModify)"
  same "uninstall entry: NoRepair" 0x1 "$(reg_value "$uninstall_key" NoRepair)"

  same "the installed QOVA.exe prints its version" "QOVA $version" \
    "$(run_wine "$install_dir/QOVA.exe" --version 2>/dev/null)"

  # A real start: window, Direct3D, the About tab beside the installed notices, one picture,
  # and a normal quit.
  data="$work/screenshot-data"
  mkdir -p "$data"
  run_wine "$install_dir/QOVA.exe" --screenshot "$(windows_path "$work/about.bmp")" --data-dir "$(windows_path "$data")" \
    --pipe "$test_pipe" --null-devices 2 --tab 3 >/dev/null 2>&1
  same "the installed QOVA runs and quits with exit code 0" 0 $?
  check "it saved its picture" test "$(head -c 2 "$work/about.bmp" 2>/dev/null)" = BM
  check "its log says so" grep -q "screenshot .*: saved" "$data/qova.log"
  same "its log ends with the quit line" "QOVA quitting" "$(last_log_message "$data")"

  # Start with Windows turned on for the installed copy, as QOVA writes it.
  set_run_value "\"$install_dir_windows\\QOVA.exe\" --tray"

  # Uninstall as Windows does: the command of the uninstall entry. The uninstaller hands over
  # to a copy of itself and returns at once, so wait for the copy's work to show.
  [[ $uninstall_string =~ ^\"(.*)\"$ ]] && uninstaller=$(unix_path "${BASH_REMATCH[1]}") || uninstaller=
  check "the uninstall entry names the installed uninstaller" test -s "$uninstaller"
  started=$SECONDS
  run_wine "$uninstaller" /S
  same "the uninstaller starts with exit code 0" 0 $?
  # The uninstall entry goes last.
  check "the uninstaller removes the uninstall entry" wait_until 60 not key_exists "$uninstall_key"
  echo "uninstall took $((SECONDS - started)) s"
  check "the uninstaller removes the program folder" not test -e "$install_dir"
  check "the uninstaller removes the Start menu entry" not test -e "$shortcut"
  check "the uninstaller removes the Run value that starts the installed QOVA" not key_has_value "$run_key" QOVA
  same "the user's settings and log stay" "$user_files_before" \
    "$(cd "$appdata/QOVA" && sha1sum config.json; cd "$local_appdata/QOVA" && sha1sum qova.log)"
fi

# --- a running QOVA ---------------------------------------------------------------------------

if [ "$mode" = running ]; then
  install
  same "the silent install ends with exit code 0" 0 $?

  # A QOVA whose card a player is using: asked to quit, it asks its user and stays.
  first=$(kitchen_data_dir first)
  start_qova "$first"
  first_pid=$qova_pid
  serves_its_card "the installed QOVA serves its card" "$first_pid" "$first"
  wine "$install_dir/qova-player.exe" --pipe "$test_pipe" play Kitchen --tone 440 --seconds 120 </dev/null >/dev/null 2>&1 &
  player_pid=$!
  started_pids+=("$player_pid")
  check "a player uses the card" wait_until 30 kitchen_state_is busy

  started=$SECONDS
  uninstall_in_place
  same "a silent uninstall gives up with exit code 2 while QOVA stays" 2 $?
  echo "giving up took $((SECONDS - started)) s"
  check "QOVA is still running, asking its user" not process_ended "$first_pid"
  check "nothing was removed" test -e "$install_dir/QOVA.exe" -a -e "$install_dir/uninstall.exe" -a -e "$shortcut"
  check "the uninstall entry stays" key_exists "$uninstall_key"

  # The player goes, but QOVA's question is still open: that one is the user's to answer,
  # and a second run must not stack another request on it.
  kill "$player_pid" 2>/dev/null
  wait "$player_pid" 2>/dev/null
  check "QOVA sees the player go" wait_until 30 kitchen_state_is ready
  uninstall_in_place
  same "a second silent uninstall gives up too, while QOVA's question is open" 2 $?
  check "QOVA is still running, waiting for its user" not process_ended "$first_pid"
  kill "$first_pid" 2>/dev/null
  wait "$first_pid" 2>/dev/null

  # A QOVA hidden in the notification area: an install over it closes it.
  second=$(kitchen_data_dir second)
  start_qova "$second" --tray
  second_pid=$qova_pid
  serves_its_card "a QOVA hidden in the notification area serves its card" "$second_pid" "$second"
  install
  same "an install over a running QOVA ends with exit code 0" 0 $?
  closed_normally "$second_pid" "$second"

  # A QOVA with its window open, and Start with Windows pointing at a copy in another folder:
  # the uninstaller closes it and leaves the other copy's Run value alone.
  other_copy='"C:\Other place\QOVA\QOVA.exe" --tray'
  set_run_value "$other_copy"
  third=$(kitchen_data_dir third)
  start_qova "$third"
  third_pid=$qova_pid
  serves_its_card "a QOVA with its window open serves its card" "$third_pid" "$third"
  uninstall_in_place
  same "a silent uninstall over a running QOVA ends with exit code 0" 0 $?
  closed_normally "$third_pid" "$third"
  check "everything installed is gone" installation_gone
  same "a Run value for another copy stays" "$other_copy" "$(reg_value "$run_key" QOVA)"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
