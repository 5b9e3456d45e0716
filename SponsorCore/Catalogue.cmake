# Interface language and the two message catalogues.

add_library(nimbrella_core_catalogue STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Language.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PopoverCopy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NativeCopy.cpp)
target_link_libraries(nimbrella_core_catalogue PUBLIC nimbrella_core_base)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_catalogue)

nimbrella_test(catalogue_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/catalogue_test.cpp
  LIBS nimbrella_core_catalogue)

nimbrella_fuzzer(fuzz_native_copy
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/native_copy.cpp
  LIBS nimbrella_core_catalogue)

nimbrella_benchmark(bench_catalogue
  SOURCES ${PROJECT_SOURCE_DIR}/bench/catalogue.cpp
  LIBS nimbrella_core_catalogue)
