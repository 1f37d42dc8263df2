#include "driver/argument.h"

#include <gtest/gtest.h>

#include <string>

namespace rolekit {
namespace {

TEST(WidenArgument, KeepsAsciiAsItIs) {
  EXPECT_EQ(WidenArgument(""), L"");
  EXPECT_EQ(WidenArgument("Kestrel,Orrery"), L"Kestrel,Orrery");
  EXPECT_EQ(WidenArgument(" ,;\t/?"), L" ,;\t/?");
  const std::string longest(32766, ',');
  EXPECT_EQ(WidenArgument(longest.c_str()), std::wstring(32766, L','));
}

}  // namespace
}  // namespace rolekit
