# GoogleTest for the unit tests: Debian's library on the host; for Windows,
# built from Debian's source package with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(ROLEKIT_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ROLEKIT_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # The win32 thread model's C++ runtime has no std::mutex, on which
  # GoogleTest builds one helper: it gets a Win32 one.
  target_compile_options(gtest PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/gtest_notification_win32.h)
else()
  find_package(GTest 1.12 REQUIRED)
endif()
