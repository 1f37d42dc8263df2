// A Windows Installer custom action that runs rolekit.exe and turns its exit
// code into an install result. A plain EXE custom action will not do: Windows
// Installer fails the install on any non-zero code, 3010 (success, restart
// due) included, and marking the action "ignore" hides every real failure.
//
// RunRolekit, deferred and not impersonated, runs the command line in
// CustomActionData hidden, waits for it, writes the code it got to the
// installer log, and returns: success on 0 or 3010; on anything else, or when
// rolekit.exe cannot be started, a failure, on which Windows Installer rolls
// back its own files and registration (not what DISM changed).
//
// RefuseDowngrade, immediate and conditioned on FindRelatedProducts finding a
// newer version of the package, ends the install before anything happens:
// installed beside the newer one, this one would register a second product
// over the same components, and removing either would leave files behind.
//
// A deferred action may not call MsiSetMode, so on 3010 RunRolekit only
// records that a restart is due, as a global atom named after the product;
// RequestRestart, an immediate action after InstallFinalize, turns that record
// into the request and removes it.
#include <cstdio>
#include <string>

#include "win32.h"

#include <msiquery.h>

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  wchar_t none[1] = L"";
  DWORD length = 0;
  if (MsiGetPropertyW(install, name, none, &length) != ERROR_MORE_DATA) return {};
  std::wstring value(length + 1, L'\0');
  length = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS) return {};
  value.resize(length);
  return value;
}

// The text goes in as a field rather than as the template, which Windows
// Installer formats; no message holds brackets, which it may format even there.
void Log(MSIHANDLE install, const std::wstring& text) {
  const MSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

std::wstring RestartRecord(MSIHANDLE install) {
  return L"rolekit restart due " + Property(install, L"ProductCode");
}

std::wstring Code(DWORD code) {
  wchar_t text[32];
  (void)std::swprintf(text, 32, L"%lu (0x%08lX)", static_cast<unsigned long>(code),
                      static_cast<unsigned long>(code));
  return text;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunRolekit(MSIHANDLE install) {
  std::wstring command = Property(install, L"CustomActionData");
  if (command.empty()) {
    Log(install, L"rolekit: could not start: CustomActionData holds no command line");
    return ERROR_INSTALL_FAILURE;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    // Read at once: building the message allocates, which may set it again.
    const DWORD error = GetLastError();
    Log(install, L"rolekit: could not start (" + command + L"): error " + Code(error));
    return ERROR_INSTALL_FAILURE;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  const bool finished = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                        GetExitCodeProcess(process.hProcess, &code);
  if (!finished) code = GetLastError();
  CloseHandle(process.hProcess);
  if (!finished) {
    Log(install, L"rolekit: lost track of rolekit.exe: error " + Code(code));
    return ERROR_INSTALL_FAILURE;
  }
  Log(install, L"rolekit: rolekit.exe exited with " + Code(code));
  if (code != ERROR_SUCCESS && code != ERROR_SUCCESS_REBOOT_REQUIRED) return ERROR_INSTALL_FAILURE;
  const std::wstring record = RestartRecord(install);
  if (code == ERROR_SUCCESS_REBOOT_REQUIRED) {
    if (GlobalFindAtomW(record.c_str()) == 0 && GlobalAddAtomW(record.c_str()) == 0) {
      const DWORD error = GetLastError();
      Log(install, L"rolekit: could not record that a restart is due: error " + Code(error));
      return ERROR_INSTALL_FAILURE;
    }
    Log(install, L"rolekit: a restart is due; recorded for the end of the install");
  }
  return ERROR_SUCCESS;
}

// Immediate, after InstallFinalize: only here may the package ask for the
// restart that RunRolekit recorded.
extern "C" __declspec(dllexport) UINT __stdcall RequestRestart(MSIHANDLE install) {
  const std::wstring record = RestartRecord(install);
  // RunRolekit adds the record once; an atom counts each add, so every count
  // goes, but a delete that fails ends the loop rather than spinning on.
  bool due = false;
  for (int count = 0; count < 64; ++count) {
    const ATOM atom = GlobalFindAtomW(record.c_str());
    if (atom == 0) break;
    due = true;
    if (GlobalDeleteAtom(atom) != 0) {
      const DWORD error = GetLastError();
      Log(install, L"rolekit: could not remove the record of the restart: error " + Code(error));
      break;
    }
  }
  if (due) {
    MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    Log(install, L"rolekit: restart requested for the end of the install");
  } else {
    Log(install, L"rolekit: no restart due");
  }
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RefuseDowngrade(MSIHANDLE install) {
  Log(install, L"rolekit: a newer version is installed; this one refuses to replace it");
  return ERROR_INSTALL_FAILURE;
}
