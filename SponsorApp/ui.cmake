# The status popover: its presentation as plain values (no Qt) and its Qt Widgets with
# the application's own icons; the program's entry; their tests.

add_library(nimbrella_presentation STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ui/PopoverPresentation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui/SettingsPresentation.cpp)
target_link_libraries(nimbrella_presentation PUBLIC nimbrella_controller)
set_target_properties(nimbrella_presentation PROPERTIES AUTOMOC OFF)

nimbrella_test(presentation_test LABEL ui
  SOURCES ${PROJECT_SOURCE_DIR}/tests/ui/presentation_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/controller/support/Simulation.cpp
  LIBS nimbrella_presentation)
if(TARGET presentation_test)
  set_target_properties(presentation_test PROPERTIES AUTOMOC OFF)
endif()

if(NIMBRELLA_BUILD_APP)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Svg)
  add_library(nimbrella_ui_popover STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/StatusPopover.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/SponsorPreferencesWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/KeptWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/Icons.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/icons.qrc)
  set_target_properties(nimbrella_ui_popover PROPERTIES AUTORCC ON)
  target_link_libraries(nimbrella_ui_popover PUBLIC nimbrella_presentation nimbrella_linux_surface nimbrella_linux_login Qt6::Widgets Qt6::Svg)

  add_library(nimbrella_ui_entry STATIC ${CMAKE_CURRENT_LIST_DIR}/ui/SponsorAppEntry.cpp)
  target_link_libraries(nimbrella_ui_entry PUBLIC nimbrella_linux_session nimbrella_linux_platform nimbrella_core Qt6::Widgets)

  # Pure rules of the entry: options and build numbers.
  nimbrella_test(entry_test LABEL ui
    SOURCES ${PROJECT_SOURCE_DIR}/tests/ui/entry_test.cpp
    LIBS nimbrella_ui_entry)

  # The popover in every state and the delegate, on the test desktop; screenshots go to
  # popover-screenshots/ in this build directory.
  nimbrella_test(ui_desktop_test LABEL ui
    SOURCES ${PROJECT_SOURCE_DIR}/tests/ui/popover_desktop_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/ui/app_delegate_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/ui/settings_desktop_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/controller/support/Simulation.cpp
            ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
    LIBS nimbrella_ui_app
    PROPERTIES RUN_SERIAL TRUE)
  if(TARGET ui_desktop_test)
    target_compile_definitions(ui_desktop_test PRIVATE
      NIMBRELLA_POPOVER_SCREENSHOTS="${CMAKE_CURRENT_BINARY_DIR}/popover-screenshots")
  endif()
endif()

if(TARGET ui_desktop_test)
  # Two states again at a device pixel ratio of 2.
  add_test(NAME PopoverDesktopTest.TwoStatesAtScale2
    COMMAND ui_desktop_test
            "--gtest_filter=States/PopoverDesktopTest.*/counting_suspended_en:States/PopoverDesktopTest.*/approval_it")
  set_tests_properties(PopoverDesktopTest.TwoStatesAtScale2 PROPERTIES
    LABELS ui RUN_SERIAL TRUE TIMEOUT 120 ENVIRONMENT QT_SCALE_FACTOR=2)
endif()
