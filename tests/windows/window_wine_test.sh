#!/bin/sh
# The update window under Wine on an Xvfb display, read and driven with flotilla-probe:
# in English and then in German, the form's texts, UPDATE off while the stick is searched
# for and on once it answered, the port and versions it shows, a click on UPDATE that
# brings the compatibility box for a stick of another model, and the program ending after it.
# Then a whole update from the window: UPDATE runs to the success box and exit code 0, the flash
# holds the embedded images and the NV items are as they were; and a failing one, whose action
# log ends with its final text. Each state is kept as a screenshot in STATE_DIR/shots.
# On the way: a second copy of the program shows its box and ends with 0 without touching the
# staging directory; German (Austria) gets the English texts; closing during the update asks,
# and No keeps it running; WM_USER + 1 from another program starts the uninstaller next to the
# program (STANDIN_EXE stands in for it), but not while the update runs; UPDATE stays off from
# the click to the success box and a second click starts nothing; a log-off is refused while
# the update runs; closing during an update (Yes) still cleans up and starts the connection
# manager again.
# First the window's own tests with worker threads (WINDOW_TESTS_EXE) run on the display.
# flotilla.exe's staging is checked on the way: with the window up, the embedded files (the
# MANIFEST lists them) are staged byte for byte, over older files of the same names in the
# second run, and once the program has ended the nine images and ResetUSB.dll are gone again.
#   window_wine_test.sh STATE_DIR STICK_SIM FLOTILLA_EXE PROBE_EXE TOOLS_DIR WINDOW_TESTS_EXE MANIFEST
#                       STANDIN_EXE
state=$1
sim=$2
exe=$3
probe_exe=$4
tools=$5
window_tests=$6
manifest=$7
standin=$8
caption="XV300 Skylarke Updater"
at_com=15
diag_com=16

. "$(dirname "$0")/wine_window_lib.sh"
# The action logs go below the program's working directory: this test's own.
cd "$state" || exit 1

# German (Germany) and German (Austria) for the wineserver, which takes the language from them.
german_env=$("$tools/locale-env" de_DE "$state/locale") || { echo "FAIL the de_DE locale"; exit 1; }
austrian_env=$("$tools/locale-env" de_AT "$state/locale") || { echo "FAIL the de_AT locale"; exit 1; }

# The staged files against the ones the build embedded.
expect_staged() {
  count=0 differ=0
  while IFS= read -r line; do
    file=$(printf '%s' "$line" | sed -n 's/^{[0-9]*, "\([^"]*\)", "\([^"]*\)"},$/\1/p')
    source=$(printf '%s' "$line" | sed -n 's/^{[0-9]*, "\([^"]*\)", "\([^"]*\)"},$/\2/p')
    [ -n "$file" ] || continue
    count=$((count + 1))
    cmp -s "$source" "$(staging_dir)/$file" || { differ=1; echo "  $file differs from $source"; }
  done <"$manifest"
  if [ "$count" = 14 ] && [ "$differ" = 0 ]; then ok "$1: the 14 embedded files staged byte for byte"; else bad "$1: staging"; fi
}

# After the program: the nine images and the re-plug library deleted, the other files kept.
expect_cleaned_up() {
  left=""
  for f in amss.mbn armprg.bin partition.mbn qcsblhd_cfgdata.mbn qcsbl.mbn oemsblhd.mbn oemsbl.mbn \
           amsshd.mbn efs.mbn ResetUSB.dll; do
    [ -e "$(staging_dir)/$f" ] && left="$left $f"
  done
  kept=1
  for f in nandprghd.mbn nandprgcombined.mbn NVApp.ini killsvr.bat; do [ -e "$(staging_dir)/$f" ] || kept=0; done
  if [ -z "$left" ] && [ $kept = 1 ]; then ok "$1: the staged images and ResetUSB.dll deleted at the end"; else bad "$1: left after the end:$left"; fi
}

