// The questions the catalogue asks about the running system.
#pragma once

#include <cstdint>
#include <functional>

namespace rolekit {

// Passed to the catalogue as a value, so that tests can give any answers (and
// count the questions); the program answers them from the platform.
struct OsFacts {
  // True when the system's (major, minor, service pack) is at least (major, minor, 0).
  std::function<bool(std::uint16_t major, std::uint16_t minor)> OsVersionAtLeast;
  // True on a client edition; false on a server or a domain controller.
  std::function<bool()> IsWorkstation;
  // True on a Windows Server installed, or left, without its desktop (Server
  // Core, the servercore container images), which cannot have the IIS
  // Management Console; false wherever the system does not say so plainly.
  std::function<bool()> IsServerCore;
};

// The answers the platform gives this process.
OsFacts SystemOsFacts();

}  // namespace rolekit
