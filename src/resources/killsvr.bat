if "%1"=="W2K" goto kill_2k
if "%1"=="NT4" goto kill_2k
if NOT "%1"=="W2K" goto kill_xp

:kill_2k
Kill /f mcserver.exe
Kill /f dbus-daemon.exe
Kill /f db_daemon.exe
Kill /f gconfd-2.exe
Kill /f phoneserver.exe
goto install_check

:kill_xp
taskkill /F /IM mcserver.exe
taskkill /F /IM dbus-daemon.exe
taskkill /F /IM db_daemon.exe
taskkill /F /IM gconfd-2.exe
taskkill /F /IM phoneserver.exe

exit