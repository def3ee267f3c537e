@echo off
rem The end-to-end tables of qelnhost.exe, run on this Windows machine.
rem Run it from an elevated command prompt ("Run as administrator"):
rem
rem   run.cmd          the drivers that fit this Windows (x64 on 64-bit, x86 on 32-bit)
rem   run.cmd x86      the 32-bit drivers, also on a 64-bit Windows
rem   set GTEST_FILTER=ServiceE2E.*   before it: that table alone
rem
rem They install, start, stop and remove test services named QELN and a test
rem letter (3, A, B, E, F, G, P, S, T and two letters outside ASCII) from copies
rem under %SystemDrive%\qeln test\ (open to administrators and SYSTEM alone, but
rem for three copies opened to Everyone for a moment), and prime the UPS service's registry area
rem (HKLM\SYSTEM\CurrentControlSet\Services\UPS), which they put back as they
rem found it. A service of one of those names installed from elsewhere is left
rem alone and its tables fail. When they end, nothing of theirs is installed.
rem The last lines are the summary, one line a table; the exit code is 0 when
rem every table passed.
setlocal
set "kit=%~dp0"
set "arch=x86"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "arch=x64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "arch=x64"
if /i "%~1"=="x86" set "arch=x86"
if /i "%~1"=="x64" set "arch=x64"
if not exist "%kit%%arch%\qeln_e2e_test.exe" (
  echo run.cmd: no %arch% drivers in %kit%
  exit /b 2
)
set "QELN_E2E_HOST=%kit%qelnhost.exe"
set "QELN_E2E_CHILD=%kit%testchild.exe"
set "QELN_E2E_DATA=%kit:~0,-1%"
echo run.cmd: the %arch% drivers on qelnhost.exe and testchild.exe of %kit%
"%kit%%arch%\qeln_e2e_test.exe"
exit /b %errorlevel%
