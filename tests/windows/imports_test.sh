#!/bin/sh
# A Windows binary imports system DLLs alone (it is linked fully static), and, with --export,
# exports that name undecorated.
# usage: imports_test.sh OBJDUMP FILE [--export NAME]
set -u
objdump=$1 file=$2
allowed="advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll
setupapi.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll version.dll ws2_32.dll"
dump=$("$objdump" -p "$file") || { echo "FAIL: objdump $file"; exit 1; }
fail=0
names=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
[ -n "$names" ] || { echo "FAIL: no imports read from $file"; exit 1; }
for name in $names; do
  case " $(echo $allowed) " in
    *" $name "*) ;;
    *) echo "FAIL: $file imports $name"; fail=1 ;;
  esac
done
if [ "${3:-}" = "--export" ]; then
  # The export name table: "[   0] Replug", not "_Replug" or "Replug@4".
  printf '%s\n' "$dump" | grep -Eq "^[[:space:]]*\[ *[0-9]+\] $4\$" || { echo "FAIL: $file does not export $4"; fail=1; }
fi
[ "$fail" = 0 ] && echo "$(basename "$file") imports only: $(echo $names)"
exit "$fail"
