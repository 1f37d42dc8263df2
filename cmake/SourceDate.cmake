# The one time that everything the release dates carries (the bill of
# materials, the archive's entries, the installers): SOURCE_DATE_EPOCH when the
# builder sets it, else the time of the commit being built. Never the build's
# own clock, so that the same sources give the same bytes at any time.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ROLEKIT_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} RESULT_VARIABLE result
    OUTPUT_VARIABLE ROLEKIT_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "The release's date is the commit's, and ${PROJECT_SOURCE_DIR} is no git checkout: "
                        "set SOURCE_DATE_EPOCH to the release's time in seconds since 1970")
  endif()
  # A new commit or checkout changes the date: configure again then.
  execute_process(COMMAND git rev-parse --absolute-git-dir
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(EXISTS ${git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
  endif()
endif()
if(NOT ROLEKIT_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970, not '${ROLEKIT_SOURCE_DATE_EPOCH}'")
endif()
