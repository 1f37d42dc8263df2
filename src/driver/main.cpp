// rolekit: enables the Windows features that the named products need, in one
// elevated run of dism.exe, and exits with that run's exit code.
#include <cstdio>

#include "driver/platform.h"
#include "enablement/enablement.h"
#include "requirements/catalogue.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitNothingToDo = 2;

// Installers read only the exit code; a failed write must not change it, so
// the stream's state is deliberately not looked at.
void WriteLine(const char* line) {
  (void)std::fputs(line, stdout);
  (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
  rolekit::RestrictDllSearch();
  if (argc < 2) {
    WriteLine("Usage: Products");
    WriteLine("rolekit.exe Product1,Product2");
    return kExitUsage;
  }
  const std::wstring products = rolekit::WidenArgument(argv[1]);
  const rolekit::FeatureSet features = rolekit::ResolveFeatures(products, rolekit::SystemOsFacts());
  if (features.empty()) {
    WriteLine("No features required");
    return kExitNothingToDo;
  }
  // The full 32 bits of the tool's code reach ExitProcess through main's int.
  return static_cast<int>(rolekit::EnableFeatures(features));
}
