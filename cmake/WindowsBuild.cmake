# The Windows build: rolekit.exe, its release and the tests that run it under Wine.
# The Debian interpreter, for every script of the build and its checks:
# they import Debian's Python modules, which another python3 would not see.
set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Debian's Python interpreter")
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The Win32 layer.
add_library(rolekit_win32 STATIC
  src/driver/platform_win32.cpp
  src/requirements/os_facts_win32.cpp
  src/enablement/enablement_win32.cpp)
target_link_libraries(rolekit_win32 PUBLIC rolekit_core shell32 advapi32 PRIVATE rolekit_warnings)
target_compile_definitions(rolekit_win32 PUBLIC UNICODE _UNICODE)

# The manifest and the version block.
enable_language(RC)
set(ROLEKIT_MANIFEST ${PROJECT_SOURCE_DIR}/res/rolekit.manifest)
configure_file(res/rolekit.rc.in rolekit.rc @ONLY)
# CMake learns nothing of the files windres reads: without this an edited
# manifest would leave a stale one in the program.
set_source_files_properties(${PROJECT_BINARY_DIR}/rolekit.rc PROPERTIES OBJECT_DEPENDS ${ROLEKIT_MANIFEST})
add_executable(rolekit src/driver/main.cpp ${PROJECT_BINARY_DIR}/rolekit.rc)
target_link_libraries(rolekit PRIVATE rolekit_win32 rolekit_warnings)
# The link map says which archives went into the file: the notices and the
# bill of materials are made from it.
target_link_options(rolekit PRIVATE LINKER:-Map=${PROJECT_BINARY_DIR}/rolekit.map)

# The release and the example installers in it; the demo builds without
# them, and without the tools they need.
option(ROLEKIT_RELEASE "Build the example installers and the release" ON)
if(BUILD_TESTING AND NOT ROLEKIT_RELEASE)
  message(FATAL_ERROR "the tests run the release: configure with ROLEKIT_RELEASE=ON")
endif()
if(ROLEKIT_RELEASE)
  include(cmake/ReleaseFiles.cmake)
  include(cmake/Provenance.cmake)
  include(cmake/BillOfMaterials.cmake)
  add_subdirectory(examples examples-build)
  include(cmake/Release.cmake)
endif()

# The Wine harness's programs, which tools/demo needs too, and the tests.
add_subdirectory(tests/wine)
if(BUILD_TESTING)
  add_subdirectory(tests/release)
  add_test(NAME lint.clang-tidy COMMAND ${PROJECT_SOURCE_DIR}/tools/lint clang-tidy ${PROJECT_BINARY_DIR})
  add_test(NAME lint.cppcheck COMMAND ${PROJECT_SOURCE_DIR}/tools/lint cppcheck)
  add_test(NAME lint.workflows COMMAND ${PROJECT_SOURCE_DIR}/tools/lint workflows ${PROJECT_BINARY_DIR})
endif()
