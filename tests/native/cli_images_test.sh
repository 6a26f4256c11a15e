#!/bin/sh
# flotilla-cli check-images and version-record against a generated image set.
#   cli_images_test.sh FLOTILLA_CLI FLOTILLA_MKIMAGES WORK_DIR
cli=$1
mkimages=$2
work=$3
fail=0
check() {  # check NAME WANT_RC PATTERN -- command...
  name=$1 want=$2 pattern=$3
  shift 4
  out=$("$cli" "$@" 2>&1)
  rc=$?
  if { [ "$want" = 0 ] && [ $rc -ne 0 ]; } || { [ "$want" != 0 ] && [ $rc -eq 0 ]; } ||
     ! printf '%s\n' "$out" | grep -q -- "$pattern"; then
    echo "FAIL $name (exit $rc):"
    printf '%s\n' "$out"
    fail=1
  else
    echo "ok   $name"
  fi
}
fresh_set() {
  rm -rf "$work/set"
  "$mkimages" "$work/set" --amss-size 300000 --version CLI_TEST_V2.0 >/dev/null || exit 1
}
box='^Download  fail, please check if   the config file is exist!$'

fresh_set
check "complete set" 0 '^image set complete: ' -- check-images "$work/set"
# The record lies beyond the scan's first 64 KiB block.
check "version record" 0 '^version record: CLI_TEST_V2.0$' -- version-record "$work/set/amss.mbn"
check "no record in the file" 1 '^no version record in ' -- version-record "$work/set/NVApp.ini"
check "no such file" 1 '^line 1: open file fail$' -- version-record "$work/set/missing.mbn"

rm "$work/set/partition.mbn"
check "partition table missing" 1 "^Line1: can't open partition.mbn!\$" -- check-images "$work/set"
check "partition table missing, box" 1 "$box" -- check-images "$work/set"
printf 'x' > "$work/set/partition.mbn"
check "partition table of 1 byte" 1 '^Line1: Open wrong partition.mbn! $' -- check-images "$work/set"
for file in qcsblhd_cfgdata.mbn qcsbl.mbn oemsblhd.mbn oemsbl.mbn amsshd.mbn amss.mbn; do
  fresh_set
  rm "$work/set/$file"
  check "$file missing" 1 "$box" -- check-images "$work/set"
  : > "$work/set/$file"
  check "$file empty" 1 "$box" -- check-images "$work/set"
done
# Every other file an update reads is checked as well, before anything is sent to a stick,
# and the refusal names it.
for file in efs.mbn armprg.bin nandprghd.mbn nandprgcombined.mbn; do
  fresh_set
  rm "$work/set/$file"
  check "$file missing" 1 "$box" -- check-images "$work/set"
  check "$file missing, named" 1 "^missing or empty: .*$file\$" -- check-images "$work/set"
  : > "$work/set/$file"
  check "$file empty, named" 1 "^missing or empty: .*$file\$" -- check-images "$work/set"
done

[ $fail = 0 ] && echo "flotilla-cli image set commands: all checks passed"
exit $fail
