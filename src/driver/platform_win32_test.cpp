#include <gtest/gtest.h>

#include <string>

#include "driver/platform.h"
#include "win32.h"

namespace rolekit {
namespace {

TEST(WidenArgument, KeepsAsciiAsItIs) {
  EXPECT_EQ(WidenArgument(""), L"");
  EXPECT_EQ(WidenArgument("Kestrel,Orrery"), L"Kestrel,Orrery");
  EXPECT_EQ(WidenArgument(" ,;\t/?"), L" ,;\t/?");
  const std::string longest(32766, ',');
  EXPECT_EQ(WidenArgument(longest.c_str()), std::wstring(32766, L','));
}

TEST(RestrictDllSearch, LoadsNothingFromTheProgramsFolder) {
  // The build puts rolekit_planted.dll beside this test program.
  const HMODULE planted =
      LoadLibraryExW(L"rolekit_planted.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  ASSERT_NE(planted, nullptr) << "the planted DLL is missing or cannot load";
  ASSERT_TRUE(FreeLibrary(planted));

  RestrictDllSearch();
  const HMODULE loaded = LoadLibraryW(L"rolekit_planted.dll");
  const DWORD error = GetLastError();
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_NE(LoadLibraryW(L"version.dll"), nullptr) << "system DLLs still load";
}

}  // namespace
}  // namespace rolekit
