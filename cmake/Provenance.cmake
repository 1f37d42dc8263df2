# Where a release comes from, recorded in its bill of materials and buildinfo:
# the commit it was built from, whether the checkout had changes that are not
# committed, and the one time that everything the release dates carries (the
# bill of materials, the archive's entries, the installers).
# ROLEKIT_SOURCE_COMMIT and SOURCE_DATE_EPOCH when the builder sets them, else
# the commit being built and its time. Never the build's own clock, so that
# the same sources give the same bytes at any time.
execute_process(COMMAND git log -1 --format=%H%n%ct
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} RESULT_VARIABLE result
  OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(ROLEKIT_SOURCE_COMMIT $ENV{ROLEKIT_SOURCE_COMMIT})
set(ROLEKIT_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
if(result EQUAL 0)
  string(REPLACE "\n" ";" head "${head}")
  list(GET head 0 commit)
  list(GET head 1 epoch)
  if(NOT ROLEKIT_SOURCE_COMMIT)
    set(ROLEKIT_SOURCE_COMMIT ${commit})
  endif()
  if(NOT ROLEKIT_SOURCE_DATE_EPOCH)
    set(ROLEKIT_SOURCE_DATE_EPOCH ${epoch})
  endif()
  # A new commit or checkout changes both: configure again then.
  execute_process(COMMAND git rev-parse --absolute-git-dir
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(EXISTS ${git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
  endif()
endif()
if(NOT ROLEKIT_SOURCE_COMMIT OR NOT ROLEKIT_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "A release names its commit and its time: in a tree that is no git checkout, set "
                      "ROLEKIT_SOURCE_COMMIT to the full commit id and SOURCE_DATE_EPOCH to seconds since 1970 "
                      "(now '${ROLEKIT_SOURCE_COMMIT}' and '${ROLEKIT_SOURCE_DATE_EPOCH}')")
endif()
# Only the full id names one commit for good, and only it can be checked
# against a checkout: an abbreviated one may match several commits later.
string(LENGTH "${ROLEKIT_SOURCE_COMMIT}" length)
if(NOT ROLEKIT_SOURCE_COMMIT MATCHES "^[0-9a-f]+$" OR NOT length EQUAL 40)
  message(FATAL_ERROR "ROLEKIT_SOURCE_COMMIT must be the full commit id, 40 hex digits in lower case, "
                      "as git rev-parse HEAD prints it (now '${ROLEKIT_SOURCE_COMMIT}')")
endif()

# Whether the checkout has changes to its tracked files is asked at every
# build, not at configure time: an edit after configuring must show too. The
# answer, "yes" or "no", is rewritten only when it changes, so that what
# depends on it is made again only then.
set(ROLEKIT_SOURCE_MODIFIED ${PROJECT_BINARY_DIR}/source-modified.txt)
add_custom_target(source_state
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DOUTPUT=${ROLEKIT_SOURCE_MODIFIED}
          -P ${CMAKE_CURRENT_LIST_DIR}/SourceModified.cmake
  BYPRODUCTS ${ROLEKIT_SOURCE_MODIFIED} VERBATIM)
