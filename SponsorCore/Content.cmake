# Menu-bar content: creative validation, logo validation, text measures and placement geometry.
add_library(nimbrella_core_content STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MenuBarContent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CreativeAsset.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MenuBarGeometry.cpp)
target_link_libraries(nimbrella_core_content PUBLIC
  nimbrella_core_base nimbrella_core_records PNG::PNG ZLIB::ZLIB ICU::uc ICU::data)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_content)

nimbrella_test(menu_bar_content_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/menu_bar_content_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
  LIBS nimbrella_core_content ZLIB::ZLIB)

nimbrella_fuzzer(fuzz_png_logo
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/png_logo.cpp
  LIBS nimbrella_core_content)
nimbrella_fuzzer(fuzz_menu_bar_content
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/menu_bar_content.cpp
  LIBS nimbrella_core_content)

nimbrella_benchmark(bench_content
  SOURCES ${PROJECT_SOURCE_DIR}/bench/content.cpp
          ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
  LIBS nimbrella_core_content ZLIB::ZLIB)
if(TARGET bench_content)
  target_include_directories(bench_content PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
