// A recording stand-in for dism.exe. Each run appends what it was given to the
// file named by ROLEKIT_STANDIN_LOG, in UTF-8, one record of six lines:
//   image=<the file that was started>
//   command=<its whole command line>
//   directory=<its working directory>
//   show=<the window state it was given (wShowWindow), or "default">
//   unknown=<the feature names this edition lacks, blank-separated>
//   left-off=<name:parent,parent ...: the features left off, with the parents they miss>
// ROLEKIT_STANDIN_FEATURES, when set, names a file of the edition's features,
// a line each: the name, a tab, and its parent features, blank-separated.
// ROLEKIT_STANDIN_ENABLED names the machine's state: the features enabled so
// far, a line each, to which every run adds what it enabled.
//
// Like DISM without /All, the stand-in first refuses the whole command with
// 0x800F080C when one /FeatureName: is unknown to the edition. Otherwise it
// enables every named feature whose parents are each enabled already or named
// anywhere in the command, and leaves the others off; then it exits with 50
// when it left one off, else with the code in ROLEKIT_STANDIN_EXIT (any C
// integer form; 0 when unset). To play a misbehaving tool it first sleeps for
// ROLEKIT_STANDIN_SLEEP_MS milliseconds, and crashes on an access violation
// instead of exiting when ROLEKIT_STANDIN_CRASH is set.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// The lines of a file, each cut at its first tab: {first part, the rest}; none
// when there is no such file.
std::map<std::string, std::string> ReadTable(const std::wstring& path) {
  std::map<std::string, std::string> table;
  std::ifstream in{std::filesystem::path(path)};
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    table[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
  }
  return table;
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

  std::vector<std::string> named;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  const std::wstring_view switchName = L"/FeatureName:";
  for (int i = 1; i < count; ++i) {
    const std::wstring_view argument = arguments[i];
    if (argument.starts_with(switchName))
      named.push_back(Utf8(std::wstring(argument.substr(switchName.size()))));
  }
  LocalFree(arguments);

  // Without a table every name is known and has no parents.
  const std::map<std::string, std::string> features = ReadTable(Environment(L"ROLEKIT_STANDIN_FEATURES"));
  const std::wstring enabledFile = Environment(L"ROLEKIT_STANDIN_ENABLED");
  std::set<std::string> enabled;
  for (const auto& line : ReadTable(enabledFile)) enabled.insert(line.first);
  const std::set<std::string> mentioned(named.begin(), named.end());
  std::string unknown, leftOff, enabledNow;
  for (const std::string& name : named) {
    if (features.empty()) break;
    const auto feature = features.find(name);
    if (feature == features.end()) {
      unknown += (unknown.empty() ? "" : " ") + name;
      continue;
    }
    std::string missing, parent;
    for (std::istringstream parents(feature->second); parents >> parent;) {
      if (!enabled.contains(parent) && !mentioned.contains(parent))
        missing += (missing.empty() ? "" : ",") + parent;
    }
    if (missing.empty())
      enabledNow += name + "\n";
    else
      leftOff += (leftOff.empty() ? "" : " ") + name + ":" + missing;
  }

  const std::wstring log = Environment(L"ROLEKIT_STANDIN_LOG");
  if (!log.empty()) {
    FILE* file = _wfopen(log.c_str(), L"ab");
    if (file == nullptr) return 0x7E57;
    std::fprintf(file, "image=%s\ncommand=%s\ndirectory=%s\nshow=%s\nunknown=%s\nleft-off=%s\n",
                 Utf8(image).c_str(), Utf8(GetCommandLineW()).c_str(), Utf8(directory).c_str(), show.c_str(),
                 unknown.c_str(), leftOff.c_str());
    std::fclose(file);
  }
  if (!unknown.empty()) ExitProcess(0x800F080C);
  if (!enabledFile.empty()) std::ofstream(std::filesystem::path(enabledFile), std::ios::app) << enabledNow;
  Sleep(static_cast<DWORD>(std::wcstoul(Environment(L"ROLEKIT_STANDIN_SLEEP_MS").c_str(), nullptr, 0)));
  if (!Environment(L"ROLEKIT_STANDIN_CRASH").empty()) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
  const std::wstring code = Environment(L"ROLEKIT_STANDIN_EXIT");
  ExitProcess(leftOff.empty() ? static_cast<UINT>(std::wcstoul(code.c_str(), nullptr, 0)) : 50);
}
