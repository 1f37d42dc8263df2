; An installer that enables the Windows features its product needs by
; running rolekit.exe, and reports rolekit's outcome as its own exit code:
; 0 on success; 3010 (restart due) with the reboot flag set; rolekit's own
; code on any other outcome, 1603 when rolekit.exe cannot be started, and
; 216 (ERROR_EXE_MACHINE_TYPE_MISMATCH) on 32-bit Windows, where it cannot run.
; Run it unattended with /S. It carries rolekit's third-party notices as its
; licence page, which the runtimes statically linked into rolekit.exe ask for.
; Build with
;   makensis -DROLEKIT_EXE=rolekit.exe -DNOTICES=THIRD-PARTY-NOTICES.txt -DOUTFILE=rolekit-setup.exe rolekit.nsi
; for a 64-bit installer, adding -DTARGET=x86-unicode for a 32-bit one. Either
; runs the 64-bit rolekit.exe it carries, which starts the 64-bit DISM from
; the system folder. A 32-bit installer must never start $SYSDIR\dism.exe
; itself: Windows redirects it to the 32-bit DISM in SysWOW64, which cannot
; service 64-bit Windows.
Unicode true
!include x64.nsh
!ifndef TARGET
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
; rolekit.exe itself requires administrator rights; a non-elevated installer
; could not start it at all.
RequestExecutionLevel admin

!ifndef ROLEKIT_EXE | NOTICES | OUTFILE
  !error "give -DROLEKIT_EXE=<path to rolekit.exe> -DNOTICES=<THIRD-PARTY-NOTICES.txt> -DOUTFILE=<installer to write>"
!endif

; The program it runs: the rolekit.exe it carries. The tests point this at a
; file that is not there, to see the could-not-start path.
!ifndef ROLEKIT_RUN
  !define ROLEKIT_RUN "$PLUGINSDIR\rolekit.exe"
!endif

Name "rolekit example"
OutFile "${OUTFILE}"
ShowInstDetails show
; Packed files keep no time of their own: the same inputs give the same installer.
SetDateSave off

LicenseText "rolekit.exe contains third-party software under these terms." "Next >"
LicenseData "${NOTICES}"
Page license
Page instfiles

; A 32-bit installer starts on 32-bit Windows too, but the 64-bit rolekit.exe
; it carries cannot: it refuses there, before anything is installed.
Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP|MB_OK "rolekit needs 64-bit Windows." /SD IDOK
    SetErrorLevel 216
    Quit
  ${EndIf}
FunctionEnd

Section "Windows features"
  InitPluginsDir
  File "/oname=$PLUGINSDIR\rolekit.exe" "${ROLEKIT_EXE}"
  ; nsExec runs it hidden and pushes its exit code, or "error" when it could
  ; not be started.
  nsExec::Exec '"${ROLEKIT_RUN}" Kestrel,Orrery'
  Pop $0
  StrCmp $0 "error" not_started
  ; Compared as 32-bit integers: codes above 0x7FFFFFFF arrive negative.
  IntCmp $0 0 done
  IntCmp $0 3010 restart
  DetailPrint "rolekit.exe failed with exit code $0"
  SetErrorLevel $0
  Abort "Enabling the Windows features failed ($0)."
restart:
  DetailPrint "The Windows features are enabled; Windows must restart to finish."
  SetRebootFlag true
  SetErrorLevel 3010
  Goto done
not_started:
  SetErrorLevel 1603
  Abort "rolekit.exe could not be started."
done:
SectionEnd
