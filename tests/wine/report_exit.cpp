// Wine hands a Unix parent only the low 8 bits of an exit code, so the tests
// start the program under test from here: this runs the command line in
// ROLEKIT_TEST_COMMAND with this process's standard handles, waits for it, and
// writes its full 32-bit exit code, in decimal, to the file named by the one
// argument. Its own exit code is 0 unless it could not do that.
#include <cstdio>
#include <string>

#include "win32.h"

int wmain(int argc, wchar_t* argv[]) {
  if (argc != 2) return 100;
  std::wstring command(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"ROLEKIT_TEST_COMMAND", command.data(), 32768);
  if (length == 0 || length >= 32768) return 101;
  command.resize(length);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 102;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return 103;
  FILE* out = _wfopen(argv[1], L"w");
  if (out == nullptr) return 104;
  std::fprintf(out, "%lu\n", static_cast<unsigned long>(code));
  return std::fclose(out) == 0 ? 0 : 105;
}
