# User defaults, calendar, sponsor preferences, snooze and the earnings week.

add_library(nimbrella_core_preferences STATIC
  ${CMAKE_CURRENT_LIST_DIR}/UserDefaults.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Calendar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SponsorPreferences.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Snooze.cpp)
target_link_libraries(nimbrella_core_preferences PUBLIC
  nimbrella_core_base nlohmann_json::nlohmann_json ICU::i18n ICU::uc ICU::data)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_preferences)

add_library(nimbrella_core_week STATIC ${CMAKE_CURRENT_LIST_DIR}/EarningsWeek.cpp)
target_link_libraries(nimbrella_core_week PUBLIC nimbrella_core_records nimbrella_core_base)
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_week)

nimbrella_test(preferences_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/preferences_test.cpp
  LIBS nimbrella_core_week nimbrella_core_preferences)

nimbrella_fuzzer(fuzz_preferences_load
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/preferences_load.cpp
  LIBS nimbrella_core_preferences)

nimbrella_fuzzer(fuzz_snooze_json
  SOURCES ${PROJECT_SOURCE_DIR}/fuzz/snooze_json.cpp
  LIBS nimbrella_core_preferences)

nimbrella_benchmark(bench_preferences
  SOURCES ${PROJECT_SOURCE_DIR}/bench/preferences.cpp
  LIBS nimbrella_core_preferences)