# A second copy started while the first runs: its box, then exit code 0, and the staging
# directory as it was (it ends before it stages anything); the first copy stays up.
second_instance() {  # second_instance NAME ENV TEXT
  listing() { find "$(staging_dir)" -printf '%P %s %T@\n' | sort; }
  before=$(listing)
  # shellcheck disable=SC2086
  env $2 "$tools/wine-run" "$exe" >"$state/$1-second.out" 2>&1 &
  second=$!
  n=0
  until probe boxes "$caption" >"$state/boxes.json" || [ $n -ge 60 ]; do sleep 0.5; n=$((n + 1)); done
  if grep -qF "\"text\": \"$3\"" "$state/boxes.json"; then ok "$1: a second copy shows its box"; else bad "$1: no box of a second copy: $(cat "$state/boxes.json")"; fi
  shot "$1-second-instance"
  probe answer-lone "$caption" ok >/dev/null || bad "$1: the second copy's box could not be answered"
  n=0
  while [ $n -lt 60 ] && kill -0 $second 2>/dev/null; do sleep 0.5; n=$((n + 1)); done
  if kill -0 $second 2>/dev/null; then
    bad "$1: the second copy did not end"
    kill $second 2>/dev/null
  else
    wait $second
    rc=$?
    if [ $rc = 0 ]; then ok "$1: the second copy ended with exit code 0"; else bad "$1: the second copy's exit code $rc"; fi
  fi
  if [ "$before" = "$(listing)" ]; then ok "$1: the second copy left the staging directory alone"; else bad "$1: the second copy changed the staging directory"; fi
  if read_window; then ok "$1: the first copy is still up"; else bad "$1: the first copy is gone"; fi
}

# The connection manager, as its installer leaves it: the uninstall key names its directory,
# whose Bin holds the stand-in mcserver.exe (it notes each start in started.txt beside it).
cm_dir="$WINEPREFIX/drive_c/Flotilla CM"
cm_key='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{6A1F0C52-93DE-4B7A-A2C4-5E8D17F0B396}'
cm_registry() {  # cm_registry add|remove
  if [ "$1" = add ]; then
    printf 'REGEDIT4\r\n\r\n[%s]\r\n"InstallLocation"="C:\\\\Flotilla CM\\\\"\r\n' "$cm_key" >"$state/cm.reg"
  else
    printf 'REGEDIT4\r\n\r\n[-%s]\r\n' "$cm_key" >"$state/cm.reg"
  fi
  "$tools/wine-run" regedit /S "$(winepath -w "$state/cm.reg" 2>/dev/null)" >/dev/null 2>&1
}
# The stand-in connection manager's second start (the clean-up's), waited for up to 20 s.
expect_cm_started_again() {  # expect_cm_started_again OK_TEXT NAME
  n=0
  until [ "$(grep -c . "$cm_dir/Bin/started.txt")" = 2 ] || [ $n -ge 40 ]; do sleep 0.5; n=$((n + 1)); done
  if [ "$(grep -c . "$cm_dir/Bin/started.txt")" = 2 ]; then
    ok "$1"
  else
    bad "$2: the connection manager was not started again"
  fi
}
cm_running() { pgrep -f 'Bin\\mcserver\.exe|Bin/mcserver\.exe' >/dev/null; }
# Run before the English start: the connection manager installed and its server running.
start_connection_manager() {
  rm -rf "$cm_dir"
  mkdir -p "$cm_dir/Bin"
  cp "$standin" "$cm_dir/Bin/mcserver.exe"
  cm_registry add
  LC_ALL=C.UTF-8 "$tools/wine-run" "$cm_dir/Bin/mcserver.exe" >/dev/null 2>&1 &
  n=0
  until [ -s "$cm_dir/Bin/started.txt" ] || [ $n -ge 60 ]; do sleep 0.5; n=$((n + 1)); done
  cm_running || bad "the connection manager's server did not start before the program"
}

