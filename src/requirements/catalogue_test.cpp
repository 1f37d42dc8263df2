#include "requirements/catalogue.h"

#include "catalogue_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rolekit {
namespace {

using namespace std::literals;
using Names = std::vector<std::wstring_view>;

// What a system says about itself, and how often it was asked.
struct Answers {
  bool at62 = true;
  bool at100 = false;
  bool workstation = true;
  bool core = false;
  int askedVersion62 = 0;
  int askedVersion100 = 0;
  int askedWorkstation = 0;
  int askedCore = 0;
};

OsFacts FactsFrom(Answers& answers) {
  return {.OsVersionAtLeast =
              [&answers](std::uint16_t major, std::uint16_t minor) {
                if (major == 6 && minor == 2) return ++answers.askedVersion62, answers.at62;
                if (major == 10 && minor == 0) return ++answers.askedVersion100, answers.at100;
                ADD_FAILURE() << "unexpected version question " << major << "." << minor;
                return false;
              },
          .IsWorkstation = [&answers] { return ++answers.askedWorkstation, answers.workstation; },
          .IsServerCore = [&answers] { return ++answers.askedCore, answers.core; }};
}

Names Resolve(std::wstring_view argument, Answers answers) {
  const FeatureSet features = ResolveFeatures(argument, FactsFrom(answers));
  return {features.begin(), features.end()};
}

const Names kWebNewer = table::Parts({L"web", L"web-console", L"web-newer"});
const Names kMessagingWorkstation = table::Parts({L"messaging", L"messaging-client"});

TEST(SplitProducts, CutsAtEveryDelimiterAndKeepsNoEmptyToken) {
  const struct {
    std::wstring_view text;
    std::wstring_view delimiters;
    Names tokens;
  } cases[] = {
      {L"", L",", {}},
      {L",", L",", {}},
      {L",,,,", L",", {}},
      {L"Kestrel", L",", {L"Kestrel"}},
      {L",Kestrel,", L",", {L"Kestrel"}},
      {L"Kestrel,,Orrery", L",", {L"Kestrel", L"Orrery"}},
      {L",,a,,,b,,", L",", {L"a", L"b"}},
      {L"Kestrel,Kestrel", L",", {L"Kestrel", L"Kestrel"}},
      {L"Kestrel, Orrery ", L",", {L"Kestrel", L" Orrery "}},
      {L"a;b\tc d", L",", {L"a;b\tc d"}},
      {L"a;b,c;", L",;", {L"a", L"b", L"c"}},
      {L"x", L"", {L"x"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitProducts(c.text, c.delimiters), c.tokens) << std::wstring(c.text);
  }
}

TEST(ResolveFeatures, GivesTheVariantThatTheSystemCalls) {
  const Names newer = {L"web", L"web-console", L"web-newer"};
  const Names older = {L"web", L"web-console", L"web-older"};
  const Names client = {L"messaging", L"messaging-client"};
  const Names server = {L"messaging", L"messaging-server"};
  const auto with = [](Names parts, const Names& more) {
    return parts.insert(parts.end(), more.begin(), more.end()), parts;
  };
  const struct {
    std::wstring_view argument;
    Answers answers;
    Names parts;  // of the tests' table
  } cases[] = {
      {L"Kestrel", {.at62 = true}, newer},
      {L"Tamarind", {.at62 = true}, newer},
      {L"Lanternfly", {.at62 = true}, newer},
      {L"Kestrel,Tamarind,Lanternfly", {.at62 = true}, newer},
      {L"Kestrel", {.at62 = false}, older},
      {L"Lanternfly,Tamarind", {.at62 = false}, older},
      {L"Orrery", {.workstation = true}, client},
      {L"Orrery", {.at100 = false, .workstation = false}, client},
      {L"Orrery", {.at100 = true, .workstation = true}, client},
      {L"Orrery", {.at100 = true, .workstation = false}, server},
      {L"Kestrel,Orrery", {.at62 = true, .workstation = true}, with(newer, client)},
      {L"Orrery,Kestrel", {.at62 = false, .workstation = true}, with(older, client)},
      {L"Kestrel,Orrery", {.at62 = true, .at100 = true, .workstation = false}, with(newer, server)},
      {L"Kestrel,Orrery", {.at62 = false, .at100 = true, .workstation = false}, with(older, server)},
      // Server Core cannot have IIS Manager; it keeps everything else.
      {L"Kestrel,Orrery",
       {.at62 = true, .at100 = true, .workstation = false, .core = true},
       {L"web", L"web-newer", L"messaging", L"messaging-server"}},
      {L"Tamarind", {.at62 = false, .core = true}, {L"web", L"web-older"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Resolve(c.argument, c.answers), table::Parts(c.parts)) << std::wstring(c.argument);
  }
  // Uppercase sorts before lowercase, as DISM is handed the names.
  EXPECT_EQ(Names(kWebNewer.begin(), kWebNewer.begin() + 3),
            (Names{L"IIS-ASPNET45", L"IIS-ApplicationDevelopment", L"IIS-CommonHttpFeatures"}));
}

TEST(ResolveFeatures, MatchesWholeTokensFoldingAsciiCaseOnly) {
  const struct {
    Names expected;
    std::vector<std::wstring_view> arguments;
  } cases[] = {
      {kWebNewer,
       {L"KESTREL", L"kEsTrEl", L"lanternFLY", L",,Kestrel,,", L"Kestrel,Kestrel,KESTREL",
        L"Kestrel, Orrery"}},
      {kMessagingWorkstation, {L"oRRERY", L"Nightjar,Orrery"}},
      // The last four: a fullwidth K, a dotted capital I, the Kelvin sign
      // (which Unicode folds to k), an E with an acute accent.
      {{},
       {L"", L",,,", L"/?", L" Kestrel", L"Kestrel ", L"Kestrel\t", L"Kestrel Orrery", L"Kestrel;Orrery",
        L"Kestrelx", L"Kestre", L"Kestrel\0"sv, L"\uFF2Bestrel", L"Kestre\u0130", L"\u212Aestrel",
        L"Orr\u00C9ry"}},
  };
  for (const auto& c : cases) {
    for (const std::wstring_view argument : c.arguments) {
      EXPECT_EQ(Resolve(argument, {}), c.expected) << std::wstring(argument);
    }
  }
}

TEST(ResolveFeatures, AsksTheSystemAfreshForEveryKnownTokenAndNothingMore) {
  Answers answers{.workstation = true};
  ResolveFeatures(L"Kestrel,x,Orrery,Tamarind,,orrery,Nightjar", FactsFrom(answers));
  EXPECT_EQ(answers.askedVersion62, 2);
  EXPECT_EQ(answers.askedWorkstation, 2);
  EXPECT_EQ(answers.askedVersion100, 0) << "a workstation needs no version question";
  EXPECT_EQ(answers.askedCore, 2) << "asked with list A only";

  Answers server{.workstation = false};
  ResolveFeatures(L"Orrery,Orrery,Orrery", FactsFrom(server));
  EXPECT_EQ(server.askedWorkstation, 3);
  EXPECT_EQ(server.askedVersion100, 3);
  EXPECT_EQ(server.askedVersion62, 0);
  EXPECT_EQ(server.askedCore, 0);

  Answers none;
  ResolveFeatures(L"Nightjar,,/?, Kestrel", FactsFrom(none));
  EXPECT_EQ(none.askedVersion62 + none.askedVersion100 + none.askedWorkstation + none.askedCore, 0);
}

TEST(ResolveFeatures, AnswersThatChangeBetweenTokensGiveBothVariants) {
  int asked = 0;
  const OsFacts flipping{.OsVersionAtLeast = [&](std::uint16_t, std::uint16_t) { return ++asked % 2 == 1; },
                         .IsWorkstation = [] { return false; },
                         .IsServerCore = [&] { return asked % 2 == 1; }};
  const FeatureSet web = ResolveFeatures(L"Kestrel,Kestrel", flipping);
  EXPECT_EQ(Names(web.begin(), web.end()),
            table::Parts({L"web", L"web-console", L"web-newer", L"web-older"}));
}

}  // namespace
}  // namespace rolekit
