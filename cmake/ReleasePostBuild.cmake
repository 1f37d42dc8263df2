# Run by CPack after it archives, before it copies the zip into the release
# folder: makes the zip's bytes depend on its contents alone and writes beside
# it its SHA-256 sum, the bill of materials, where deployment tools look for
# it without opening the archive, and the buildinfo, which names the commit
# and every tool version the release was made with, and the sum of every
# other release file.
include(${CPACK_ROLEKIT_INPUTS})
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${ROLEKIT_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/reproducible_zip.py
                          ${archive} ${ROLEKIT_SOURCE_DATE_EPOCH}
                  COMMAND_ERROR_IS_FATAL ANY)
  get_filename_component(name ${archive} NAME)
  file(SHA256 ${archive} digest)
  file(WRITE ${ROLEKIT_RELEASE_DIR}/${ROLEKIT_FILE_SUM} "${digest}  ${name}\n")
endforeach()
file(COPY ${ROLEKIT_SPDX} DESTINATION ${ROLEKIT_RELEASE_DIR})
file(STRINGS ${ROLEKIT_SOURCE_MODIFIED} modified)
file(GLOB files LIST_DIRECTORIES false ${ROLEKIT_RELEASE_DIR}/*.sha256 ${ROLEKIT_RELEASE_DIR}/*.json
                ${ROLEKIT_RELEASE_DIR}/*.exe ${ROLEKIT_RELEASE_DIR}/*.msi)
execute_process(
  COMMAND ${ROLEKIT_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/buildinfo.py
          ${ROLEKIT_RELEASE_DIR}/${ROLEKIT_FILE_BUILDINFO} ${ROLEKIT_VERSION}
          ${ROLEKIT_SOURCE_COMMIT} ${modified} ${ROLEKIT_SOURCE_DATE_EPOCH} ${CPACK_PACKAGE_FILES} ${files}
  COMMAND_ERROR_IS_FATAL ANY)
