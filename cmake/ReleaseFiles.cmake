# The release's file names, by what each file is (ROLEKIT_FILE_ZIP,
# ROLEKIT_FILE_SETUP_X86, ...), from cmake/release-files.tsv, which the tests
# and tools/verify-release read too.
set(table ${CMAKE_CURRENT_LIST_DIR}/release-files.tsv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
file(STRINGS ${table} rows)
list(POP_FRONT rows)
set(ROLEKIT_FILES)
foreach(row IN LISTS rows)
  string(REPLACE "\t" ";" row "${row}")
  list(GET row 0 what)
  list(GET row 1 name)
  string(TOUPPER "${what}" what)
  string(REPLACE "-" "_" what "${what}")
  string(REPLACE "@VERSION@" "${PROJECT_VERSION}" ROLEKIT_FILE_${what} "${name}")
  string(APPEND ROLEKIT_FILES "set(ROLEKIT_FILE_${what} \"${ROLEKIT_FILE_${what}}\")\n")
endforeach()
