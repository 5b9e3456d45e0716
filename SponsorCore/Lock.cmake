# Single-instance lock: an exclusive flock on the application's lock file.
add_library(nimbrella_core_lock STATIC ${CMAKE_CURRENT_LIST_DIR}/SingleInstanceLock.cpp)
target_include_directories(nimbrella_core_lock PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrella_core INTERFACE nimbrella_core_lock)

nimbrella_test(single_instance_lock_test LABEL core
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core/single_instance_lock_test.cpp
  LIBS nimbrella_core_lock)
