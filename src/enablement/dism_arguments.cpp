#include "enablement/enablement.h"

namespace rolekit {

std::wstring BuildDismArguments(const FeatureSet& features) {
  std::wstring arguments = L"/Online /Enable-Feature";
  for (const std::wstring_view name : features) {
    arguments += L" /FeatureName:";
    arguments += name;
  }
  arguments += L" /Quiet /NoRestart";
  return arguments;
}

}  // namespace rolekit
