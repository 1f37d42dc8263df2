# Run at build time (cmake -P): writes to OUTPUT "yes" when the checkout at
# SOURCE has changes to its tracked files that are not committed, else "no",
# rewriting the file only when the answer changes. A tree that is no git
# checkout is taken as the commit its builder names.
execute_process(COMMAND git rev-parse --is-inside-work-tree WORKING_DIRECTORY ${SOURCE}
  RESULT_VARIABLE checkout OUTPUT_QUIET ERROR_QUIET)
set(modified no)
if(checkout EQUAL 0)
  execute_process(COMMAND git status --porcelain --untracked-files=no WORKING_DIRECTORY ${SOURCE}
    OUTPUT_VARIABLE changes COMMAND_ERROR_IS_FATAL ANY)
  if(changes)
    set(modified yes)
  endif()
endif()
file(WRITE ${OUTPUT}.new "${modified}\n")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
