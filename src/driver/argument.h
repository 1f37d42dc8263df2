// The product argument as the catalogue reads it.
#pragma once

#include <string>

namespace rolekit {

// The narrow argument in the thread's ANSI code page, as wide text; empty when
// the argument is empty or cannot be converted.
std::wstring WidenArgument(const char* narrow);

}  // namespace rolekit
