#!/bin/sh
# flotilla-cli.exe's NV backup under Wine: the file goes through the Win32 files backend into
# a directory whose name needs UTF-16 (Wine's drive Z: is the Unix root), and a file one
# byte short is refused.
#   cli_nv_wine_test.sh FLOTILLA_CLI_EXE WINE_RUN DIAG_COM WORK_DIR
cli=$1
wine_run=$2
diag=COM$3
nvdir="$4/NV-Sicherung-Ü"
fail=0
run() { "$wine_run" "$cli" "$@" 2>&1 | tr -d '\r'; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
rm -rf "$4"
mkdir -p "$nvdir"

out=$(run --diag "$diag" nv-backup "$(winpath "$nvdir/Channel1.nvm")")
size=$(wc -c <"$nvdir/Channel1.nvm" 2>/dev/null || echo 0)
if [ "$size" -eq 153000 ] && [ ! -e "$nvdir/Channel1.nvm.tmp" ] &&
   printf '%s\n' "$out" | grep -q '^nv backup written to '; then
  echo "ok   nv-backup writes 153,000 bytes into a directory named with an umlaut"
else
  echo "FAIL nv-backup ($size bytes):"
  printf '%s\n' "$out"
  fail=1
fi

head -c 152999 "$nvdir/Channel1.nvm" >"$nvdir/short.nvm"
out=$(run --diag "$diag" nv-restore "$(winpath "$nvdir/short.nvm")")
if printf '%s\n' "$out" | grep -q "NVM file for backup NV doesn't exist or destroyed"; then
  echo "ok   nv-restore refuses a file of 152,999 bytes"
else
  echo "FAIL nv-restore of a short file:"
  printf '%s\n' "$out"
  fail=1
fi
[ $fail = 0 ] && echo "flotilla-cli.exe nv under Wine: all checks passed"
exit $fail
