# The release archive: rolekit-<version>-win64.zip with the executable, the
# README, the LICENSE, the third-party notices, the SPDX bill of materials and
# the batch recipe, at the path the README gives (checked out with CRLF line
# endings, which cmd needs); beside it a SHA-256 sum and the bill of materials
# again (cpack --preset windows).
install(TARGETS rolekit RUNTIME DESTINATION .)
install(FILES README.md LICENSE ${ROLEKIT_NOTICES} ${ROLEKIT_SPDX} DESTINATION .)
install(FILES examples/cmd/enable-features.cmd DESTINATION examples/cmd)

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
set(CPACK_ROLEKIT_SPDX ${ROLEKIT_SPDX})
set(CPACK_ROLEKIT_PYTHON ${PYTHON3})
set(CPACK_ROLEKIT_SOURCE_DATE_EPOCH ${ROLEKIT_SOURCE_DATE_EPOCH})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/ReleasePostBuild.cmake)
include(CPack)
