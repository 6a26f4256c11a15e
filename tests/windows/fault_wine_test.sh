#!/bin/sh
# Faults during an update, end to end: flotilla.exe under Wine on an Xvfb display, a stick-sim
# with a fault plan, the window driven and read with flotilla-probe. Each case checks the
# window's final state, its message box, the action log and, for an update that succeeds, the
# flash and the NV items. The stick keeps its NV items in its file system, as a real one does,
# so an update that lost them could not pass for a good one.
#   fault_wine_test.sh STATE_DIR STICK_SIM FLOTILLA_EXE PROBE_EXE TOOLS_DIR MANIFEST
state=$1
sim=$2
exe=$3
probe_exe=$4
tools=$5
manifest=$6
caption="XV300 Skylarke Updater"
at_com=25
diag_com=26

. "$(dirname "$0")/wine_window_lib.sh"
# The action logs go below the program's working directory: this test's own.
cd "$state" || exit 1

# Waits until the window shows the success box or control 1020 (the status) shows TEXT, for
# at most TRIES half seconds; false on neither.
wait_for_end() {  # wait_for_end TEXT TRIES
  n=0
  while [ $n -lt "$2" ]; do
    read_window
    grep -qF '"text": "The update was successful."' "$state/window.json" && return 0
    control 1020 | grep -qF "\"text\": \"$1\"," && return 0
    sleep 0.5
    n=$((n + 1))
  done
  return 1
}

# The last line of line 1's action log, without its CR; empty without a log.
last_log_line() {
  log=$(ls Logs/ActionLog1_*.txt 2>/dev/null | head -1)
  [ -n "$log" ] && tr -d '\r' <"$log" | tail -1
}

# One update with the fault plan RULE: NAME RULE END, where END is "success" or the final
# status text, and BOX the failure box's text ("" for none).
run_case() {  # run_case NAME RULE END BOX
  name=$1 rule=$2 end=$3 box=$4
  dir="$state/$name"
  rm -rf "$dir" Logs
  mkdir -p "$dir/stick"
  printf '{"rules": [%s]}\n' "$rule" >"$dir/faults.json"
  start_program "$name" LC_ALL=C.UTF-8 || return
  "$tools/sim-ctl" start "$dir/sim" "$sim" --wine-prefix "$WINEPREFIX" --at-com $at_com \
    --diag-com $diag_com --state "$dir/stick" --programmer "$(embedded armprg.bin)" \
    --efs-holds-nv yes --faults "$dir/faults.json" >/dev/null || { bad "$name: stick-sim did not start"; return; }
  nv_items "$dir/stick" >"$dir/nv-before.txt"
  wait_for 1024 '"enabled": true,' 120 || { bad "$name: UPDATE stayed off"; return; }
  probe click "$caption" 1024 >/dev/null || bad "$name: UPDATE could not be clicked"
  # A full update takes about three minutes; the slowest failure here about eight.
  wait_for_end "$end" 1500 || bad "$name: neither the success box nor \"$end\""
  shot "$name"
  if [ "$end" = success ]; then
    if grep -qF '"text": "The update was successful."' "$state/window.json"; then ok "$name: the success box"; else bad "$name: no success box"; fi
    probe answer "$caption" ok >/dev/null
    expect_program_end "$name" "the success box"
    differ=$(flash_differences "$dir/stick")
    if [ -z "$differ" ]; then ok "$name: the flash holds the embedded images"; else bad "$name: flash differs:$differ"; fi
    if nv_items "$dir/stick" | cmp -s - "$dir/nv-before.txt"; then ok "$name: the NV items are as they were"; else bad "$name: the NV items changed"; fi
  else
    expect_text "$name: the final status" 1020 "$end"
    if grep -qF '"text": "The update was successful."' "$state/window.json"; then bad "$name: a success box after a failure"; fi
    if [ -n "$box" ]; then
      n=0
      until grep -qF "{\"caption\": \"Error\", \"text\": \"$box\"" "$state/window.json" || [ $n -ge 20 ]; do sleep 0.5; read_window; n=$((n + 1)); done
      if grep -qF "{\"caption\": \"Error\", \"text\": \"$box\"" "$state/window.json"; then ok "$name: the failure box"; else bad "$name: no failure box"; fi
      probe answer "$caption" ok >/dev/null
    elif grep -qF '{"caption": "Error"' "$state/window.json"; then
      bad "$name: a failure box where none belongs"
    fi
    # A log line is the time, then "——" and the text.
    case "$(last_log_line)" in
      *"——$end") ok "$name: the action log ends with the final text" ;;
      *) bad "$name: the action log ends with \"$(last_log_line)\"" ;;
    esac
    # The line is handed back: its progress at 0 % and closing asks nothing.
    if wait_for 1022 '"text": "0%",' 120; then ok "$name: the line handed back"; else bad "$name: the line stayed busy"; fi
    probe close "$caption" >/dev/null
    expect_program_end "$name" "the close"
  fi
  app=
  "$tools/sim-ctl" stop "$dir/sim"
}

# The boot downloader loses every request for 5 s from its first parameters request on: the
# requests are sent again, and the update ends as a good one.
run_case downloader-stall \
  '{"mode": "downloader", "code": "0x06", "nth": 1, "action": "stall", "stall_ms": 5000}' success ""

# Every NV write of the restore is refused ("NVM full"): the flash holds the new images, the
# items stay in the line's backup file, and the update says so instead of succeeding.
run_case restore-refused \
  '{"code": "0x27", "action": "nv_status", "nv_status": 3}' "Restore NV fail!" ""

# The stick re-enumerates unasked in the middle of the application image: it comes back in
# its firmware, half-written; the passes find no programmer and the update fails.
run_case vanish-while-programming \
  '{"code": "0x07", "nth": 40, "action": "vanish"}' \
  "Download fail, please check the log file to get fail information!" \
  "Download failure, Please download again!"

[ $fail = 0 ] && echo "faults during an update under Wine: all checks passed (screenshots in $state/shots)"
exit $fail
