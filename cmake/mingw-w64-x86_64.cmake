# Cross-build for 64-bit Windows with Debian's mingw-w64, win32 thread model.
# Every program built here is single-threaded: the posix model's C++ runtime
# would link winpthreads in for its exception pool's lock and emulated TLS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program built here must start on a clean Windows (or a bare Wine
# prefix) with no runtime DLL beside it: link the C and C++ runtimes in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here run on Linux under Wine, each in a throwaway prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/winebox.py run)
