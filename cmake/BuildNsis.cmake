# Run by cmake -P: builds the example NSIS installer around a rolekit.exe.
#   MAKENSIS                  the tool
#   TARGET                    amd64-unicode (64-bit) or x86-unicode (32-bit)
#   ROLEKIT_EXE, NOTICES      the files it carries
#   OUTPUT                    the installer to write
#   RUN                       optional: the program it runs instead of the
#                             rolekit.exe it carries (the tests' variant that
#                             cannot start it)
set(run)
if(DEFINED RUN)
  set(run "-DROLEKIT_RUN=${RUN}")
endif()
execute_process(
  COMMAND ${MAKENSIS} -V2 -DTARGET=${TARGET} -DROLEKIT_EXE=${ROLEKIT_EXE} -DNOTICES=${NOTICES} ${run}
          -DOUTFILE=${OUTPUT} ${CMAKE_CURRENT_LIST_DIR}/../examples/nsis/rolekit.nsi
  COMMAND_ERROR_IS_FATAL ANY)
