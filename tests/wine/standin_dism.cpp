// A recording stand-in for dism.exe. Each run appends to the file named by
// ROLEKIT_STANDIN_LOG a record, in UTF-8, that standin.py reads: "name=value"
// lines, then an empty one. The fields: image (the file started), command
// (its command line), directory, show (wShowWindow, or "default"), unknown
// (the names the edition lacks), left-off ("name:parent,parent" for a feature
// whose parents are missing, the name alone for one the edition can never
// enable) and, only when it could not play DISM, error.
// ROLEKIT_STANDIN_FEATURES names the edition's features, a line each: the
// name, a tab, its blank-separated parents, and a tab and "never" for one it
// can never enable. ROLEKIT_STANDIN_ENABLED names the machine's state, a
// feature a line; one that a run ending in 3010 enabled carries a tab and
// "pending", as Windows shows it enable-pending until it restarts.
//
// Like DISM without /All, it refuses the whole command with 0x800F080C when a
// name is unknown; else it enables each named feature whose parents are all
// enabled or named, and exits with 50 when it left one off, else with
// ROLEKIT_STANDIN_EXIT (any C integer form; 0 unset). ROLEKIT_STANDIN_SLEEP_MS
// and ROLEKIT_STANDIN_CRASH play a slow and a crashing tool.
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

constexpr UINT kRefused = 0x800F080C;
constexpr UINT kLeftOff = 50;
constexpr UINT kCannotPlay = 0x7E57;

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

// Adds the lines of a file; false when it cannot be read.
bool ReadLines(const std::wstring& path, std::vector<std::string>& lines) {
  if (path.empty()) return false;
  std::ifstream in{std::filesystem::path(path)};
  if (!in.is_open()) return false;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return !in.bad();
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

  // Without its tables the stand-in would take every name for known, which
  // no DISM does: it says so in its record instead.
  std::string error;
  const std::wstring featuresFile = Environment(L"ROLEKIT_STANDIN_FEATURES");
  const std::wstring enabledFile = Environment(L"ROLEKIT_STANDIN_ENABLED");
  std::vector<std::string> featureLines, enabledLines;
  if (!ReadLines(featuresFile, featureLines) || featureLines.empty())
    error = "cannot read the edition's features from \"" + Utf8(featuresFile) + "\" (ROLEKIT_STANDIN_FEATURES)";
  else if (!ReadLines(enabledFile, enabledLines))
    error = "cannot read the machine's state from \"" + Utf8(enabledFile) + "\" (ROLEKIT_STANDIN_ENABLED)";

  // name -> {its parents, whether this edition can ever enable it}
  std::map<std::string, std::pair<std::string, bool>> features;
  for (const std::string& line : featureLines) {
    std::istringstream fields(line);
    std::string name, parents, never;
    std::getline(fields, name, '\t');
    std::getline(fields, parents, '\t');
    std::getline(fields, never, '\t');
    features[name] = {parents, never != "never"};
  }
  std::set<std::string> enabled;
  for (const std::string& line : enabledLines) enabled.insert(line.substr(0, line.find('\t')));
  const std::set<std::string> mentioned(named.begin(), named.end());
  std::string unknown, leftOff;
  std::vector<std::string> enabledNow;
  for (const std::string& name : named) {
    const auto feature = features.find(name);
    if (feature == features.end()) {
      unknown += (unknown.empty() ? "" : " ") + name;
      continue;
    }
    std::string missing, parent;
    for (std::istringstream parents(feature->second.first); parents >> parent;) {
      if (!enabled.contains(parent) && !mentioned.contains(parent))
        missing += (missing.empty() ? "" : ",") + parent;
    }
    if (!feature->second.second)
      leftOff += (leftOff.empty() ? "" : " ") + name;
    else if (!missing.empty())
      leftOff += (leftOff.empty() ? "" : " ") + name + ":" + missing;
    else
      enabledNow.push_back(name);
  }

  // A command DISM refuses leaves nothing off: it is not carried out at all.
  if (!unknown.empty()) leftOff.clear();

  const std::wstring log = Environment(L"ROLEKIT_STANDIN_LOG");
  FILE* file = log.empty() ? nullptr : _wfopen(log.c_str(), L"ab");
  if (file == nullptr) return static_cast<int>(kCannotPlay);
  std::fprintf(file, "image=%s\ncommand=%s\ndirectory=%s\nshow=%s\nunknown=%s\nleft-off=%s\n", Utf8(image).c_str(),
               Utf8(GetCommandLineW()).c_str(), Utf8(directory).c_str(), show.c_str(), unknown.c_str(),
               leftOff.c_str());
  if (!error.empty()) std::fprintf(file, "error=%s\n", error.c_str());
  std::fputs("\n", file);
  std::fclose(file);
  if (!error.empty()) ExitProcess(kCannotPlay);
  // DISM appends to its log on every run, a refused one too.
  const std::filesystem::path logs = std::filesystem::path(Environment(L"WINDIR")) / L"Logs" / L"DISM";
  std::error_code ignored;
  std::filesystem::create_directories(logs, ignored);
  std::ofstream(logs / L"dism.log", std::ios::app) << "stand-in: " << Utf8(GetCommandLineW()) << "\n";
  if (!unknown.empty()) ExitProcess(kRefused);

  Sleep(static_cast<DWORD>(std::wcstoul(Environment(L"ROLEKIT_STANDIN_SLEEP_MS").c_str(), nullptr, 0)));
  if (!Environment(L"ROLEKIT_STANDIN_CRASH").empty()) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
  const UINT told = static_cast<UINT>(std::wcstoul(Environment(L"ROLEKIT_STANDIN_EXIT").c_str(), nullptr, 0));
  // DISM's restart-due code is a success: the features are enabled, pending the restart.
  if (told == 0 || told == 3010) {
    std::ofstream state(std::filesystem::path(enabledFile), std::ios::app);
    for (const std::string& name : enabledNow) state << name << (told == 3010 ? "\tpending\n" : "\n");
  }
  ExitProcess(leftOff.empty() ? told : kLeftOff);
}
