#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue_table.h"
#include "enablement/enablement.h"

namespace rolekit {
namespace {

OsFacts Fixed(bool at62, bool workstation, bool at100) {
  return {.OsVersionAtLeast = [=](std::uint16_t major, std::uint16_t) { return major >= 10 ? at100 : at62; },
          .IsWorkstation = [=] { return workstation; },
          .IsServerCore = [] { return false; }};
}

TEST(BuildDismArguments, JoinsHeadOneSwitchPerNameAndTail) {
  EXPECT_EQ(BuildDismArguments({L"Name"}), L"/Online /Enable-Feature /FeatureName:Name /Quiet /NoRestart");
  // In the set's order: uppercase before lowercase, a prefix before its longer names.
  EXPECT_EQ(BuildDismArguments({L"IIS-ApplicationDevelopment", L"MSMQ-Services", L"IIS-ASPNET45", L"MSMQ"}),
            L"/Online /Enable-Feature /FeatureName:IIS-ASPNET45 /FeatureName:IIS-ApplicationDevelopment"
            L" /FeatureName:MSMQ /FeatureName:MSMQ-Services /Quiet /NoRestart");
}

TEST(BuildDismArguments, HasTheLengthsOfTheCatalogueSets) {
  const struct {
    std::wstring_view products;
    OsFacts os;
    std::vector<std::wstring_view> names;
    std::size_t length;
  } cases[] = {
      {L"Kestrel", Fixed(true, true, false), table::Parts({L"web", L"web-console", L"web-newer"}), 873},
      {L"Kestrel,Orrery", Fixed(false, true, false),
       table::Parts({L"web", L"web-console", L"web-older", L"messaging", L"messaging-client"}), 1321},
  };
  for (const auto& c : cases) {
    std::wstring expected = L"/Online /Enable-Feature";
    for (const std::wstring_view name : c.names) expected.append(L" /FeatureName:").append(name);
    expected += L" /Quiet /NoRestart";
    const std::wstring arguments = BuildDismArguments(ResolveFeatures(c.products, c.os));
    EXPECT_EQ(arguments, expected);
    EXPECT_EQ(arguments.size(), c.length) << std::wstring(c.products);
  }
}

}  // namespace
}  // namespace rolekit
