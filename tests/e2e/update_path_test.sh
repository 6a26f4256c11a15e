#!/bin/sh
# A whole download path with flotilla-cli against stick-sim: a generated image set goes into
# the stick's flash, which must then equal the images byte for byte, and the stick must come
# back in its firmware reporting the new version.
#   update_path_test.sh native WORK STICK_SIM MKIMAGES CLI
#   update_path_test.sh wine   WORK STICK_SIM MKIMAGES CLI_EXE WINE_RUN   (WINEPREFIX set)
mode=$1 work=$2 sim=$3 mkimages=$4 cli=$5 wine_run=$6
here=$(cd "$(dirname "$0")/../.." && pwd)
version=E2E_NEW_FW_2.0.1
rm -rf "$work"
mkdir -p "$work/state"
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

if [ "$mode" = wine ]; then
  images=$(WINEDEBUG=-all winepath -w "$work/images" 2>/dev/null)
  "$wine_run" "$cli" --diag COM14 --at COM13 update-path "$images" >"$work/cli.log" 2>&1
else
  "$cli" --diag "$work/diag" --at "$work/at" update-path "$work/images" >"$work/cli.log" 2>&1
fi
rc=$?
tr -d '\r' <"$work/cli.log" | grep -v '^progress' 
[ $rc -eq 0 ] || { echo "FAIL: update-path exited $rc"; exit 1; }

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
if tr -d '\r' <"$work/cli.log" | grep -q "^version: $version\$"; then
  echo "ok   the stick came back reporting $version"
else
  echo "FAIL the stick did not report $version"
  fail=1
fi
[ $fail = 0 ] && echo "update-path ($mode): all checks passed"
exit $fail
