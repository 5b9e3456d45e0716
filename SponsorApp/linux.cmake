# The Linux adapters of the controller's ports, one library per concern, and the tests
# that run them against the real thing: the Qt event loop and settings, a local HTTP
# server, the keyring of scripts/desktop-session and its X server.

if(NIMBRELLA_BUILD_APP)
  find_package(Threads REQUIRED)
  find_package(X11 REQUIRED)
  if(NOT TARGET X11::xcb OR NOT TARGET X11::Xss OR NOT TARGET X11::Xext)
    message(FATAL_ERROR "The surface needs libxcb, XScreenSaver and Xext (libx11-dev, libxss-dev, libxext-dev)")
  endif()
  # The stacking walk reads bounding shapes (libxcb-shape0-dev).
  pkg_check_modules(XCB_SHAPE REQUIRED IMPORTED_TARGET xcb-shape)
  # The system events hear the screen saver turn on and off (libxcb-screensaver0-dev).
  pkg_check_modules(XCB_SCREENSAVER REQUIRED IMPORTED_TARGET xcb-screensaver)

  # Main queue and timers, settings defaults, clock, preferred languages, browser opener.
  add_library(nimbrella_linux_platform STATIC
    ${CMAKE_CURRENT_LIST_DIR}/linux/QtMainQueue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/QSettingsDefaults.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/SystemClock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/PreferredLanguages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/DesktopBrowserOpener.cpp)
  target_link_libraries(nimbrella_linux_platform PUBLIC nimbrella_controller Qt6::Core Qt6::Gui)
  set_target_properties(nimbrella_linux_platform PROPERTIES AUTOMOC OFF)

  # The HTTP transport on Qt Network.
  add_library(nimbrella_linux_network STATIC
    ${CMAKE_CURRENT_LIST_DIR}/linux/QtHttpTransport.cpp)
  target_link_libraries(nimbrella_linux_network PUBLIC nimbrella_network Qt6::Network)

  # The secret store on libsecret (Secret Service).
  add_library(nimbrella_linux_secret STATIC
    ${CMAKE_CURRENT_LIST_DIR}/linux/SecretServiceStore.cpp)
  target_link_libraries(nimbrella_linux_secret PUBLIC nimbrella_storage PRIVATE PkgConfig::LIBSECRET Threads::Threads)
  set_target_properties(nimbrella_linux_secret PROPERTIES AUTOMOC OFF)

  # The X11 window server, the system events and the text measurer.
  add_library(nimbrella_linux_surface STATIC
    ${CMAKE_CURRENT_LIST_DIR}/linux/X11WindowServer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/X11Stacking.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/X11SystemEvents.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/QtTextMeasurer.cpp)
  target_link_libraries(nimbrella_linux_surface
    PUBLIC nimbrella_surface Qt6::Core Qt6::Gui Qt6::DBus
    PRIVATE X11::X11 X11::xcb PkgConfig::XCB_SHAPE PkgConfig::XCB_SCREENSAVER X11::Xss X11::Xext)

  # The program's Info.json, and the session bus and /proc for the single running copy.
  add_library(nimbrella_linux_session STATIC
    ${CMAKE_CURRENT_LIST_DIR}/linux/AppInfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/ApplicationService.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/RunningCopies.cpp)
  target_include_directories(nimbrella_linux_session PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(nimbrella_linux_session PUBLIC Qt6::Core Qt6::DBus nlohmann_json::nlohmann_json)

  pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  # Self-update: the feed's rules without a network, and the updater on Qt Network.
  add_library(nimbrella_update STATIC ${CMAKE_CURRENT_LIST_DIR}/update/UpdateFeed.cpp)
  target_link_libraries(nimbrella_update PUBLIC nimbrella_core_records OpenSSL::Crypto nlohmann_json::nlohmann_json)
  set_target_properties(nimbrella_update PROPERTIES AUTOMOC OFF)
  add_library(nimbrella_linux_update STATIC ${CMAKE_CURRENT_LIST_DIR}/linux/QtSoftwareUpdater.cpp)
  target_link_libraries(nimbrella_linux_update PUBLIC nimbrella_update nimbrella_controller Qt6::Network)

  # Against a local HTTPS server whose certificate only the test trusts.
  nimbrella_test(update_test LABEL update
    SOURCES ${PROJECT_SOURCE_DIR}/tests/update/update_test.cpp
    LIBS nimbrella_linux_update PkgConfig::CPP_HTTPLIB OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

  # Start at login through the desktop's autostart folder.
  add_library(nimbrella_linux_login STATIC ${CMAKE_CURRENT_LIST_DIR}/linux/LoginItem.cpp)
  target_include_directories(nimbrella_linux_login PUBLIC ${PROJECT_SOURCE_DIR})
  set_target_properties(nimbrella_linux_login PROPERTIES AUTOMOC OFF)

  # Against a temporary XDG tree; the written entry must pass desktop-file-validate.
  nimbrella_test(login_item_test LABEL ui
    SOURCES ${PROJECT_SOURCE_DIR}/tests/ui/login_item_test.cpp
    LIBS nimbrella_linux_login)

  # The real Qt event loop and a real settings file; no display needed.
  nimbrella_test(linux_platform_test LABEL controller
    SOURCES ${PROJECT_SOURCE_DIR}/tests/controller/linux_platform_test.cpp
    LIBS nimbrella_linux_platform)

  nimbrella_test(qt_http_transport_test LABEL network
    SOURCES ${PROJECT_SOURCE_DIR}/tests/network/qt_http_transport_test.cpp
    LIBS nimbrella_linux_network PkgConfig::CPP_HTTPLIB OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

  # The real keyring of scripts/desktop-session.
  nimbrella_test(secret_service_store_test LABEL storage
    SOURCES ${PROJECT_SOURCE_DIR}/tests/storage/secret_service_store_test.cpp
    LIBS nimbrella_linux_secret PkgConfig::LIBSECRET)

  foreach(_pure_target login_item_test linux_platform_test secret_service_store_test)
    if(TARGET ${_pure_target})
      set_target_properties(${_pure_target} PROPERTIES AUTOMOC OFF)
    endif()
  endforeach()
endif()
