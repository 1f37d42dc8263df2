#include <string_view>

#include "requirements/os_facts.h"
#include "win32.h"

namespace rolekit {
namespace {

bool VersionAtLeast(std::uint16_t major, std::uint16_t minor) {
  OSVERSIONINFOEXW wanted{};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  wanted.dwMajorVersion = major;
  wanted.dwMinorVersion = minor;
  wanted.wServicePackMajor = 0;
  DWORDLONG conditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            conditions) != FALSE;
}

bool Workstation() {
  OSVERSIONINFOEXW wanted{};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  wanted.wProductType = VER_NT_WORKSTATION;
  return VerifyVersionInfoW(&wanted, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)) !=
         FALSE;
}

constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kServerLevels[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Server\\ServerLevels";

// Keys are read in the 64-bit view, the system's own: a 32-bit view would
// show redirected keys.
LSTATUS OpenMachineKey(const wchar_t* path, HKEY& key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
}

// A missing value, or one of another type, is not set.
bool IsSet(HKEY key, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS &&
         value == 1;
}

// Microsoft's rule ("Determining Whether Server Core Is Running"): from
// Server 2012 on, ServerLevels holds ServerCore = 1 alone on Server Core, adds
// Server-Gui-Mgmt on the Minimal Server Interface and Server-Gui-Shell on a
// full installation. It says what is installed now, as the desktop can be
// added or removed after setup. Without that key (Server 2008 R2, and
// container images that lack it) InstallationType reads "Server Core" there
// ("Client", "Server" or "Nano Server" elsewhere). Whatever cannot be read
// is no Server Core, so the console is asked for as on any other system.
bool ServerCore() {
  HKEY levels = nullptr;
  const LSTATUS opened = OpenMachineKey(kServerLevels, levels);
  if (opened == ERROR_SUCCESS) {
    const bool core = IsSet(levels, L"ServerCore") && !IsSet(levels, L"Server-Gui-Mgmt") &&
                      !IsSet(levels, L"Server-Gui-Shell");
    RegCloseKey(levels);
    return core;
  }
  HKEY current = nullptr;
  if (opened != ERROR_FILE_NOT_FOUND || OpenMachineKey(kCurrentVersion, current) != ERROR_SUCCESS)
    return false;
  wchar_t type[16] = L"";  // room for "Server Core"; a longer value is another
  DWORD size = sizeof type;
  const bool core = RegGetValueW(current, nullptr, L"InstallationType", RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr,
                                 type, &size) == ERROR_SUCCESS &&
                    std::wstring_view(type) == L"Server Core";
  RegCloseKey(current);
  return core;
}

}  // namespace

OsFacts SystemOsFacts() {
  return {.OsVersionAtLeast = VersionAtLeast, .IsWorkstation = Workstation, .IsServerCore = ServerCore};
}

}  // namespace rolekit
