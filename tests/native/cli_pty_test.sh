#!/bin/sh
# flotilla-cli against the running stick-sim over its pseudo-terminal links.
#   cli_pty_test.sh FLOTILLA_CLI SIM_DIR
cli=$1
dir=$2
fail=0
expect() {  # expect NAME PATTERN -- command...
  name=$1 pattern=$2
  shift 3
  out=$("$cli" "$@" 2>&1)
  rc=$?
  if [ $rc -ne 0 ] || ! printf '%s\n' "$out" | grep -q -- "$pattern"; then
    echo "FAIL $name (exit $rc):"
    printf '%s\n' "$out"
    fail=1
  else
    echo "ok   $name"
  fi
}
expect version '^text 9: MODEL_' -- --diag "$dir/diag" version
expect version-text '^version: TEST_FW_1.2.3$' -- --diag "$dir/diag" version
expect esn '^esn: [0-9a-f]\{8\}$' -- --diag "$dir/diag" esn
expect nv-write '^nv 4051 written$' -- --diag "$dir/diag" nv-write 4051 a1b2c3
expect nv-read '^nv 4051: a1b2c30000' -- --diag "$dir/diag" nv-read 4051
expect lookup '^diag port: 1' -- --diag "$dir/diag" --at "$dir/at" lookup
expect at '^TEST_FW_1.2.3$' -- --at "$dir/at" at AT+GMR
# The stick starts in diagnostics mode 0; switched on and off again, it is back in 0.
expect switch-diag-on '^version: TEST_FW_1.2.3$' -- --at "$dir/at" switch-diag on
expect diag-mode-on '^+ZDIAG: 6$' -- --at "$dir/at" at AT+ZDIAG?
expect switch-diag-off '^diagnostics interface off$' -- --at "$dir/at" switch-diag off
expect diag-mode-off '^+ZDIAG: 0$' -- --at "$dir/at" at AT+ZDIAG?
# A refusal is reported with the channel's reason and a non-zero exit.
out=$("$cli" --diag "$dir/diag" nv-read 9999 2>&1)
if [ $? -eq 0 ] || ! printf '%s\n' "$out" | grep -q 'cannot read #9999 NV Item, since Variable was not active'; then
  echo "FAIL nv-read of an inactive item: $out"
  fail=1
else
  echo "ok   nv-read of an inactive item"
fi
# An NV reply cut before its status is no reading: the command fails and prints no value
# (cli_faults.json cuts every reply for item 2222 after its item number).
out=$("$cli" --diag "$dir/diag" nv-read 2222 2>&1)
if [ $? -eq 0 ] || printf '%s\n' "$out" | grep -q '^nv 2222:' ||
   ! printf '%s\n' "$out" | grep -q 'cannot read #2222 NVItem, since The Received Data from the Phone is Too Short'; then
  echo "FAIL nv-read of a reply cut before its status: $out"
  fail=1
else
  echo "ok   nv-read of a reply cut before its status"
fi
[ $fail = 0 ] && echo "flotilla-cli: all checks passed"
exit $fail
