# Shared build settings and helpers for every Nimbrella target.

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Woverloaded-virtual -Wimplicit-fallthrough)
if(NIMBRELLA_WERROR)
  add_compile_options(-Werror)
endif()
if(NIMBRELLA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(NIMBRELLA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "NIMBRELLA_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

set_property(GLOBAL PROPERTY NIMBRELLA_FUZZERS "")

# nimbrella_test(NAME LABEL label SOURCES ... LIBS ... [PROPERTIES ...])
# Builds one GoogleTest program and registers each of its tests with CTest under LABEL.
function(nimbrella_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(NOT NIMBRELLA_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT 300 ${T_PROPERTIES})
endfunction()

# nimbrella_fuzzer(NAME SOURCES ... LIBS ...): a libFuzzer program; corpus in fuzz/corpus/NAME.
function(nimbrella_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT NIMBRELLA_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set_property(GLOBAL APPEND PROPERTY NIMBRELLA_FUZZERS ${name})
endfunction()

# nimbrella_benchmark(NAME SOURCES ... LIBS ...): a Google Benchmark program.
function(nimbrella_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT NIMBRELLA_BUILD_BENCHMARKS)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()
