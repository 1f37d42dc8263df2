# Run by CPack after it archives: puts the bill of materials beside the zip,
# where deployment tools look for it without opening the archive.
file(COPY ${CPACK_ROLEKIT_SPDX} DESTINATION ${CPACK_PACKAGE_DIRECTORY})
