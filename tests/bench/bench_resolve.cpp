// Resolution plus the parameter string, from a short argument to the longest
// argument of identifiers a Windows command line can carry.
#include <benchmark/benchmark.h>

#include <string>

#include "enablement/enablement.h"
#include "requirements/catalogue.h"

namespace {

// 32,767 units with the NUL, less "rolekit.exe " before the argument.
constexpr std::size_t kLongest = 32767 - 1 - 12;

std::wstring Identifiers(std::size_t length) {
  std::wstring text;
  while (text.size() < length) text += L"Kestrel,Orrery,";
  text.resize(length);
  return text;
}

void ResolveAndBuild(benchmark::State& state, std::wstring argument) {
  const rolekit::OsFacts os{.OsVersionAtLeast = [](std::uint16_t, std::uint16_t) { return true; },
                            .IsWorkstation = [] { return true; },
                            .IsServerCore = [] { return false; }};
  for (auto _ : state) {
    std::wstring parameters = rolekit::BuildDismArguments(rolekit::ResolveFeatures(argument, os));
    benchmark::DoNotOptimize(parameters);
  }
  state.SetLabel(std::to_string(argument.size()) + " units");
}

BENCHMARK_CAPTURE(ResolveAndBuild, Pair, std::wstring(L"Kestrel,Orrery"));
BENCHMARK_CAPTURE(ResolveAndBuild, HalfLongest, Identifiers(kLongest / 2));
BENCHMARK_CAPTURE(ResolveAndBuild, Longest, Identifiers(kLongest));

}  // namespace

BENCHMARK_MAIN();
