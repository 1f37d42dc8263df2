// What the entry asks of the platform about its own process.
#pragma once

#include <string>

namespace rolekit {

// Makes the system folder the only place this process loads DLLs from, so a
// DLL dropped beside the program (often a downloads folder, and the program
// runs elevated) or in the current folder is never loaded into it.
void RestrictDllSearch();

// The narrow argument in the thread's ANSI code page, as wide text; empty when
// the argument is empty or cannot be converted.
std::wstring WidenArgument(const char* narrow);

}  // namespace rolekit
