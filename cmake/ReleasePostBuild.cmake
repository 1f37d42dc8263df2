# Run by CPack after it archives, before it writes the checksum: makes the
# zip's bytes depend on its contents alone, and puts the bill of materials
# beside it, where deployment tools look for it without opening the archive.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${CPACK_ROLEKIT_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/reproducible_zip.py
                          ${archive} ${CPACK_ROLEKIT_SOURCE_DATE_EPOCH}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(COPY ${CPACK_ROLEKIT_SPDX} DESTINATION ${CPACK_PACKAGE_DIRECTORY})
