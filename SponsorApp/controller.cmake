# The controller (AppModel) and its ports, without Qt; the Qt adapters of the ports
# that are not about windows; the simulation tests, integration tests and benchmark.

add_library(nimbrella_controller STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AppModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppModelAccount.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppModelChoices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppModelConnection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppModelExposure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Money.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Ports.cpp)
target_include_directories(nimbrella_controller PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrella_controller PUBLIC nimbrella_core nimbrella_network nimbrella_storage
  PRIVATE ICU::i18n ICU::uc)
set_target_properties(nimbrella_controller PROPERTIES AUTOMOC OFF)
if(NIMBRELLA_ENVIRONMENT STREQUAL "development")
  target_compile_definitions(nimbrella_controller PRIVATE NIMBRELLA_ENVIRONMENT_DEVELOPMENT=1)
endif()

nimbrella_test(controller_test LABEL controller
  SOURCES ${PROJECT_SOURCE_DIR}/tests/controller/support/Simulation.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/construction_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/exposure_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/account_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/connection_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/money_test.cpp
  LIBS nimbrella_controller)
if(TARGET controller_test)
  set_target_properties(controller_test PROPERTIES AUTOMOC OFF)
endif()

nimbrella_benchmark(bench_controller_tick
  SOURCES ${PROJECT_SOURCE_DIR}/bench/controller_tick.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/support/Simulation.cpp
  LIBS nimbrella_controller)
if(TARGET bench_controller_tick)
  target_include_directories(bench_controller_tick PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(bench_controller_tick PROPERTIES AUTOMOC OFF)
endif()

