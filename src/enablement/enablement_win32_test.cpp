#include <gtest/gtest.h>

#include <filesystem>

#include "enablement/enablement.h"
#include "win32.h"

namespace rolekit {
namespace {

// The tests run in a prefix whose system32 holds the recording stand-in for
// dism.exe; it writes what it was given where ROLEKIT_STANDIN_LOG says.
struct StandIn {
  std::filesystem::path log = std::filesystem::temp_directory_path() / "rolekit-win32-tests.log";

  StandIn() {
    std::filesystem::remove(log);
    SetEnvironmentVariableW(L"ROLEKIT_STANDIN_LOG", log.c_str());
  }
  ~StandIn() {
    SetEnvironmentVariableW(L"ROLEKIT_STANDIN_LOG", nullptr);
    SetEnvironmentVariableW(L"ROLEKIT_STANDIN_EXIT", nullptr);
  }
  static void ExitWith(const wchar_t* code) { SetEnvironmentVariableW(L"ROLEKIT_STANDIN_EXIT", code); }
};

// A started stand-in, and a second handle to it with only the given rights.
struct Child {
  PROCESS_INFORMATION info{};
  explicit Child(const wchar_t* exitCode) {
    StandIn::ExitWith(exitCode);
    std::wstring command = GetSystemFolder() + L"\\dism.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    CloseHandle(info.hThread);
  }
  ~Child() {
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
  }
  HANDLE OpenWith(DWORD rights) const { return OpenProcess(rights, FALSE, info.dwProcessId); }
};

TEST(WaitForExitCode, PassesTheFullExitCodeThroughAndClosesTheHandle) {
  StandIn standIn;
  for (const auto& [text, code] : {std::pair{L"0", 0UL},
                                   {L"3010", 3010UL},
                                   {L"0xC0000005", 0xC0000005UL},
                                   {L"0xFFFFFFFF", 0xFFFFFFFFUL}}) {
    Child child(text);
    const HANDLE handle = child.OpenWith(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
    EXPECT_EQ(WaitForExitCode(handle), code);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(handle, &flags));
  }
}

TEST(WaitForExitCode, NeverReportsSuccessItDidNotSee) {
  StandIn standIn;
  EXPECT_EQ(WaitForExitCode(nullptr), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
  {
    Child child(L"0");
    EXPECT_EQ(WaitForExitCode(child.OpenWith(PROCESS_QUERY_LIMITED_INFORMATION)),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED))
        << "the wait fails";
  }
  {
    Child child(L"0");
    EXPECT_EQ(WaitForExitCode(child.OpenWith(SYNCHRONIZE)), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED))
        << "the exit code cannot be read";
  }
}

TEST(RunDism, StartsNothingWithoutTheSystemFolder) {
  StandIn standIn;
  EXPECT_EQ(RunDism(L"", {L"IIS-WebServer"}), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
  // With no error box to show, the shell's real reason comes back.
  EXPECT_EQ(RunDism(L"C:\\windows", {L"IIS-WebServer"}), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RunDism(L"C:\\no-such-folder", {L"IIS-WebServer"}),
            static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists(standIn.log)) << "the stand-in ran";
}

}  // namespace
}  // namespace rolekit
