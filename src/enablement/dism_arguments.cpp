#include "enablement/enablement.h"

namespace rolekit {

std::wstring BuildDismArguments(const FeatureSet& features) {
  constexpr std::wstring_view kHead = L"/Online /Enable-Feature";
  constexpr std::wstring_view kSwitch = L" /FeatureName:";
  constexpr std::wstring_view kTail = L" /Quiet /NoRestart";

  std::size_t length = kHead.size() + kTail.size();
  for (const std::wstring_view name : features) length += kSwitch.size() + name.size();

  std::wstring arguments;
  arguments.reserve(length);
  arguments += kHead;
  for (const std::wstring_view name : features) {
    arguments += kSwitch;
    arguments += name;
  }
  arguments += kTail;
  return arguments;
}

}  // namespace rolekit
