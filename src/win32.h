// The one header that includes <windows.h>. Every Win32 source of the tool
// comes through here, so the macros that trim and shape the platform headers
// are set once and the portable code never sees them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <shellapi.h>
