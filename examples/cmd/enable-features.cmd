@echo off
rem Enables the Windows features that the named products need by running
rem rolekit.exe from this script's folder, prints for the log each piece that
rem rolekit will ignore and one closing line that tells the outcomes apart,
rem and exits with rolekit's exit code unchanged. When rolekit.exe is not
rem beside it, or cmd cannot start it, it says so and exits with 9009, cmd's
rem own code for a command it could not run: rolekit never ran then. On
rem 32-bit Windows, which cannot run the 64-bit rolekit.exe, it says so and
rem exits with 216, Windows' code for a program of another machine type. It
rem names DISM's log only when DISM wrote to it.
rem
rem   enable-features.cmd [Product1,Product2 ...]
rem
rem With no argument at all it enables Kestrel,Orrery; an empty argument ("",
rem as an unset "%PRODUCTS%" gives) is passed on as it is and names nothing.
rem Batch splits its arguments at commas, semicolons, equals signs and
rem blanks, so the pieces are joined again with commas:
rem "enable-features.cmd Kestrel,Orrery" passes on Kestrel,Orrery, not Kestrel.
rem
rem rolekit itself ignores, without a word, every piece between commas that
rem is not one of its four products (letters in any case, nothing trimmed:
rem " Orrery" with its blank names nothing), so this script names them.
rem
rem What it was given reaches rolekit byte for byte, "!", "^", "%" and a
rem quoted "&" included: the text is only ever expanded with %, once, inside
rem double quotes, never with delayed expansion (which eats a "!") nor
rem through call (which doubles every "^").
rem
rem Exit codes are compared for equality only. DISM's failures are HRESULTs
rem such as 0x800F081F, which ERRORLEVEL holds as negative numbers, so
rem "if errorlevel 1" (which means 1 or more) would take them for success.
setlocal EnableExtensions DisableDelayedExpansion

rem rolekit's products: those of its list A (the web server), then list B.
set "web=Kestrel Tamarind Lanternfly"
set "messaging=Orrery"
set "default=Kestrel,Orrery"

if "%~1"=="/?" goto usage

set "given="
set "products="
:collect
if not "%~1"=="" goto add
if [%1]==[] goto joined
:add
if defined given set "products=%products%,%~1"
if not defined given set "products=%~1"
set "given=1"
shift
goto collect
:joined
if not defined given set "products=%default%"

rem Splits the list as rolekit does: runs of commas separate pieces and
rem nothing is trimmed. A piece is a product when it holds only the letters
rem A-Z, in any case, and equals one of the four: cmd's if /i would also
rem match letters that rolekit does not fold. Leading commas go first, so
rem that the end-of-line character (a comma too) never hides a piece.
set "known="
set "webgiven="
set "rest=%products%"
:split
if not defined rest goto launch
if not "%rest:~0,1%"=="," goto piece
set "rest=%rest:~1%"
goto split
:piece
for /f "tokens=1* eol=, delims=," %%a in ("%rest%") do (
  set "piece=%%a"
  set "rest=%%b"
)
rem The piece between two #s, cut at its letters: what follows the first #
rem is # alone when there is nothing but letters.
set "other="
for /f "tokens=1* delims=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz" %%x in ("#%piece%#") do set "other=%%y"
set "product="
if "%other%"=="#" for %%p in (%web% %messaging%) do if /i "%piece%"=="%%p" set "product=%%p"
if not defined product echo rolekit: ignored "%piece%", which names no product
if not defined product goto split
for %%p in (%web%) do if "%product%"=="%%p" set "webgiven=1"
if defined known set "known=%known%,%piece%"
if not defined known set "known=%piece%"
goto split

:launch
if not exist "%~dp0rolekit.exe" goto missing
rem A 32-bit cmd on 64-bit Windows names the machine in PROCESSOR_ARCHITEW6432.
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" if not defined PROCESSOR_ARCHITEW6432 goto x86
rem DISM appends to its log on every run: a log that changed is a DISM that ran.
set "dismlog=%WINDIR%\Logs\DISM\dism.log"
call :stamp before
"%~dp0rolekit.exe" "%products%"
set "code=%ERRORLEVEL%"
call :stamp after
if "%code%"=="9009" goto unstarted
if not defined known goto nothing
if "%code%"=="0" goto enabled
if "%code%"=="3010" goto restart
call :hex %code%
if "%before%"=="%after%" goto notran
echo rolekit: given "%products%": failed with exit code %code% (0x%hex%); DISM's log is %dismlog%
if not "%code%"=="50" exit /b %code%
if defined webgiven exit /b %code%
echo rolekit: a parent feature was missing: give %messaging% together with one of %web: =, % (for example %default%), or after one of them
exit /b %code%

:missing
echo rolekit: given "%products%": nothing enabled: there is no "%~dp0rolekit.exe"; keep rolekit.exe beside this script
exit /b 9009

:x86
echo rolekit: given "%products%": nothing enabled: rolekit.exe needs 64-bit Windows, and this one is 32-bit
exit /b 216

rem Windows refuses a plain start of rolekit.exe, which requires administrator
rem rights, from a process that does not hold them, with 740.
:notran
if "%code%"=="740" goto elevation
echo rolekit: given "%products%": failed with exit code %code% (0x%hex%); DISM did not run
exit /b %code%

:elevation
echo rolekit: given "%products%": nothing enabled: rolekit.exe needs administrator rights; run this script elevated, or as SYSTEM (exit code 740)
exit /b 740

rem cmd sets 9009 when it could not start the program: rolekit did not run.
:unstarted
echo rolekit: given "%products%": nothing enabled: cmd could not start "%~dp0rolekit.exe" (exit code 9009)
exit /b 9009

:nothing
echo rolekit: given "%products%": no product named, nothing enabled (exit code %code%)
exit /b %code%

:enabled
echo rolekit: given "%products%": enabled the Windows features for %known%
exit /b 0

:restart
echo rolekit: given "%products%": enabled the Windows features for %known%; Windows must restart to finish
exit /b 3010

:usage
echo Usage: enable-features.cmd [Product1,Product2 ...]
echo Runs rolekit.exe from this folder with the products (default %default%),
echo prints the outcome and exits with rolekit's exit code.
exit /b 1

rem Sets the variable %1 to the size and time of DISM's log, empty without one.
:stamp
set "%~1="
if exist "%dismlog%" for %%f in ("%dismlog%") do set "%~1=%%~zf %%~tf"
exit /b

rem Sets hex to the eight hex digits of the 32-bit number in %1. Each digit
rem is looked up in a list: Wine's cmd takes no substrings of !variables!.
:hex
setlocal EnableDelayedExpansion
set "hex="
set /a "rest=%~1"
for /l %%i in (1,1,8) do (
  set /a "digit=rest & 15, rest >>= 4, place=0"
  for %%c in (0 1 2 3 4 5 6 7 8 9 A B C D E F) do (
    if !place!==!digit! set "hex=%%c!hex!"
    set /a "place+=1"
  )
)
endlocal & set "hex=%hex%"
exit /b
