#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "requirements/os_facts.h"
#include "win32.h"

namespace rolekit {
namespace {

constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kServerLevels[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Server\\ServerLevels";

struct Value {
  const wchar_t* name;
  DWORD type;
  std::wstring text;  // for the string types
  DWORD number = 0;   // for REG_DWORD
};

HKEY Create(const wchar_t* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

void Set(HKEY key, const Value& value) {
  const DWORD dword = value.number;
  const auto* data = value.type == REG_DWORD ? reinterpret_cast<const BYTE*>(&dword)
                                             : reinterpret_cast<const BYTE*>(value.text.c_str());
  const DWORD size =
      value.type == REG_DWORD ? sizeof dword : static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
  EXPECT_EQ(RegSetValueExW(key, value.name, 0, value.type, data, size), ERROR_SUCCESS);
}

// The machine as a prefix starts it: no ServerLevels key, no InstallationType.
void Forget() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kServerLevels, KEY_WOW64_64KEY, 0);
  const HKEY current = Create(kCurrentVersion);
  RegDeleteValueW(current, L"InstallationType");
  RegCloseKey(current);
}

TEST(SystemOsFacts, IsServerCoreByServerLevelsElseByInstallationType) {
  const DWORD sz = REG_SZ;
  const struct {
    const char* machine;
    bool levelsKey;
    std::vector<Value> levels;
    std::vector<Value> installationType;
    bool core;
  } cases[] = {
      {"nothing said", false, {}, {}, false},
      {"Server Core by type", false, {}, {{L"InstallationType", sz, L"Server Core"}}, true},
      {"Server by type", false, {}, {{L"InstallationType", sz, L"Server"}}, false},
      {"Client by type", false, {}, {{L"InstallationType", sz, L"Client"}}, false},
      {"a longer type", false, {}, {{L"InstallationType", sz, L"Server Core, and more"}}, false},
      {"an expandable type", false, {}, {{L"InstallationType", REG_EXPAND_SZ, L"Server Core"}}, false},
      {"Server Core by levels", true, {{L"ServerCore", REG_DWORD, {}, 1}}, {}, true},
      {"Minimal Server Interface",
       true,
       {{L"ServerCore", REG_DWORD, {}, 1}, {L"Server-Gui-Mgmt", REG_DWORD, {}, 1}},
       {},
       false},
      {"full installation, whatever the type says",
       true,
       {{L"ServerCore", REG_DWORD, {}, 1},
        {L"Server-Gui-Mgmt", REG_DWORD, {}, 1},
        {L"Server-Gui-Shell", REG_DWORD, {}, 1}},
       {{L"InstallationType", sz, L"Server Core"}},
       false},
      {"a GUI level that is text",
       true,
       {{L"ServerCore", REG_DWORD, {}, 1}, {L"Server-Gui-Mgmt", sz, L"1"}},
       {},
       true},
      {"a core level that is text", true, {{L"ServerCore", sz, L"1"}}, {}, false},
      // Where the key is there, it decides alone.
      {"core level 0",
       true,
       {{L"ServerCore", REG_DWORD, {}, 0}},
       {{L"InstallationType", sz, L"Server Core"}},
       false},
      {"an empty levels key", true, {}, {{L"InstallationType", sz, L"Server Core"}}, false},
  };
  for (const auto& c : cases) {
    Forget();
    if (c.levelsKey) {
      const HKEY levels = Create(kServerLevels);
      for (const Value& value : c.levels) Set(levels, value);
      RegCloseKey(levels);
    }
    const HKEY current = Create(kCurrentVersion);
    for (const Value& value : c.installationType) Set(current, value);
    RegCloseKey(current);
    EXPECT_EQ(SystemOsFacts().IsServerCore(), c.core) << c.machine;
  }
  Forget();
}

}  // namespace
}  // namespace rolekit
