// A recording stand-in for dism.exe. Each run appends what it was given to the
// file named by ROLEKIT_STANDIN_LOG, in UTF-8, one record of five lines:
//   image=<the file that was started>
//   command=<its whole command line>
//   directory=<its working directory>
//   show=<the window state it was given (wShowWindow), or "default">
//   unknown=<the feature names this edition lacks, blank-separated>
// ROLEKIT_STANDIN_FEATURES, when set, holds the edition's feature names, each
// between semicolons (";IIS-ASP;IIS-CGI;"). Like DISM, the stand-in checks
// every /FeatureName: first and refuses the whole command with 0x800F080C
// when one is unknown, before anything else.
// Otherwise it exits with the code in ROLEKIT_STANDIN_EXIT (any C integer
// form; 0 when unset). To play a misbehaving tool it first sleeps for
// ROLEKIT_STANDIN_SLEEP_MS milliseconds, and crashes on an access violation
// instead of exiting when ROLEKIT_STANDIN_CRASH is set.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "win32.h"

namespace {

std::string Utf8(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr,
                      nullptr);
  return narrow;
}

std::wstring Environment(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

int main() {
  wchar_t image[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, image, MAX_PATH);
  wchar_t directory[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, directory);
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  const std::string show =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? std::to_string(startup.wShowWindow) : "default";

  const std::wstring known = Environment(L"ROLEKIT_STANDIN_FEATURES");
  std::wstring unknown;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::wstring_view switchName = L"/FeatureName:";
  for (int i = 1; i < count && !known.empty(); ++i) {
    const std::wstring argument = arguments[i];
    if (!argument.starts_with(switchName)) continue;
    const std::wstring name = argument.substr(switchName.size());
    if (known.find(L";" + name + L";") == std::wstring::npos)
      unknown += (unknown.empty() ? L"" : L" ") + name;
  }
  LocalFree(arguments);

  const std::wstring log = Environment(L"ROLEKIT_STANDIN_LOG");
  if (!log.empty()) {
    FILE* file = _wfopen(log.c_str(), L"ab");
    if (file == nullptr) return 0x7E57;
    std::fprintf(file, "image=%s\ncommand=%s\ndirectory=%s\nshow=%s\nunknown=%s\n", Utf8(image).c_str(),
                 Utf8(GetCommandLineW()).c_str(), Utf8(directory).c_str(), show.c_str(),
                 Utf8(unknown).c_str());
    std::fclose(file);
  }
  if (!unknown.empty()) ExitProcess(0x800F080C);
  Sleep(static_cast<DWORD>(std::wcstoul(Environment(L"ROLEKIT_STANDIN_SLEEP_MS").c_str(), nullptr, 0)));
  if (!Environment(L"ROLEKIT_STANDIN_CRASH").empty()) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
  const std::wstring code = Environment(L"ROLEKIT_STANDIN_EXIT");
  ExitProcess(static_cast<UINT>(std::wcstoul(code.c_str(), nullptr, 0)));
}
