#!/bin/sh
# Staging into a staging directory where no file can be created: the messages come in the
# table's order. Directory attributes do not stop Windows (nor Wine) from creating files, and
# permissions do not stop root, so the empty directory is made immutable (chattr +i) for root,
# or unwritable for anyone else, and given back afterwards whatever happens.
# usage: readonly_staging_test.sh WINE_RUN TESTS_EXE
set -u
wine_run=$1 tests=$2
: "${WINEPREFIX:?}"
dir="$WINEPREFIX/drive_c/Program Files/Windows Service/XV418newversion"
rm -rf "$dir"
mkdir -p "$dir"
if [ "$(id -u)" = 0 ]; then
  chattr +i "$dir" || { echo "FAIL: chattr +i"; exit 1; }
  trap 'chattr -i "$dir"' EXIT
else
  chmod a-w "$dir"
  trap 'chmod u+w "$dir"' EXIT
fi
FLOTILLA_READONLY_STAGING=1 "$wine_run" "$tests" --gtest_filter=Win32StagingTest.AReadOnlyStagingDirectory*
