# The server client: request frame and operations over a transport port (no Qt). Its
# Qt Network transport is declared with the other Linux adapters in linux.cmake.

add_library(nimbrella_network STATIC
  ${CMAKE_CURRENT_LIST_DIR}/network/HttpTransport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network/APIError.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network/ApiClient.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network/BrowserHandoff.cpp)
target_include_directories(nimbrella_network PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrella_network PUBLIC nimbrella_core_records nimbrella_core_signer OpenSSL::Crypto)
set_target_properties(nimbrella_network PROPERTIES AUTOMOC OFF)

nimbrella_test(api_client_test LABEL network
  SOURCES ${PROJECT_SOURCE_DIR}/tests/network/api_client_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/support/Simulation.cpp
  LIBS nimbrella_controller)

nimbrella_fuzzer(fuzz_api_frame
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/api_frame.cpp
  LIBS nimbrella_network)

nimbrella_benchmark(bench_api_frame
  SOURCES ${PROJECT_SOURCE_DIR}/bench/api_frame.cpp
  LIBS nimbrella_network)

foreach(_pure_target api_client_test fuzz_api_frame bench_api_frame)
  if(TARGET ${_pure_target})
    set_target_properties(${_pure_target} PROPERTIES AUTOMOC OFF)
  endif()
endforeach()
