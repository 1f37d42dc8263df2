// libFuzzer target: arbitrary UTF-16 text through the splitting, the
// catalogue and the parameter string, under each of the sixteen combinations
// of answers about the system. The first byte picks the answers; the rest is
// the argument, two bytes (little-endian) a code unit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

OsFacts Answers(bool at62, bool at100, bool workstation, bool core) {
  return {.OsVersionAtLeast = [=](std::uint16_t major, std::uint16_t) { return major >= 10 ? at100 : at62; },
          .IsWorkstation = [=] { return workstation; },
          .IsServerCore = [=] { return core; }};
}

bool IsIdentifier(const std::wstring& token, std::wstring_view identifier) {
  const auto fold = [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
  };
  return std::ranges::equal(token, identifier, {}, fold, fold);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool at62 = (data[0] & 1) != 0;
  const bool at100 = (data[0] & 2) != 0;
  const bool workstation = (data[0] & 4) != 0;
  const bool core = (data[0] & 8) != 0;
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

  // Exactly the parts the answers call for, in DISM's order.
  std::vector<std::wstring_view> parts;
  if (web) {
    parts.insert(parts.end(), {L"web", at62 ? L"web-newer" : L"web-older"});
    if (!core) parts.push_back(L"web-console");
  }
  if (messaging) {
    parts.insert(parts.end(),
                 {L"messaging", workstation || !at100 ? L"messaging-client" : L"messaging-server"});
  }
  const FeatureSet features = rolekit::ResolveFeatures(text, Answers(at62, at100, workstation, core));
  Check(std::ranges::equal(features, rolekit::table::Parts(parts)));

  // The parameter string is the head, a switch for each name of the set in its order, and the tail.
  std::wstring expected(kHead);
  for (const std::wstring_view name : features) expected.append(kSwitch).append(name);
  Check(rolekit::BuildDismArguments(features) == expected.append(kTail));
  return 0;
}