# One run of the program in one language: LANGUAGE_NAME ENV... then the expected texts. The
# English one starts with the connection manager running and watches the start-up's order
# from outside: the files staged, the server ended by the stop script before the window is up,
# and started again by the clean-up once the window is gone.
run_window() {
  name=$1 env=$2 heading=$3 warning=$4 progress=$5 searching=$6 ready=$7 box=$8 second_text=$9
  before=""
  [ "$name" = english ] && before=start_connection_manager
  start_program "$name" "$env" "$before" || return
  expect_staged "$name"
  if [ "$name" = english ]; then
    if [ "$(grep -c . "$cm_dir/Bin/started.txt" 2>/dev/null)" = 1 ] && ! cm_running; then
      ok "$name: the connection manager's server was ended before the window came up"
    else
      bad "$name: the connection manager's server still runs (or never ran)"
    fi
  fi
  second_instance "$name" "$env" "$second_text"
  expect_text "$name: steps heading" 1002 "$heading"
  expect_text "$name: first warning" 1006 "$warning"
  expect_text "$name: progress label" 1021 "$progress"
  expect_text "$name: new firmware" 1015 "BD_VELQ482B3F3V1.0.1B07 (Firmware)"
  expect_text "$name: UPDATE's caption" 1024 "UPDATE"
  wait_for 1020 "\"text\": \"$searching\"," 60 || true
  expect_text "$name: status while searching" 1020 "$searching"
  expect_text "$name: port while searching" 1019 "NULL"
  expect_text "$name: firmware while searching" 1011 "NULL"
  expect_enabled "$name: UPDATE off while searching" 1024 false
  if probe click "$caption" 1024 >/dev/null; then bad "$name: a disabled UPDATE was clicked"; else ok "$name: the probe refuses a disabled UPDATE"; fi
  shot "$name-searching"

  "$tools/sim-ctl" start "$state/sim" "$sim" --wine-prefix "$WINEPREFIX" --at-com $at_com \
    --diag-com $diag_com --firmware-version WINDOW_FW_1.2.3 --version-text 1=WINDOW_FW_1.2.3 \
    --version-text 3=WIN_V2.1.3 --version-text 5=MAC_V1.0.7 --version-text 9=MODEL_OTHER_STICK >/dev/null ||
    { bad "$name: stick-sim did not start"; return; }
  if wait_for 1024 '"enabled": true,' 120; then ok "$name: UPDATE on once the stick answered"; else bad "$name: UPDATE stayed off"; fi
  expect_text "$name: port" 1019 "COM$diag_com"
  expect_text "$name: firmware" 1011 "WINDOW_FW_1.2.3 (Firmware)"
  expect_text "$name: Windows version" 1012 "WIN_V2.1.3 (Windows)"
  expect_text "$name: Mac version" 1013 "MAC_V1.0.7 (Mac)"
  expect_text "$name: status when ready" 1020 "$ready"
  shot "$name-ready"

  # UPDATE runs the start checks: this stick's model tag is not the one the images fit, so the
  # compatibility box comes, and after OK the close request ends the program (no line runs).
  probe click "$caption" 1024 >/dev/null || bad "$name: UPDATE could not be clicked"
  n=0
  while [ $n -lt 40 ] && ! grep -qF "\"text\": \"$box\"" "$state/window.json"; do
    sleep 0.5
    read_window
    n=$((n + 1))
  done
  if grep -qF "\"text\": \"$box\"" "$state/window.json"; then ok "$name: UPDATE's compatibility box"; else bad "$name: no box after UPDATE"; fi
  shot "$name-box"
  probe answer "$caption" ok >/dev/null || bad "$name: the box could not be answered"
  if expect_program_end "$name" "the box"; then
    expect_cleaned_up "$name"
    if [ "$name" = english ]; then
      expect_cm_started_again "$name: the clean-up started the connection manager again" "$name"
      cm_registry remove
      pkill -f 'Bin\\mcserver\.exe|Bin/mcserver\.exe' 2>/dev/null
      rm -rf "$cm_dir"
    fi
  else
    probe close "$caption" >/dev/null
  fi
  app=
  "$tools/sim-ctl" stop "$state/sim"
}

if "$tools/wine-run" "$window_tests" >"$state/window-tests.log" 2>&1; then
  ok "the window's tests with worker threads"
else
  bad "the window's tests with worker threads:"
  tr -d '\r' <"$state/window-tests.log"
fi

run_window english "LC_ALL=C.UTF-8" \
  "Follow these steps to update your USB Stick:" \
  "Do not switch off your computer or start any other applications until the update is complete." \
  "Progress" "Searching communication ports..." "Ready to start update." \
  "Selected Update Version does not apply to your device!" \
  "Another update is in progress. Please complete this one and try again!"
