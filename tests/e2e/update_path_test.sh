#!/bin/sh
# A whole download path with flotilla-cli against stick-sim: a generated image set goes into
# the stick's flash, which must then equal the images byte for byte, and the stick must come
# back in its firmware reporting the new version. With COMMAND `update` (default
# `update-path`) it is the whole update as the program runs it, NV backup and restore
# included: then the stick's NV items must be as they were (item 22 as the update keeps it).
#   update_path_test.sh native WORK STICK_SIM MKIMAGES CLI [COMMAND]
#   update_path_test.sh wine   WORK STICK_SIM MKIMAGES CLI_EXE WINE_RUN [COMMAND]  (WINEPREFIX set)
mode=$1 work=$2 sim=$3 mkimages=$4 cli=$5
if [ "$mode" = wine ]; then wine_run=$6 command=${7:-update-path}; else command=${6:-update-path}; fi
here=$(cd "$(dirname "$0")/../.." && pwd)
# Every path absolute: the test runs in its own directory (see below).
absolute() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
work=$(absolute "$work") sim=$(absolute "$sim") mkimages=$(absolute "$mkimages") cli=$(absolute "$cli")
[ -n "${wine_run:-}" ] && wine_run=$(absolute "$wine_run")
version=E2E_NEW_FW_2.0.1
rm -rf "$work"
mkdir -p "$work/state"
# A failed update's action log goes below the current directory: this test's own.
cd "$work" || exit 1
"$mkimages" "$work/images" --version "$version" --amss-size 150000 --efs-size 90000 >/dev/null || exit 1

if [ "$mode" = wine ]; then
  # The ports come back two COM numbers higher after each switch and reset, so the host
  # has to find them again through the registrations.
  sim_ports="--wine-prefix $WINEPREFIX --at-com 13 --diag-com 14 --reenum-com-shift 2"
else
  sim_ports="--link-dir $work"
fi
# shellcheck disable=SC2086
# The boot downloader starts only the image set's own flash programmer.
"$here/tools/sim-ctl" start "$work/sim" "$sim" $sim_ports --state "$work/state" \
  --programmer "$work/images/armprg.bin" \
  --block-program-ms 2 --reply-ms 1-15 --reply-seed 11 \
  --firmware-version OLD_FW_1.0 --version-text 1=OLD_FW_1.0 --reenum-ms 2000 >/dev/null || exit 1
trap '"$here/tools/sim-ctl" stop "$work/sim"' EXIT

# The stick's NV items as it keeps them (the last line of an item wins), item 22 left out.
nv_items() { awk '$1 != 22 { value[$1] = $2 } END { for (id in value) print id, value[id] }' \
  "$work/state/nv-items.txt" | sort -n; }
nv_items >"$work/nv-before.txt"
mkdir -p "$work/nv"
if [ "$command" = update ]; then extra="--nv-dir"; fi
if [ "$mode" = wine ]; then
  images=$(WINEDEBUG=-all winepath -w "$work/images" 2>/dev/null)
  nv=$(WINEDEBUG=-all winepath -w "$work/nv" 2>/dev/null)
  # shellcheck disable=SC2086
  "$wine_run" "$cli" --diag COM14 --at COM13 "$command" "$images" $extra ${extra:+"$nv"} >"$work/cli.log" 2>&1
else
  # shellcheck disable=SC2086
  "$cli" --diag "$work/diag" --at "$work/at" "$command" "$work/images" $extra ${extra:+"$work/nv"} >"$work/cli.log" 2>&1
fi
rc=$?
tr -d '\r' <"$work/cli.log" | grep -v '^progress'
[ $rc -eq 0 ] || { echo "FAIL: $command exited $rc"; exit 1; }

fail=0
same() {  # same FLASH_FILE IMAGE_FILE
  if cmp -s "$work/state/flash/$1" "$work/images/$2"; then
    echo "ok   flash $1 = $2"
  else
    echo "FAIL flash $1 differs from $2"
    fail=1
  fi
}
same partition.bin partition.mbn
same image-2.bin qcsblhd_cfgdata.mbn
same image-3.bin qcsbl.mbn
same image-4.hdr oemsblhd.mbn
same image-4.bin oemsbl.mbn
same image-5.hdr amsshd.mbn
same image-5.bin amss.mbn
same image-10.hdr nandprghd.mbn
same image-10.bin nandprgcombined.mbn
same image-9.bin efs.mbn
if [ "$command" = update ]; then
  if tr -d '\r' <"$work/cli.log" | grep -q "^The update was successful.\$"; then
    echo "ok   the update was successful"
  else
    echo "FAIL no success message"
    fail=1
  fi
  if nv_items | cmp -s - "$work/nv-before.txt" && [ "$(wc -c <"$work/nv/Channel1.nvm")" -eq 153000 ]; then
    echo "ok   the NV items are as they were, and the backup is whole"
  else
    echo "FAIL the NV items changed or the backup is not whole"
    fail=1
  fi
elif tr -d '\r' <"$work/cli.log" | grep -q "^version: $version\$"; then
  echo "ok   the stick came back reporting $version"
else
  echo "FAIL the stick did not report $version"
  fail=1
fi
[ $fail = 0 ] && echo "$command ($mode): all checks passed"
exit $fail
