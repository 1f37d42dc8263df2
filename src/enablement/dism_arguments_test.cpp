#include <gtest/gtest.h>

#include "enablement/enablement.h"

namespace rolekit {
namespace {

OsFacts Fixed(bool at62, bool workstation, bool at100) {
  return {.OsVersionAtLeast = [=](std::uint16_t major, std::uint16_t) { return major >= 10 ? at100 : at62; },
          .IsWorkstation = [=] { return workstation; },
          .IsServerCore = [] { return false; }};
}

TEST(BuildDismArguments, JoinsHeadOneSwitchPerNameAndTail) {
  EXPECT_EQ(BuildDismArguments({L"IIS-WebServerRole"}),
            L"/Online /Enable-Feature /FeatureName:IIS-WebServerRole /Quiet /NoRestart");
  EXPECT_EQ(BuildDismArguments({L"WAS-ProcessModel", L"IIS-WebServer", L"IIS-ASPNET45"}),
            L"/Online /Enable-Feature /FeatureName:IIS-ASPNET45 /FeatureName:IIS-WebServer"
            L" /FeatureName:WAS-ProcessModel /Quiet /NoRestart");
  EXPECT_EQ(BuildDismArguments({L"MSMQ-Services", L"MSMQ"}),
            L"/Online /Enable-Feature /FeatureName:MSMQ /FeatureName:MSMQ-Services /Quiet /NoRestart");
}

TEST(BuildDismArguments, HasTheLengthsOfTheCatalogueSets) {
  const struct {
    std::wstring_view products;
    OsFacts os;
    std::size_t length;
    std::wstring_view head;
    std::wstring_view tail;
  } cases[] = {
      {L"Kestrel", Fixed(true, true, false), 873,
       L"/Online /Enable-Feature /FeatureName:IIS-ASPNET45 /FeatureName:IIS-ApplicationDevelopment ",
       L" /FeatureName:WAS-WindowsActivationService /Quiet /NoRestart"},
      {L"Kestrel,Orrery", Fixed(false, true, false), 1321,
       L"/Online /Enable-Feature /FeatureName:IIS-ASP /FeatureName:IIS-ASPNET "
       L"/FeatureName:IIS-ApplicationDevelopment ",
       L" /FeatureName:WCF-TCP-PortSharing45 /Quiet /NoRestart"},
  };
  for (const auto& c : cases) {
    const std::wstring arguments = BuildDismArguments(ResolveFeatures(c.products, c.os));
    EXPECT_EQ(arguments.size(), c.length) << std::wstring(c.products);
    EXPECT_TRUE(arguments.starts_with(c.head)) << arguments;
    EXPECT_TRUE(arguments.ends_with(c.tail)) << arguments;
  }
}

}  // namespace
}  // namespace rolekit
