// Enabling a set of features in one hidden, elevated run of dism.exe.
#pragma once

#include <cstdint>
#include <string>

#include "requirements/catalogue.h"

namespace rolekit {

// "/Online /Enable-Feature /FeatureName:<name>... /Quiet /NoRestart", the
// names in the set's order and verbatim.
std::wstring BuildDismArguments(const FeatureSet& features);

// The Windows system folder, or empty text when the platform cannot say.
std::wstring GetSystemFolder();

// Starts file with verb, hidden, waits for it without limit and returns its
// exit code; a launch, wait or read that fails returns the platform's error
// code instead, never 0.
std::uint32_t RunElevated(const std::wstring& file, const std::wstring& verb, const std::wstring& parameters,
                          const std::wstring& directory);

// Waits without limit for the process behind handle, closes it and returns
// its exit code, or the platform's error code when there is no handle or the
// wait or the read fails.
std::uint32_t WaitForExitCode(void* process);

// Runs dism.exe from systemFolder for the features; with no folder nothing is
// started and the result is ERROR_PATH_NOT_FOUND.
std::uint32_t RunDism(const std::wstring& systemFolder, const FeatureSet& features);

// RunDism from the running system's own system folder.
std::uint32_t EnableFeatures(const FeatureSet& features);

}  // namespace rolekit
