# Eligibility checks and the exposure clock with its delivery cadence.

add_library(nimbrella_core_measurement STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Eligibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ExposureClock.cpp)
target_link_libraries(nimbrella_core_measurement PUBLIC nimbrella_core_base)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_measurement)

nimbrella_test(exposure_clock_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/exposure_clock_test.cpp
  LIBS nimbrella_core_measurement)

nimbrella_benchmark(bench_measurement
  SOURCES ${PROJECT_SOURCE_DIR}/bench/measurement.cpp
  LIBS nimbrella_core_measurement)
