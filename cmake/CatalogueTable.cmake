# The catalogue as the tests state it, apart from the product's own constant
# data: tests/wine/windows-features/catalogue.tsv, which the Wine harness
# reads too, made at configure time into a header of {part, {names}} rows for
# the C++ tests. rolekit_catalogue_table carries its include folder.
set(table ${PROJECT_SOURCE_DIR}/tests/wine/windows-features/catalogue.tsv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
file(STRINGS ${table} rows)
list(POP_FRONT rows)
set(ROLEKIT_CATALOGUE_ROWS "")
foreach(row IN LISTS rows)
  string(REPLACE "\t" ";" cells "${row}")
  list(GET cells 0 part)
  list(GET cells 2 names)
  string(REPLACE " " "\", L\"" names "${names}")
  string(APPEND ROLEKIT_CATALOGUE_ROWS "    {L\"${part}\", {L\"${names}\"}},\n")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/tests/catalogue/catalogue_table.h.in
               ${PROJECT_BINARY_DIR}/catalogue/catalogue_table.h @ONLY)
add_library(rolekit_catalogue_table INTERFACE)
target_include_directories(rolekit_catalogue_table INTERFACE ${PROJECT_BINARY_DIR}/catalogue)
