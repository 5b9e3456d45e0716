# The sponsored surface: the monitor that proves the item visible and the decisions that
# show, hide and paint the panel over the status item (no Qt), and the Qt Widgets status
# item and panel over the X11 adapters of linux.cmake.

add_library(nimbrella_surface STATIC
  ${CMAKE_CURRENT_LIST_DIR}/surface/MenuBarButtonState.cpp
  ${CMAKE_CURRENT_LIST_DIR}/surface/SurfaceSynchronizer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/surface/SurfaceMonitor.cpp)
target_include_directories(nimbrella_surface PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nimbrella_surface PUBLIC nimbrella_core)
set_target_properties(nimbrella_surface PROPERTIES AUTOMOC OFF)

nimbrella_test(surface_monitor_test LABEL surface
  SOURCES ${PROJECT_SOURCE_DIR}/tests/surface/surface_monitor_test.cpp
          ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
  LIBS nimbrella_surface ZLIB::ZLIB)

if(NIMBRELLA_BUILD_APP)
  # The status item and the painted panel.
  add_library(nimbrella_ui_surface STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/StatusItem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/MenuBarSurface.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/QtGeometry.cpp)
  target_link_libraries(nimbrella_ui_surface PUBLIC nimbrella_linux_surface Qt6::Widgets)

  # Painting only: runs on Qt's offscreen platform, no display needed.
  nimbrella_test(surface_paint_test LABEL surface
    SOURCES ${PROJECT_SOURCE_DIR}/tests/surface/surface_paint_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
    LIBS nimbrella_ui_surface ZLIB::ZLIB)

  # Runs on the real test desktop of scripts/desktop-session (X server, window manager,
  # top panel); screenshots go to surface-screenshots/ in this build directory.
  nimbrella_test(surface_desktop_test LABEL surface
    SOURCES ${PROJECT_SOURCE_DIR}/tests/surface/surface_desktop_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/core/PngFixtures.cpp
    LIBS nimbrella_ui_surface ZLIB::ZLIB X11::X11 X11::Xss X11::Xext
    PROPERTIES RUN_SERIAL TRUE)
  if(TARGET surface_desktop_test)
    target_compile_definitions(surface_desktop_test PRIVATE
      NIMBRELLA_SURFACE_SCREENSHOTS="${CMAKE_CURRENT_BINARY_DIR}/surface-screenshots")
    # The same checks on Xfce's desktop: xfwm4 composites and Xfce's panel makes the band.
    add_test(NAME Surface.OnTheXfceDesktop
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/desktop-session --desktop xfce $<TARGET_FILE:surface_desktop_test>)
    set_tests_properties(Surface.OnTheXfceDesktop PROPERTIES LABELS surface RUN_SERIAL TRUE TIMEOUT 300)
  endif()

  nimbrella_benchmark(bench_surface_snapshot
    SOURCES ${PROJECT_SOURCE_DIR}/bench/surface_snapshot.cpp
    LIBS nimbrella_ui_surface)
  if(TARGET bench_surface_snapshot)
    target_include_directories(bench_surface_snapshot PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  endif()
endif()
