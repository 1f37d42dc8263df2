// libFuzzer target: arbitrary UTF-16 text through the splitting, the
// catalogue and the parameter string, under each of the sixteen combinations
// of answers about the system. The first byte picks the answers; the rest is
// the argument, two bytes (little-endian) a code unit.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "catalogue_table.h"
#include "enablement/enablement.h"
#include "requirements/catalogue.h"

namespace {

using rolekit::FeatureSet;
using rolekit::OsFacts;

constexpr std::wstring_view kHead = L"/Online /Enable-Feature";
constexpr std::wstring_view kSwitch = L" /FeatureName:";
constexpr std::wstring_view kTail = L" /Quiet /NoRestart";

void Check(bool holds) {
  if (!holds) std::abort();
}

OsFacts Answers(std::uint8_t bits) {
  const bool at62 = (bits & 1) != 0;
  const bool at100 = (bits & 2) != 0;
  const bool workstation = (bits & 4) != 0;
  const bool core = (bits & 8) != 0;
  return {.OsVersionAtLeast = [=](std::uint16_t major, std::uint16_t) { return major >= 10 ? at100 : at62; },
          .IsWorkstation = [=] { return workstation; },
          .IsServerCore = [=] { return core; }};
}

// Every feature name the tests' table gives.
const std::set<std::wstring_view> kCatalogue = [] {
  std::set<std::wstring_view> names;
  for (const auto& row : rolekit::table::kRows) {
    if (!row.part.starts_with(L"products"))
      std::ranges::copy(rolekit::table::Part(row.part), std::inserter(names, names.end()));
  }
  return names;
}();

const std::vector<std::wstring_view> kWeb = rolekit::table::Part(L"web");
const std::vector<std::wstring_view> kConsole = rolekit::table::Part(L"web-console");
const std::vector<std::wstring_view> kMessaging = rolekit::table::Part(L"messaging");

// Whether the set has every one of the names, or none of them.
bool Holds(const FeatureSet& features, const std::vector<std::wstring_view>& names, bool wanted) {
  return std::ranges::all_of(names,
                             [&](std::wstring_view name) { return features.contains(name) == wanted; });
}

bool IsIdentifier(const std::wstring& token, std::wstring_view identifier) {
  const auto fold = [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
  };
  return std::ranges::equal(token, identifier, {}, fold, fold);
}

bool OrdinalLess(std::wstring_view a, std::wstring_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
    return static_cast<std::uint16_t>(x) < static_cast<std::uint16_t>(y);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t bits = data[0] & 15;
  std::wstring text;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }

  // The tokens are the comma-free runs of the text, nothing dropped or added.
  const rolekit::ProductList tokens = rolekit::SplitProducts(text, L",");
  std::wstring joined;
  for (const std::wstring_view token : tokens) {
    Check(!token.empty() && token.find(L',') == std::wstring_view::npos);
    joined += token;
  }
  std::wstring withoutCommas = text;
  std::erase(withoutCommas, L',');
  Check(joined == withoutCommas);

  // Which lists the text asks for, read the plain way.
  bool web = false;
  bool messaging = false;
  std::wstring token;
  for (const wchar_t c : text + L',') {
    if (c != L',') {
      token.push_back(c);
      continue;
    }
    const auto named = [&](std::wstring_view part) {
      return std::ranges::any_of(rolekit::table::Part(part),
                                 [&](auto id) { return IsIdentifier(token, id); });
    };
    web = web || named(L"products-web");
    messaging = messaging || named(L"products-messaging");
    token.clear();
  }

  const FeatureSet features = rolekit::ResolveFeatures(text, Answers(bits));
  const std::size_t webSize = ((bits & 1) != 0 ? 25 : 26) - ((bits & 8) != 0 ? 1 : 0);
  const std::size_t messagingSize = (bits & 4) != 0 || (bits & 2) == 0 ? 14 : 15;
  Check(features.size() == (web ? webSize : 0) + (messaging ? messagingSize : 0));
  Check(Holds(features, kWeb, web));
  Check(Holds(features, kMessaging, messaging));
  Check(Holds(features, kConsole, web && (bits & 8) == 0));
  Check(std::ranges::all_of(features, [](std::wstring_view name) { return kCatalogue.contains(name); }));
  Check(std::ranges::adjacent_find(features, [](auto a, auto b) { return !OrdinalLess(a, b); }) ==
        features.end());

  // The parameter string reads back as exactly the set, in its order.
  const std::wstring arguments = rolekit::BuildDismArguments(features);
  Check(arguments.starts_with(kHead) && arguments.ends_with(kTail));
  std::wstring_view middle(arguments);
  middle = middle.substr(kHead.size(), middle.size() - kHead.size() - kTail.size());
  auto expected = features.begin();
  while (!middle.empty()) {
    Check(middle.starts_with(kSwitch) && expected != features.end());
    middle.remove_prefix(kSwitch.size());
    const std::size_t end = std::min(middle.find(kSwitch), middle.size());
    Check(middle.substr(0, end) == *expected++);
    middle.remove_prefix(end);
  }
  Check(expected == features.end());
  return 0;
}
