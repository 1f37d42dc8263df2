#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requirements/os_facts.h"
#include "win32.h"

namespace rolekit {
namespace {

constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kServerLevels[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Server\\ServerLevels";

// A value a machine carries: a DWORD of its number, or text of the given type.
struct Value {
  const wchar_t* key;
  const wchar_t* name;
  DWORD number = 1;
  DWORD type = REG_DWORD;
  std::wstring text = L"";
};

Value Type(std::wstring text, DWORD type = REG_SZ) {
  return {kCurrentVersion, L"InstallationType", 0, type, text};
}
Value Level(const wchar_t* name, DWORD number = 1) { return {kServerLevels, name, number}; }

TEST(SystemOsFacts, IsServerCoreByServerLevelsElseByInstallationType) {
  const struct {
    const char* machine;
    bool levelsKey;
    std::vector<Value> values;
    bool core;
  } cases[] = {
      {"nothing said", false, {}, false},
      {"Server Core by type", false, {Type(L"Server Core")}, true},
      {"Server by type", false, {Type(L"Server")}, false},
      {"Client by type", false, {Type(L"Client")}, false},
      {"a longer type", false, {Type(L"Server Core, and more")}, false},
      {"an expandable type", false, {Type(L"Server Core", REG_EXPAND_SZ)}, false},
      {"Server Core by levels", true, {Level(L"ServerCore")}, true},
      {"Minimal Server Interface", true, {Level(L"ServerCore"), Level(L"Server-Gui-Mgmt")}, false},
      {"full installation, whatever the type says",
       true,
       {Level(L"ServerCore"), Level(L"Server-Gui-Mgmt"), Level(L"Server-Gui-Shell"), Type(L"Server Core")},
       false},
      {"a GUI level that is text",
       true,
       {Level(L"ServerCore"), {kServerLevels, L"Server-Gui-Mgmt", 0, REG_SZ, L"1"}},
       true},
      {"a core level that is text", true, {{kServerLevels, L"ServerCore", 0, REG_SZ, L"1"}}, false},
      // Where the key is there, it decides alone.
      {"core level 0", true, {Level(L"ServerCore", 0), Type(L"Server Core")}, false},
      {"an empty levels key", true, {Type(L"Server Core")}, false},
  };
  for (const auto& c : cases) {
    // The machine as a prefix starts it: no ServerLevels key, no InstallationType.
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kServerLevels, KEY_WOW64_64KEY, 0);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kCurrentVersion, L"InstallationType");
    HKEY levels = nullptr;
    if (c.levelsKey)
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServerLevels, 0, nullptr, 0, KEY_WRITE, nullptr, &levels, nullptr);
    RegCloseKey(levels);
    for (const Value& v : c.values) {
      const bool dword = v.type == REG_DWORD;
      const void* data = dword ? static_cast<const void*>(&v.number) : v.text.c_str();
      const auto size = static_cast<DWORD>(dword ? sizeof v.number : (v.text.size() + 1) * sizeof(wchar_t));
      ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, v.key, v.name, v.type, data, size), ERROR_SUCCESS)
          << c.machine;
    }
    EXPECT_EQ(SystemOsFacts().IsServerCore(), c.core) << c.machine;
  }
}

}  // namespace
}  // namespace rolekit
