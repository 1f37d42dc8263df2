#include <gtest/gtest.h>

#include "enablement/enablement.h"

namespace rolekit {
namespace {

TEST(BuildDismArguments, JoinsHeadOneSwitchPerNameAndTail) {
  EXPECT_EQ(BuildDismArguments({L"Name"}), L"/Online /Enable-Feature /FeatureName:Name /Quiet /NoRestart");
  // In the set's order: uppercase before lowercase, a prefix before its longer names.
  EXPECT_EQ(BuildDismArguments({L"IIS-ApplicationDevelopment", L"MSMQ-Services", L"IIS-ASPNET45", L"MSMQ"}),
            L"/Online /Enable-Feature /FeatureName:IIS-ASPNET45 /FeatureName:IIS-ApplicationDevelopment"
            L" /FeatureName:MSMQ /FeatureName:MSMQ-Services /Quiet /NoRestart");
}

}  // namespace
}  // namespace rolekit
