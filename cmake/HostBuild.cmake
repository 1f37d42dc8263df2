# The native build: the unit tests of the portable core, and its benchmark.
if(BUILD_TESTING)
  include(GoogleTest)
  gtest_discover_tests(rolekit_tests)
endif()

# Timings of the core; run by hand, not part of the tests, and built only
# where Google Benchmark is installed.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(rolekit_bench tests/bench/bench_resolve.cpp)
  target_link_libraries(rolekit_bench PRIVATE rolekit_core benchmark::benchmark)
endif()
