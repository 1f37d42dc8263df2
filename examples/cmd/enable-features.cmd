@echo off
rem Enables the Windows features that the named products need by running
rem rolekit.exe from this script's folder, prints one line for the log that
rem tells the outcomes apart, and exits with rolekit's exit code unchanged.
rem
rem   enable-features.cmd [Product1,Product2 ...]
rem
rem With no products it enables Kestrel,Orrery. Batch splits its arguments
rem at commas, semicolons, equals signs and blanks, so the pieces are joined
rem again with commas: "enable-features.cmd Kestrel,Orrery" passes on
rem Kestrel,Orrery, not Kestrel alone.
rem
rem Exit codes are compared for equality only. DISM's failures are HRESULTs
rem such as 0x800F081F, which ERRORLEVEL holds as negative numbers, so
rem "if errorlevel 1" (which means 1 or more) would take them for success.
setlocal EnableExtensions EnableDelayedExpansion

set "products="
:collect
if "%~1"=="" goto run
if defined products (set "products=!products!,%~1") else set "products=%~1"
shift
goto collect

:run
if not defined products set "products=Kestrel,Orrery"
"%~dp0rolekit.exe" "!products!"
set "code=%ERRORLEVEL%"

if "%code%"=="0" (
  echo rolekit: enabled the Windows features for !products!
) else if "%code%"=="3010" (
  echo rolekit: enabled the Windows features for !products!; Windows must restart to finish
) else (
  call :hex %code%
  echo rolekit: failed with exit code %code% ^(0x!hex!^)
)
exit /b %code%

rem Sets hex to the eight hex digits of the 32-bit number in %1. Each digit
rem is looked up in a list: Wine's cmd takes no substrings of !variables!.
:hex
set "hex="
set /a "rest=%~1"
for /l %%i in (1,1,8) do (
  set /a "digit=rest & 15, rest >>= 4, place=0"
  for %%c in (0 1 2 3 4 5 6 7 8 9 A B C D E F) do (
    if !place!==!digit! set "hex=%%c!hex!"
    set /a "place+=1"
  )
)
exit /b
