#include <cstring>
#include <limits>

#include "driver/platform.h"
#include "win32.h"

namespace rolekit {

void RestrictDllSearch() {
  // Looked up rather than imported: Windows 7 has it only with KB2533623, and
  // the program must still start there without it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefault != nullptr) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring WidenArgument(const char* narrow) {
  const std::size_t length = std::strlen(narrow);
  if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
  const int narrowLength = static_cast<int>(length);
  const int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, narrowLength, nullptr, 0);
  if (wideLength <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, narrowLength, wide.data(), wideLength) != wideLength)
    return {};
  return wide;
}

}  // namespace rolekit
