#include "enablement/enablement.h"
#include "win32.h"

// The shell's folder lookup, after win32.h has shaped the platform headers;
// only this file needs it, and it doubles the time a file takes to compile.
#include <shlobj.h>

namespace rolekit {
namespace {

// The caller reads 0 as success, so a call that failed without saying why
// still has to report some error.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace

std::wstring GetSystemFolder() {
  wchar_t folder[MAX_PATH] = L"";
  if (SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return {};
  return folder;
}

std::uint32_t WaitForExitCode(void* process) {
  if (process == nullptr) return ERROR_INVALID_HANDLE;
  DWORD result = 0;
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &result)) {
    result = LastErrorOr(ERROR_GEN_FAILURE);
  }
  CloseHandle(process);
  return result;
}

std::uint32_t RunElevated(const std::wstring& file, const std::wstring& verb, const std::wstring& parameters,
                          const std::wstring& directory) {
  SHELLEXECUTEINFOW launch{};
  launch.cbSize = sizeof launch;
  // Without FLAG_NO_UI a launch that fails shows a modal error box before it
  // returns; nobody dismisses it in an unattended install, which would then
  // wait forever instead of getting the error code.
  launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  launch.hwnd = nullptr;
  launch.lpVerb = verb.c_str();
  launch.lpFile = file.c_str();
  launch.lpParameters = parameters.c_str();
  launch.lpDirectory = directory.c_str();
  launch.nShow = SW_HIDE;
  launch.hInstApp = nullptr;
  if (!ShellExecuteExW(&launch)) return LastErrorOr(ERROR_GEN_FAILURE);
  return WaitForExitCode(launch.hProcess);
}

std::uint32_t RunDism(const std::wstring& systemFolder, const FeatureSet& features) {
  // Only the system's own copy may run elevated: given a bare name, the shell
  // would also take a dism.exe planted beside this program or in the current
  // directory. Without the system folder there is nothing safe to start.
  if (systemFolder.empty()) return ERROR_PATH_NOT_FOUND;
  return RunElevated(systemFolder + L"\\dism.exe", L"runas", BuildDismArguments(features), systemFolder);
}

std::uint32_t EnableFeatures(const FeatureSet& features) { return RunDism(GetSystemFolder(), features); }

}  // namespace rolekit
