# Run by CPack before it archives: Authenticode-signs the staged rolekit.exe.
# The password goes from ROLEKIT_SIGNING_PASSWORD to osslsigncode through a
# pipe, never onto a command line or into a file.
if(NOT DEFINED ENV{ROLEKIT_SIGNING_PASSWORD})
  message(FATAL_ERROR "ROLEKIT_SIGNING_PASSWORD is not set; it holds the password of ${CPACK_ROLEKIT_SIGNING_PFX}")
endif()
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/rolekit.exe")
if(NOT staged)
  message(FATAL_ERROR "no rolekit.exe staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(exe IN LISTS staged)
  execute_process(
    COMMAND sh -c [[printf '%s\n' "$ROLEKIT_SIGNING_PASSWORD" | "$0" sign -pkcs12 "$1" -readpass - -h sha256 -n rolekit -in "$2" -out "$2.signed"]]
            ${CPACK_ROLEKIT_OSSLSIGNCODE} ${CPACK_ROLEKIT_SIGNING_PFX} ${exe}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "osslsigncode could not sign ${exe}")
  endif()
  file(RENAME ${exe}.signed ${exe})
endforeach()
