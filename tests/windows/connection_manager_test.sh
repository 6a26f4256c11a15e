#!/bin/sh
# Under Wine: the uninstall key written into the prefix names "C:\Flotilla CM Test\",
# whose Bin holds the stand-in mcserver.exe; the test program starts it and has killsvr.bat end
# it and mcserver.bat start it again. Twice: with the key in the program's own registry view,
# then with it only in the 32-bit view, where a 32-bit installer puts it. The keys and the
# install directory go again afterwards.
# usage: connection_manager_test.sh WINE_RUN TESTS_EXE MCSERVER_EXE
set -u
wine_run=$1 tests=$2 standin=$3
: "${WINEPREFIX:?}"
work=$(mktemp -d)
install="$WINEPREFIX/drive_c/Flotilla CM Test"
key='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{6A1F0C52-93DE-4B7A-A2C4-5E8D17F0B396}'
remove_keys() {
  printf 'REGEDIT4\r\n\r\n[-%s]\r\n' "$key" >"$work/remove.reg"
  "$wine_run" regedit /S "$(winepath -w "$work/remove.reg" 2>/dev/null)" >/dev/null 2>&1
  "$wine_run" reg delete "$key" /f /reg:32 >/dev/null 2>&1
}
cleanup() {
  remove_keys
  rm -rf "$install" "$work"
}
trap cleanup EXIT
rm -rf "$install"
mkdir -p "$install/Bin"
cp "$standin" "$install/Bin/mcserver.exe"
printf 'REGEDIT4\r\n\r\n[%s]\r\n"InstallLocation"="C:\\\\Flotilla CM Test\\\\"\r\n' "$key" >"$work/add.reg"
"$wine_run" regedit /S "$(winepath -w "$work/add.reg" 2>/dev/null)" || { echo "FAIL: regedit"; exit 1; }
FLOTILLA_CM_INSTALL='C:\Flotilla CM Test\' "$wine_run" "$tests" --gtest_filter='Win32ConnectionManager.*' || exit 1
# The 32-bit view alone.
remove_keys
"$wine_run" reg add "$key" /v InstallLocation /t REG_SZ /d 'C:\Flotilla CM Test\' /f /reg:32 >/dev/null ||
  { echo "FAIL: reg add /reg:32"; exit 1; }
"$wine_run" reg query "$key" /v InstallLocation >/dev/null 2>&1 && { echo "FAIL: the key is in the native view too"; exit 1; }
FLOTILLA_CM_INSTALL='C:\Flotilla CM Test\' "$wine_run" "$tests" --gtest_filter='Win32ConnectionManager.*'
