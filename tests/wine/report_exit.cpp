// Wine hands a Unix parent only the low 8 bits of an exit code, so the tests
// start the program under test from here: this runs the command line in
// ROLEKIT_TEST_COMMAND with this process's standard handles, waits for it, and
// writes its full 32-bit exit code, then the ANSI code page it ran under, in
// decimal on lines of their own, to the file named by the one argument. Its
// own exit code is 0 unless it could not do that; when CreateProcessW fails,
// it writes "error" and the error code instead, and exits with 102.
//
// With ROLEKIT_TEST_STDOUT=closed the program's standard output is a pipe
// whose reading end is already closed, so that every write to it fails.
// ROLEKIT_TEST_WINEDEBUG becomes the program's WINEDEBUG: Wine then traces
// the program and its children only, not this parent or Wine's own services.
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
  wchar_t stdoutMode[16] = L"";
  GetEnvironmentVariableW(L"ROLEKIT_TEST_STDOUT", stdoutMode, 16);
  if (std::wstring(stdoutMode) == L"closed") {
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&reader, &writer, &inherit, 0)) return 106;
    CloseHandle(reader);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  wchar_t trace[1024] = L"";
  if (GetEnvironmentVariableW(L"ROLEKIT_TEST_WINEDEBUG", trace, 1024) > 0)
    SetEnvironmentVariableW(L"WINEDEBUG", trace);
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &process);
  const DWORD error = GetLastError();
  DWORD code = 0;
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &code)) return 103;
  }
  FILE* out = _wfopen(argv[1], L"w");
  if (out == nullptr) return 104;
  if (started)
    std::fprintf(out, "%lu\n%u\n", static_cast<unsigned long>(code), GetACP());
  else
    std::fprintf(out, "error\n%lu\n", static_cast<unsigned long>(error));
  if (std::fclose(out) != 0) return 105;
  return started ? 0 : 102;
}
