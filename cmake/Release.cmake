# The release, made by cmake --workflow --preset release in
# build/windows/release/: rolekit-<version>-win64.zip with the executable,
# the batch recipe, the detection script, the README, the changelog, the
# LICENSE, the third-party notices and the SPDX bill of materials, all at its
# root (the recipe runs the rolekit.exe beside it), and the documentation
# pages in docs/, where the README's links find them; the pages for whoever
# builds rolekit, in docs/developing/, stay in the source tree. Beside the
# zip: its SHA-256 sum, the bill of materials again, the buildinfo and the
# example installers built around the release's own rolekit.exe. Signing is
# asked for in the environment of one cpack run (ReleasePreBuild.cmake), so
# it never outlives that release.
#
# Every text file of the zip has CRLF line endings: cmd needs them in the
# recipe, and Notepad before Windows 10 1809 in the rest (the notices are
# written so).
file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(text ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
         ${PROJECT_SOURCE_DIR}/examples/cmd/enable-features.cmd
         ${PROJECT_SOURCE_DIR}/examples/detect/detect-features.ps1)
set(crlf ${text})
list(TRANSFORM crlf REPLACE ".*/" "${PROJECT_BINARY_DIR}/crlf/")
set(crlf_pages ${pages})
list(TRANSFORM crlf_pages REPLACE ".*/" "${PROJECT_BINARY_DIR}/crlf/docs/")
add_custom_command(OUTPUT ${crlf} ${crlf_pages}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/crlf/docs
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/crlf.py ${PROJECT_BINARY_DIR}/crlf ${text}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/crlf.py ${PROJECT_BINARY_DIR}/crlf/docs ${pages}
  DEPENDS ${text} ${pages} ${CMAKE_CURRENT_LIST_DIR}/crlf.py VERBATIM)
add_custom_target(release_text ALL DEPENDS ${crlf} ${crlf_pages})
install(TARGETS rolekit RUNTIME DESTINATION .)
install(FILES ${crlf} ${ROLEKIT_NOTICES} ${ROLEKIT_SPDX} DESTINATION .)
install(FILES ${crlf_pages} DESTINATION docs)

# The installers' tools: the release is not made without them
# (ReleasePreBuild.cmake), and the tests of the installers need them too.
find_program(MAKENSIS makensis)
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
find_program(FAKETIME faketime)
foreach(tool IN ITEMS MAKENSIS WIXL MSIBUILD FAKETIME)
  if(NOT ${tool})
    string(TOLOWER ${tool} name)
    message(WARNING "${name} was not found: cpack makes no release without it, and the tests of the example "
                    "installers are left out. tools/install-deps installs it; configure again after.")
  endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode)
# CPack hands its scripts only its own variables: everything else they need,
# the built files' paths included, is written here for them to read.
string(CONFIGURE [[
set(ROLEKIT_VERSION "@PROJECT_VERSION@")
set(ROLEKIT_SOURCE_COMMIT "@ROLEKIT_SOURCE_COMMIT@")
set(ROLEKIT_SOURCE_MODIFIED "@ROLEKIT_SOURCE_MODIFIED@")
set(ROLEKIT_SOURCE_DATE_EPOCH "@ROLEKIT_SOURCE_DATE_EPOCH@")
set(ROLEKIT_SOURCE_DIR "@PROJECT_SOURCE_DIR@")
set(ROLEKIT_RELEASE_DIR "@PROJECT_BINARY_DIR@/release")
set(ROLEKIT_CMAKE "@CMAKE_COMMAND@")
set(ROLEKIT_PYTHON "@Python3_EXECUTABLE@")
set(ROLEKIT_SPDX "@ROLEKIT_SPDX@")
set(ROLEKIT_NOTICES "@ROLEKIT_NOTICES@")
set(ROLEKIT_CUSTOM_ACTION_DLL "$<TARGET_FILE:rolekit_custom_action>")
set(ROLEKIT_OSSLSIGNCODE "@OSSLSIGNCODE@")
set(ROLEKIT_MAKENSIS "@MAKENSIS@")
set(ROLEKIT_WIXL "@WIXL@")
set(ROLEKIT_MSIBUILD "@MSIBUILD@")
set(ROLEKIT_FAKETIME "@FAKETIME@")
@ROLEKIT_FILES@]] inputs @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/release-inputs.cmake CONTENT "${inputs}")

set(CPACK_GENERATOR ZIP)
string(REGEX REPLACE "\\.zip$" "" CPACK_PACKAGE_FILE_NAME ${ROLEKIT_FILE_ZIP})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# CPack works in a folder of its own and leaves the zip in release/, where
# the scripts put the rest of the release together.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/cpack)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/release)
set(CPACK_ROLEKIT_INPUTS ${PROJECT_BINARY_DIR}/release-inputs.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/ReleasePreBuild.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/ReleasePostBuild.cmake)
include(CPack)
