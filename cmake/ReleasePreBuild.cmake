# Run by CPack before it archives: starts the release folder afresh, makes
# the staged rolekit.exe the release's own, then builds the example installers
# around that very file, into the release folder.
#
# Signing is asked for in the environment of this cpack run only, so the next
# plain run makes an unsigned release again: ROLEKIT_SIGNING_PFX names the
# PKCS#12 file, ROLEKIT_SIGNING_PASSWORD holds its password and
# ROLEKIT_TIMESTAMP_URL names the RFC 3161 server that timestamps every
# signature, so that each stays valid after the certificate expires.
# rolekit.exe is signed first, then each installer. The password goes to
# osslsigncode through a pipe, never onto a command line or into a file; it
# reads the pipe as /dev/stdin, which Debian 12's osslsigncode 2.5 opens like
# any file ("-readpass -" means standard input only from 2.9 on).
#
# tools/verify-release sets ROLEKIT_RELEASE_EXE instead, to a release's signed
# rolekit.exe, to rebuild that release's installers around it.
include(${CPACK_ROLEKIT_INPUTS})

# A release is whole or not made at all: without one of the installers'
# tools, no release folder is left behind.
file(REMOVE_RECURSE ${ROLEKIT_RELEASE_DIR})
foreach(tool IN ITEMS MAKENSIS WIXL MSIBUILD FAKETIME)
  if(NOT ROLEKIT_${tool})
    string(TOLOWER ${tool} name)
    message(FATAL_ERROR "a release needs ${name}, which was not found when the build was configured: "
                        "run tools/install-deps, then configure, build and cpack again")
  endif()
endforeach()

# The release says what the build saw of the checkout: sources changed since
# then would make it say something untrue.
execute_process(
  COMMAND ${ROLEKIT_CMAKE} -DSOURCE=${ROLEKIT_SOURCE_DIR} -DOUTPUT=${CPACK_TOPLEVEL_DIRECTORY}/source-modified.txt
          -P ${CMAKE_CURRENT_LIST_DIR}/SourceModified.cmake
  COMMAND_ERROR_IS_FATAL ANY)
file(READ ${CPACK_TOPLEVEL_DIRECTORY}/source-modified.txt now)
file(READ ${ROLEKIT_SOURCE_MODIFIED} built)
if(NOT now STREQUAL built)
  message(FATAL_ERROR "the checkout's local changes are not what the build saw: build again, then run cpack")
endif()

function(rolekit_sign file)
  foreach(setting IN ITEMS ROLEKIT_SIGNING_PASSWORD ROLEKIT_TIMESTAMP_URL)
    if(NOT DEFINED ENV{${setting}})
      message(FATAL_ERROR "ROLEKIT_SIGNING_PFX is set, so ${setting} must be too")
    endif()
  endforeach()
  if(NOT ROLEKIT_OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode, which was not found at configure time")
  endif()
  execute_process(
    COMMAND sh -c [[printf '%s\n' "$ROLEKIT_SIGNING_PASSWORD" | "$0" sign -pkcs12 "$1" -readpass /dev/stdin -h sha256 -n rolekit -ts "$ROLEKIT_TIMESTAMP_URL" -in "$2" -out "$2.signed"]]
            ${ROLEKIT_OSSLSIGNCODE} $ENV{ROLEKIT_SIGNING_PFX} ${file}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "osslsigncode could not sign ${file}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/rolekit.exe")
list(LENGTH staged count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one rolekit.exe staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
if(DEFINED ENV{ROLEKIT_RELEASE_EXE})
  file(COPY_FILE $ENV{ROLEKIT_RELEASE_EXE} ${staged})
elseif(DEFINED ENV{ROLEKIT_SIGNING_PFX})
  rolekit_sign(${staged})
endif()

file(MAKE_DIRECTORY ${ROLEKIT_RELEASE_DIR})
set(targets amd64-unicode x86-unicode)
set(setups ${ROLEKIT_RELEASE_DIR}/${ROLEKIT_FILE_SETUP} ${ROLEKIT_RELEASE_DIR}/${ROLEKIT_FILE_SETUP_X86})
set(msi ${ROLEKIT_RELEASE_DIR}/${ROLEKIT_FILE_MSI})
set(installers ${setups} ${msi})
foreach(target setup IN ZIP_LISTS targets setups)
  execute_process(
    COMMAND ${ROLEKIT_CMAKE} -DMAKENSIS=${ROLEKIT_MAKENSIS} -DTARGET=${target} -DROLEKIT_EXE=${staged}
            -DNOTICES=${ROLEKIT_NOTICES} -DOUTPUT=${setup} -P ${CMAKE_CURRENT_LIST_DIR}/BuildNsis.cmake
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/msi)
execute_process(
  COMMAND ${ROLEKIT_CMAKE} -DWIXL=${ROLEKIT_WIXL} -DMSIBUILD=${ROLEKIT_MSIBUILD} -DFAKETIME=${ROLEKIT_FAKETIME}
          -DWXS=${ROLEKIT_SOURCE_DIR}/examples/msi/rolekit.wxs -DVERSION=${ROLEKIT_VERSION}
          -DOUTPUT=${msi} -DROLEKIT_EXE=${staged} -DCUSTOM_ACTION_DLL=${ROLEKIT_CUSTOM_ACTION_DLL}
          -DNOTICES=${ROLEKIT_NOTICES} -DSOURCE_DATE_EPOCH=${ROLEKIT_SOURCE_DATE_EPOCH}
          -P ${CMAKE_CURRENT_LIST_DIR}/BuildMsi.cmake
  WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/msi
  COMMAND_ERROR_IS_FATAL ANY)
if(DEFINED ENV{ROLEKIT_SIGNING_PFX} AND NOT DEFINED ENV{ROLEKIT_RELEASE_EXE})
  foreach(installer IN LISTS installers)
    rolekit_sign(${installer})
  endforeach()
endif()
