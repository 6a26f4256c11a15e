# The helpers of the window tests under Wine: a display, a prefix of the test's own, the probe
# that reads and drives the window, and the program's start and end. Sourced by a test that
# has set: state (its directory), tools, exe (flotilla.exe), probe_exe, manifest (the embedded
# files' list), caption; it gets fail (0 until a check fails) and app (the program's pid).
fail=0

# A prefix of its own: a test may start its wineserver in another language, and the prefix
# is booted with the display up, so the first window comes without delay.
export WINEPREFIX="$state/wineprefix" WINEDEBUG=-all
rm -rf "$state/shots" "$state/display"
mkdir -p "$state/shots"

cleanup() {
  "$tools/sim-ctl" stop "$state/sim" >/dev/null 2>&1
  [ -n "${app:-}" ] && kill "$app" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" 2>"$state/xvfb.log" &
xvfb=$!
i=0
while [ ! -s "$state/display" ]; do
  i=$((i + 1))
  if [ $i -gt 100 ] || ! kill -0 $xvfb 2>/dev/null; then echo "FAIL Xvfb did not start"; exit 1; fi
  sleep 0.1
done
export DISPLAY=":$(cat "$state/display")"
"$tools/wine-prefix" ensure || { echo "FAIL the Wine prefix"; exit 1; }

# The probe, reading and driving another program's window: PROBE_COMMAND CAPTION [ARG].
probe() {
  "$tools/wine-run" "$probe_exe" "$@" >"$state/probe.out" 2>/dev/null
  rc=$?
  tr -d '\r' <"$state/probe.out"
  return $rc
}
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
shot() { import -window root "$state/shots/$1.png" 2>/dev/null || bad "screenshot $1"; }

# The probe's line of control ID: {"id": ID, "class": ..., "text": ..., "enabled": ...}
control() { grep "^  {\"id\": $1," "$state/window.json"; }
read_window() { probe list "$caption" >"$state/window.json"; }
expect_text() {  # expect_text NAME ID TEXT
  if control "$2" | grep -qF "\"text\": \"$3\","; then ok "$1"; else bad "$1: $(control "$2")"; fi
}
expect_enabled() {  # expect_enabled NAME ID true|false
  if control "$2" | grep -qF "\"enabled\": $3,"; then ok "$1"; else bad "$1: $(control "$2")"; fi
}
# Reads the window until control ID shows PATTERN (a grep -F text), at most TRIES times.
wait_for() {  # wait_for ID PATTERN TRIES
  n=0
  while [ $n -lt "$3" ]; do
    read_window
    control "$1" | grep -qF -- "$2" && return 0
    sleep 0.5
    n=$((n + 1))
  done
  return 1
}

staging_dir() { echo "$WINEPREFIX/drive_c/Program Files/Windows Service/XV418newversion"; }
# The path of the embedded file NAME as the build took it.
embedded() { sed -n "s/^{[0-9]*, \"$1\", \"\\([^\"]*\\)\"},\$/\\1/p" "$manifest"; }

# Starts flotilla.exe (with ENV, such as a locale) under a fresh wineserver, after the shell
# command BEFORE when given, and waits for its window; false when it did not come up.
start_program() {  # start_program NAME ENV [BEFORE]
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  # What must run before the program, under the wineserver the program will find.
  [ -n "${3:-}" ] && $3
  # shellcheck disable=SC2086
  env $2 "$tools/wine-run" "$exe" >"$state/$1.out" 2>&1 &
  app=$!
  wait_for 1024 '"class": "Button"' 120 || { bad "$1: the window did not come up"; return 1; }
  ok "$1: the window is up"
}

# Waits for the program to end after WHAT; false when it did not end. Its exit code must be 0.
expect_program_end() {  # expect_program_end NAME WHAT
  n=0
  while [ $n -lt 60 ] && kill -0 $app 2>/dev/null; do sleep 0.5; n=$((n + 1)); done
  if kill -0 $app 2>/dev/null; then bad "$1: the program did not end after $2"; return 1; fi
  wait $app
  rc=$?
  app=
  if [ $rc = 0 ]; then ok "$1: ended with exit code 0 after $2"; else bad "$1: exit code $rc after $2"; fi
}

# The stick's NV items as it keeps them in STATE_DIR (the last line of an item wins), item 22
# left out: the update writes it back with the bytes the new firmware owns cleared.
nv_items() { awk '$1 != 22 { value[$1] = $2 } END { for (id in value) print id, value[id] }' \
  "$1/nv-items.txt" | sort -n; }


# The embedded images the flash that stick-sim keeps in STATE_DIR does not hold, each with a
# space before it; nothing when it holds them all.
flash_differences() {  # flash_differences STATE_DIR
  for pair in partition.bin:partition.mbn image-2.bin:qcsblhd_cfgdata.mbn image-3.bin:qcsbl.mbn \
              image-4.bin:oemsbl.mbn image-5.bin:amss.mbn image-10.bin:nandprgcombined.mbn \
              image-9.bin:efs.mbn; do
    cmp -s "$1/flash/${pair%%:*}" "$(embedded "${pair#*:}")" || printf ' %s' "${pair#*:}"
  done
}
