# The release archive: rolekit-<version>-win64.zip with the executable, the
# README and the LICENSE, and a SHA-256 sum beside it (cpack --preset windows).
install(TARGETS rolekit RUNTIME DESTINATION .)
install(FILES README.md LICENSE DESTINATION .)

set(ROLEKIT_SIGNING_PFX "" CACHE FILEPATH
  "PKCS#12 file to Authenticode-sign rolekit.exe with before it is archived; the password is read from the environment variable ROLEKIT_SIGNING_PASSWORD")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME rolekit-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
if(ROLEKIT_SIGNING_PFX)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(CPACK_ROLEKIT_SIGNING_PFX ${ROLEKIT_SIGNING_PFX})
  set(CPACK_ROLEKIT_OSSLSIGNCODE ${OSSLSIGNCODE})
  # Signs the staged copy, so the build tree keeps the reproducible, unsigned file.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/SignRelease.cmake)
endif()
include(CPack)
