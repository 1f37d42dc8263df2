# The fuzz target, in a clang build with the fuzzer's instrumentation: two
# workers, one a core, for half a minute each. The test says so to CTest,
# which then runs nothing beside it on a 2-core machine.
add_executable(rolekit_fuzz tests/fuzz/fuzz_resolve.cpp)
target_link_libraries(rolekit_fuzz PRIVATE rolekit_core rolekit_catalogue_table)
target_link_options(rolekit_fuzz PRIVATE -fsanitize=fuzzer)
set(ROLEKIT_FUZZ_SECONDS 30 CACHE STRING "How long the fuzz test runs")
set(ROLEKIT_FUZZ_WORKERS 2 CACHE STRING "How many fuzzing processes the fuzz test runs at once")
add_test(NAME fuzz.resolve
  COMMAND rolekit_fuzz -fork=${ROLEKIT_FUZZ_WORKERS} -max_total_time=${ROLEKIT_FUZZ_SECONDS} -print_final_stats=1
          ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
set_tests_properties(fuzz.resolve PROPERTIES PROCESSORS ${ROLEKIT_FUZZ_WORKERS})
# The seeds alone, each run once: in fork mode libFuzzer leaves a seed that
# crashes out of its corpus and goes on, so a fault only a seed reaches
# passed the test above.
add_test(NAME fuzz.seeds COMMAND rolekit_fuzz -runs=0 ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus)
