#!/bin/sh
# flotilla.exe under Wine stages its embedded files into the prefix's real
# "C:\Program Files\Windows Service\XV418newversion", byte for byte against the files the build
# embedded (the manifest lists them), also over older files of the same names.
# usage: staging_flotilla_test.sh WINE_RUN FLOTILLA_EXE MANIFEST
set -u
wine_run=$1 exe=$2 manifest=$3
: "${WINEPREFIX:?}"
dir="$WINEPREFIX/drive_c/Program Files/Windows Service/XV418newversion"
fail=0
compare() {
  count=0
  while IFS= read -r line; do
    name=$(printf '%s' "$line" | sed -n 's/^{[0-9]*, "\([^"]*\)", "\([^"]*\)"},$/\1/p')
    source=$(printf '%s' "$line" | sed -n 's/^{[0-9]*, "\([^"]*\)", "\([^"]*\)"},$/\2/p')
    [ -n "$name" ] || continue
    count=$((count + 1))
    if ! cmp "$source" "$dir/$name"; then echo "FAIL: $name differs from $source"; fail=1; fi
  done <"$manifest"
  [ "$count" = 14 ] || { echo "FAIL: $count files in the manifest, not 14"; fail=1; }
}
rm -rf "$WINEPREFIX/drive_c/Program Files/Windows Service"
"$wine_run" "$exe" >/dev/null 2>&1
compare
# An aborted earlier run left other files of those names: they are overwritten.
for f in "$dir"/*; do head -c 300000 /dev/zero | tr '\0' 'Z' >"$f"; done
"$wine_run" "$exe" >/dev/null 2>&1
compare
[ "$fail" = 0 ] && echo "flotilla.exe staged its 14 embedded files byte for byte"
exit "$fail"
