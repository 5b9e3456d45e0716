# The nimbrella executable: the delegate and the composition root over every Linux
# adapter, and the tests that run the real program on the test desktop.

if(NIMBRELLA_BUILD_APP)
  add_library(nimbrella_ui_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/AppDelegate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/Platform.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/QuitSignals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/UpdatePrompt.cpp)
  target_link_libraries(nimbrella_ui_app PUBLIC
    nimbrella_controller nimbrella_linux_platform nimbrella_linux_network nimbrella_linux_secret
    nimbrella_linux_surface nimbrella_linux_update nimbrella_linux_session nimbrella_ui_surface nimbrella_ui_popover
    Qt6::Widgets)

  add_executable(nimbrella ${CMAKE_CURRENT_LIST_DIR}/ui/main.cpp)
  target_link_libraries(nimbrella PRIVATE nimbrella_ui_app nimbrella_ui_entry)

  # What the least Qt Widgets program with the same timer costs, measured beside the
  # application by scripts/bench-app; built only when asked for.
  add_executable(bench_qt_floor EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/bench/qt_floor.cpp)
  target_link_libraries(bench_qt_floor PRIVATE Qt6::Widgets)

  # Info.json beside the program: what `--version` prints and what a newer copy reads.
  set(NIMBRELLA_BUILD_NUMBER 3 CACHE STRING "Build number of this program (3 or more: it takes the lock)")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/ui/Info.json.in ${CMAKE_CURRENT_BINARY_DIR}/Info.json @ONLY)

  if(NIMBRELLA_BUILD_TESTS)
    # Debian's own Python: Selenium comes from python3-selenium.
    find_program(NIMBRELLA_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    # The real program against the real development server on the test desktop: a second
    # launch, a quit by SIGTERM with a completion waiting, the next launch confirming it.
    add_test(NAME AppLifecycle.SecondLaunchAndQuitKeepEverything
      COMMAND ${NIMBRELLA_PYTHON} ${PROJECT_SOURCE_DIR}/tests/e2e/app_lifecycle.py
              --app $<TARGET_FILE:nimbrella> --server $<TARGET_FILE:nimbrella-devserver>)
    set_tests_properties(AppLifecycle.SecondLaunchAndQuitKeepEverything PROPERTIES
      LABELS ui RUN_SERIAL TRUE TIMEOUT 300)
    # The whole earning path, the connection approved in headless Chromium.
    add_test(NAME EarningPath.PairsEarnsAndShowsTheNewBalance
      COMMAND ${NIMBRELLA_PYTHON} ${PROJECT_SOURCE_DIR}/tests/e2e/earning_path.py
              --app $<TARGET_FILE:nimbrella> --server $<TARGET_FILE:nimbrella-devserver>
              --screenshots ${CMAKE_BINARY_DIR}/earning-path)
    set_tests_properties(EarningPath.PairsEarnsAndShowsTheNewBalance PROPERTIES
      LABELS e2e RUN_SERIAL TRUE TIMEOUT 300)
    # The program killed where a reward could be lost or credited twice, then restarted.
    add_test(NAME Faults.KillsAndNetworkFaultsCreditEveryExposureOnce
      COMMAND ${NIMBRELLA_PYTHON} ${PROJECT_SOURCE_DIR}/tests/faults/fault_harness.py
              --app $<TARGET_FILE:nimbrella> --server $<TARGET_FILE:nimbrella-devserver>
              --campaigns ${PROJECT_SOURCE_DIR}/SponsorServer/campaigns.sample.json)
    set_tests_properties(Faults.KillsAndNetworkFaultsCreditEveryExposureOnce PROPERTIES
      LABELS faults RUN_SERIAL TRUE TIMEOUT 600)
    # At least 20 minutes and 50 exposures with random faults: scripts/soak, not the default suite.
    add_test(NAME Soak.TwentyMinutesOfRandomFaults
      COMMAND ${NIMBRELLA_PYTHON} ${PROJECT_SOURCE_DIR}/tests/faults/soak.py
              --app $<TARGET_FILE:nimbrella> --server $<TARGET_FILE:nimbrella-devserver>
              --campaigns ${PROJECT_SOURCE_DIR}/SponsorServer/campaigns.sample.json)
    set_tests_properties(Soak.TwentyMinutesOfRandomFaults PROPERTIES LABELS soak TIMEOUT 6000)
  endif()
endif()
