# Wire records, JSON decoding helpers, internet dates and the server endpoint.

add_library(nimbrella_core_records STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WireRecords.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InternetDate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SafeEndpoint.cpp)
target_link_libraries(nimbrella_core_records PUBLIC nimbrella_core_base nlohmann_json::nlohmann_json)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_records)

nimbrella_test(records_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/records_test.cpp
  LIBS nimbrella_core_records)

foreach(_records_fuzzer lease_decode device_decode complete_decode endpoint date)
  nimbrella_fuzzer(fuzz_${_records_fuzzer}
    SOURCES ${PROJECT_SOURCE_DIR}/fuzz/${_records_fuzzer}.cpp
    LIBS nimbrella_core_records)
endforeach()

nimbrella_benchmark(bench_records
  SOURCES ${PROJECT_SOURCE_DIR}/bench/records.cpp
  LIBS nimbrella_core_records)