# An aborted earlier run left other files of those names: the next start overwrites them.
for f in "$(staging_dir)"/*; do head -c 300000 /dev/zero | tr '\0' 'Z' >"$f"; done
run_window german "$german_env" \
  "Bitte führen Sie folgende Schritte zum aktualisieren des XV300 durch:" \
  "Bitte schalten Sie während des Update-Prozesses den Computer nicht aus oder starten irgendwelche Anwendungen." \
  "Fortschritt:" "Gerät wird gesucht..." "Fertig, bitte UPDATE drücken um den Prozess zu starten" \
  "Gewählte Software Version stimmt nicht mit dem Gerät überein!" \
  "Ein anderes Update wird gerade durchgeführt. Bitte warten Sie bis der Vorgang beendet wird und versuchen Sie es anschließend erneut!"

# German (Austria) is not German (Germany): the texts are English. Closed while no line runs,
# the program asks nothing.
run_austrian() {
  name=austrian
  start_program "$name" "$austrian_env" || return
  expect_text "$name: steps heading in English" 1002 "Follow these steps to update your USB Stick:"
  shot "$name"
  probe close "$caption" >/dev/null
  expect_program_end "$name" "the close"
  app=
}
run_austrian

# A whole update from the window, as a user runs it: the stick answers with the model the
# images fit, UPDATE runs to the success box, and the program ends with exit code 0. The flash
# then holds the embedded images, and the stick's NV items are as they were.
run_update() {
  name=update
  rm -rf "$state/update-state"
  mkdir -p "$state/update-state"
  start_program "$name" LC_ALL=C.UTF-8 || return
  "$tools/sim-ctl" start "$state/sim" "$sim" --wine-prefix "$WINEPREFIX" --at-com $at_com \
    --diag-com $diag_com --state "$state/update-state" --programmer "$(embedded armprg.bin)" \
    --firmware-version OLD_FW_1.0 --version-text 1=OLD_FW_1.0 >/dev/null ||
    { bad "$name: stick-sim did not start"; return; }
  nv_items "$state/update-state" >"$state/nv-before.txt"
  wait_for 1024 '"enabled": true,' 120 || { bad "$name: UPDATE stayed off"; return; }
  probe click "$caption" 1024 >/dev/null || bad "$name: UPDATE could not be clicked"
  # UPDATE goes off with the click and stays off to the box; a second click that another
  # program posts meanwhile starts nothing (the one update still ends in its success box).
  sleep 1
  read_window
  expect_enabled "$name: UPDATE off right after the click" 1024 false
  probe post "$caption" 273 1024 >/dev/null || bad "$name: a second click could not be posted"
  sleep 19
  read_window
  shot "$name-running"
  # A log-off or shut-down while the update runs is refused.
  answer=$(probe send "$caption" 17 0 0 | tr -d '\r')
  if [ "$answer" = 0 ]; then ok "$name: the end of the session refused during the update"; else bad "$name: WM_QUERYENDSESSION answered '$answer' during the update"; fi
  # Closing while the update runs asks first; No keeps the program and the update running.
  probe close "$caption" >/dev/null
  closing="Update is running, stopping the application will damage the datacard，Are you sure to quit?"
  n=0
  until grep -qF "\"text\": \"$closing\"" "$state/window.json" || [ $n -ge 20 ]; do sleep 0.5; read_window; n=$((n + 1)); done
  if grep -qF "{\"caption\": \"Warning\", \"text\": \"$closing\"" "$state/window.json"; then ok "$name: closing asks while the update runs"; else bad "$name: no question on closing"; fi
  shot "$name-closing"
  probe answer "$caption" no >/dev/null || bad "$name: the question could not be answered"
  # Another program's WM_USER + 1 while the update runs is refused: the port stays with it.
  rm -f UnInstallAll.exe started.txt
  cp "$standin" UnInstallAll.exe
  probe post "$caption" 1025 >/dev/null || bad "$name: WM_USER + 1 could not be posted"
  n=0 update_on=0
  while [ $n -lt 600 ] && ! grep -qF '"text": "The update was successful."' "$state/window.json"; do
    control 1024 | grep -qF '"enabled": true,' && update_on=1
    sleep 1
    read_window
    n=$((n + 1))
  done
  shot "$name-success"
  if [ $update_on = 0 ]; then ok "$name: UPDATE off on every look to the box"; else bad "$name: UPDATE on during the update"; fi
  if grep -qF '"text": "The update was successful."' "$state/window.json"; then ok "$name: the success box"; else bad "$name: no success box"; fi
  # The new firmware shown under the box, not the one the update started from.
  if control 1011 | grep -qF 'OLD_FW_1.0' || control 1011 | grep -qF '"text": "NULL"'; then
    bad "$name: the old version under the success box: $(control 1011)"
  else
    ok "$name: the new version under the success box"
  fi
  if [ -e started.txt ]; then bad "$name: the uninstaller started during the update"; else ok "$name: no uninstaller during the update"; fi
  rm -f UnInstallAll.exe started.txt
  probe answer "$caption" ok >/dev/null
  expect_program_end "$name" "the success box"
  app=
  differ=$(flash_differences "$state/update-state")
  if [ -z "$differ" ]; then ok "$name: the flash holds the embedded images"; else bad "$name: flash differs:$differ"; fi
  if nv_items "$state/update-state" | cmp -s - "$state/nv-before.txt"; then
    ok "$name: the NV items are as they were"
  else
    bad "$name: the NV items changed"
  fi
  "$tools/sim-ctl" stop "$state/sim"
}
run_update

# A failing update: the flash programmer never answers its hello, so the update ends with
# "skip fail!", the line is handed back, and the action log ends with that text.
run_failing_update() {
  name=failing-update
  rm -rf "$state/failing-state" Logs
  mkdir -p "$state/failing-state"
  echo '{"rules": [{"mode": "stream", "code": 1, "action": "ignore"}]}' >"$state/failing-faults.json"
  start_program "$name" LC_ALL=C.UTF-8 || return
  "$tools/sim-ctl" start "$state/sim" "$sim" --wine-prefix "$WINEPREFIX" --at-com $at_com \
    --diag-com $diag_com --state "$state/failing-state" --programmer "$(embedded armprg.bin)" \
    --faults "$state/failing-faults.json" >/dev/null || { bad "$name: stick-sim did not start"; return; }
  wait_for 1024 '"enabled": true,' 120 || { bad "$name: UPDATE stayed off"; return; }
  probe click "$caption" 1024 >/dev/null || bad "$name: UPDATE could not be clicked"
  if wait_for 1020 '"text": "skip fail!",' 900; then ok "$name: the status says skip fail!"; else bad "$name: no skip fail!"; fi
  shot "$name"
  log=$(ls Logs/ActionLog1_*.txt 2>/dev/null | head -1)
  if [ -n "$log" ] && tr -d '\r' <"$log" | tail -1 | grep -q -- '——skip fail!$'; then
    ok "$name: the action log ends with the final text"
  else
    bad "$name: no action log ending with the final text (${log:-none})"
  fi
  # Once the line is handed back (its progress back at 0 %), closing asks nothing and the
  # program ends with 0.
  if wait_for 1022 '"text": "0%",' 120; then ok "$name: the line handed back"; else bad "$name: the line stayed busy"; fi
  answer=$(probe send "$caption" 17 0 0 | tr -d '\r')
  if [ "$answer" = 1 ]; then ok "$name: the end of the session let be with no line running"; else bad "$name: WM_QUERYENDSESSION answered '$answer' with no line running"; fi
  # With no line running, WM_USER + 1 lets the port go and starts the uninstaller next to
  # the program, from its working directory.
  rm -f UnInstallAll.exe started.txt
  cp "$standin" UnInstallAll.exe
  probe post "$caption" 1025 >/dev/null || bad "$name: WM_USER + 1 could not be posted"
  n=0
  while [ $n -lt 40 ] && [ ! -s started.txt ]; do sleep 0.5; n=$((n + 1)); done
  if [ -s started.txt ]; then ok "$name: WM_USER + 1 started the uninstaller"; else bad "$name: no uninstaller after WM_USER + 1"; fi
  rm -f UnInstallAll.exe started.txt
  probe close "$caption" >/dev/null
  expect_program_end "$name" "the close"
  app=
  "$tools/sim-ctl" stop "$state/sim"
}
run_failing_update

# Closed during an update (Yes to the question): the process ends with the worker, and the
# clean-up still runs: the staged images and ResetUSB.dll deleted (nothing holds them at that
# point of the update), the connection manager started again.
run_closed_update() {
  name=closed-update
  rm -rf "$state/closed-state"
  mkdir -p "$state/closed-state"
  start_program "$name" LC_ALL=C.UTF-8 start_connection_manager || return
  "$tools/sim-ctl" start "$state/sim" "$sim" --wine-prefix "$WINEPREFIX" --at-com $at_com \
    --diag-com $diag_com --state "$state/closed-state" --programmer "$(embedded armprg.bin)" >/dev/null ||
    { bad "$name: stick-sim did not start"; return; }
  wait_for 1024 '"enabled": true,' 120 || { bad "$name: UPDATE stayed off"; return; }
  probe click "$caption" 1024 >/dev/null || bad "$name: UPDATE could not be clicked"
  sleep 15
  probe close "$caption" >/dev/null
  n=0
  until grep -qF '"caption": "Warning"' "$state/window.json" || [ $n -ge 20 ]; do sleep 0.5; read_window; n=$((n + 1)); done
  probe answer "$caption" yes >/dev/null || bad "$name: the question could not be answered"
  if expect_program_end "$name" "Yes to the question"; then
    expect_cleaned_up "$name"
    expect_cm_started_again "$name: the connection manager started again" "$name"
  fi
  app=
  cm_registry remove
  pkill -f 'Bin\\mcserver\.exe|Bin/mcserver\.exe' 2>/dev/null
  rm -rf "$cm_dir"
  "$tools/sim-ctl" stop "$state/sim"
}
run_closed_update

[ $fail = 0 ] && echo "the update window under Wine: all checks passed (screenshots in $state/shots)"
exit $fail
