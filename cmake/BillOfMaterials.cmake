# THIRD-PARTY-NOTICES.txt and rolekit-<version>-win64.spdx.json, made from the
# link maps of rolekit.exe and of the custom action DLL and from the Debian
# records of the toolchain that built them, so that they name exactly what the
# link took in.
set(ROLEKIT_NOTICES ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
set(ROLEKIT_SPDX ${PROJECT_BINARY_DIR}/${ROLEKIT_FILE_SPDX})
add_custom_command(OUTPUT ${ROLEKIT_NOTICES} ${ROLEKIT_SPDX}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bill_of_materials.py
          --version ${PROJECT_VERSION} --executable $<TARGET_FILE:rolekit>
          --map ${PROJECT_BINARY_DIR}/rolekit.map
          --other-map $<TARGET_FILE_DIR:rolekit_custom_action>/rolekit_custom_action.map
          --date ${ROLEKIT_SOURCE_DATE_EPOCH} --commit ${ROLEKIT_SOURCE_COMMIT}
          --modified ${ROLEKIT_SOURCE_MODIFIED} --notices ${ROLEKIT_NOTICES} --spdx ${ROLEKIT_SPDX}
  DEPENDS rolekit rolekit_custom_action source_state ${ROLEKIT_SOURCE_MODIFIED}
          ${CMAKE_CURRENT_LIST_DIR}/bill_of_materials.py
  COMMENT "Listing the third-party code linked into rolekit.exe" VERBATIM)
add_custom_target(bill_of_materials ALL DEPENDS ${ROLEKIT_NOTICES} ${ROLEKIT_SPDX})
