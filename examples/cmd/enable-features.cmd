@echo off
rem Enables the Windows features that the named products need by running
rem rolekit.exe from this script's folder, prints for the log each piece that
rem rolekit will ignore and one closing line that tells the outcomes apart,
rem and exits with rolekit's exit code unchanged.
rem
rem   enable-features.cmd [Product1,Product2 ...]
rem
rem With no products it enables Kestrel,Orrery. Batch splits its arguments
rem at commas, semicolons, equals signs and blanks, so the pieces are joined
rem again with commas: "enable-features.cmd Kestrel,Orrery" passes on
rem Kestrel,Orrery, not Kestrel alone.
rem
rem rolekit itself ignores, without a word, every piece between commas that
rem is not one of its four products (letters in any case, nothing trimmed:
rem " Orrery" with its blank names nothing), so this script names them.
rem
rem Exit codes are compared for equality only. DISM's failures are HRESULTs
rem such as 0x800F081F, which ERRORLEVEL holds as negative numbers, so
rem "if errorlevel 1" (which means 1 or more) would take them for success.
setlocal EnableExtensions EnableDelayedExpansion

if "%~1"=="/?" (
  echo Usage: enable-features.cmd [Product1,Product2 ...]
  echo Runs rolekit.exe from this folder with the products ^(default Kestrel,Orrery^),
  echo prints the outcome and exits with rolekit's exit code.
  exit /b 1
)

set "products="
:collect
if "%~1"=="" goto run
if defined products (set "products=!products!,%~1") else set "products=%~1"
shift
goto collect

:run
if not defined products set "products=Kestrel,Orrery"

rem Splits the list as rolekit does: runs of commas separate pieces and
rem nothing is trimmed. A piece is a product when it holds only the letters
rem A-Z, in any case, and equals one of the four. The list is read with
rem %-expansion: Wine's cmd does not split a !variable! in for /f. Leading
rem commas go first, so that the end-of-line character (a comma too) never
rem hides a piece.
set "known="
set "rest=!products!"
:split
if not defined rest goto launch
if "%rest:~0,1%"=="," (
  set "rest=%rest:~1%"
  goto split
)
for /f "tokens=1* eol=, delims=," %%a in ("%rest%") do (
  set "piece=%%a"
  set "rest=%%b"
)
rem What is left once the letters are gone (the # keeps it defined). Through
rem call and %-expansion: Wine's cmd does not substitute in a !variable!.
set "other=#!piece!"
for %%l in (a b c d e f g h i j k l m n o p q r s t u v w x y z) do call set "other=%%other:%%l=%%"
set "product="
if "!other!"=="#" for %%p in (Kestrel Tamarind Lanternfly Orrery) do if /i "!piece!"=="%%p" set "product=1"
if defined product (
  if defined known (set "known=!known!,!piece!") else set "known=!piece!"
) else (
  echo rolekit: ignored "!piece!", which names no product
)
goto split

:launch
"%~dp0rolekit.exe" "!products!"
set "code=%ERRORLEVEL%"

if not defined known (
  echo rolekit: given "!products!": no product named, nothing enabled ^(exit code %code%^)
) else if "%code%"=="0" (
  echo rolekit: given "!products!": enabled the Windows features for !known!
) else if "%code%"=="3010" (
  echo rolekit: given "!products!": enabled the Windows features for !known!; Windows must restart to finish
) else (
  call :hex %code%
  echo rolekit: given "!products!": failed with exit code %code% ^(0x!hex!^)
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
