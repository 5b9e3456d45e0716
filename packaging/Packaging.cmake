# Installation layout and the Debian packages: nimbrella (the application) and
# nimbrella-devserver (the development server), both from this build.

include(GNUInstallDirs)

set(_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_id ${NIMBRELLA_BUNDLE_IDENTIFIER})

if(NIMBRELLA_BUILD_APP)
  install(TARGETS nimbrella RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
  install(FILES ${PROJECT_BINARY_DIR}/SponsorApp/Info.json DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbrella COMPONENT app)
  install(FILES ${_packaging}/${_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
  install(FILES ${_packaging}/${_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)

  # The application icon: the SVG, and PNGs rendered from it in the hicolor sizes.
  set(_icon ${PROJECT_SOURCE_DIR}/SponsorApp/ui/icons/nimbrella.svg)
  install(FILES ${_icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${_id}.svg COMPONENT app)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Gui Svg)
  add_executable(render_icon ${_packaging}/render_icon.cpp)
  target_link_libraries(render_icon PRIVATE Qt6::Gui Qt6::Svg)
  set(_pngs)
  foreach(_side 16 22 24 32 48 64 128 256 512)
    set(_png ${PROJECT_BINARY_DIR}/icons/${_side}x${_side}/${_id}.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${_side}x${_side}
      COMMAND render_icon ${_icon} ${_png} ${_side}
      DEPENDS render_icon ${_icon} VERBATIM)
    list(APPEND _pngs ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_side}x${_side}/apps COMPONENT app)
  endforeach()
  add_custom_target(nimbrella_icons ALL DEPENDS ${_pngs})
endif()

install(TARGETS nimbrella-devserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devserver)
install(FILES ${PROJECT_SOURCE_DIR}/SponsorServer/campaigns.sample.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbrella-devserver COMPONENT devserver)

# Each package's copyright and its changelog, compressed as Debian policy asks.
foreach(_component app devserver)
  set(_package nimbrella)
  if(_component STREQUAL "devserver")
    set(_package nimbrella-devserver)
  endif()
  set(PACKAGE ${_package})
  set(VERSION ${PROJECT_VERSION})
  configure_file(${_packaging}/changelog ${PROJECT_BINARY_DIR}/doc/${_package}/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/${_package}/changelog.gz
    COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/doc/${_package}/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/doc/${_package}/changelog VERBATIM)
  add_custom_target(${_package}_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/${_package}/changelog.gz)
  install(FILES ${_packaging}/copyright ${PROJECT_BINARY_DIR}/doc/${_package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component})
  # The manual page.
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${_package}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9nc ${_packaging}/${_package}.1 > ${PROJECT_BINARY_DIR}/man/${_package}.1.gz
    DEPENDS ${_packaging}/${_package}.1 VERBATIM)
  add_custom_target(${_package}_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/man/${_package}.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${_package}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrella)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Nimbrella developers <developers@nimbrella.app>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Nimbrella developers <developers@nimbrella.app>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://nimbrella.app/")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app devserver)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_APP_PACKAGE_NAME nimbrella)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "gnome-keyring")
set(CPACK_COMPONENT_APP_DESCRIPTION "status item that lends a strip of the top bar to sponsors
Nimbrella shows one sponsor's short text in a small strip of the desktop's
top bar, checks four times a second that the text is really visible and the
computer in use, and after each uninterrupted interval sends the server a
signed receipt that credits the user's account. A popover shows the balance
and earnings and lets the user pause sponsors, hide advertisers and restrict
them to chosen hours.")

set(CPACK_DEBIAN_DEVSERVER_PACKAGE_NAME nimbrella-devserver)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_DEVSERVER_DESCRIPTION "development server for Nimbrella
A local server that answers the Nimbrella application as the real one does:
device authorization with its connection page, sample sponsored items and
credited receipts, so that the whole earning path runs on one machine.")

include(CPack)

# The packages built from this tree pass lintian and the desktop's validators, and run
# from a temporary root (not with sanitizers: their runtime is no package dependency).
if(NIMBRELLA_BUILD_TESTS AND NIMBRELLA_BUILD_APP AND NOT NIMBRELLA_SANITIZE)
  add_test(NAME Packages.BuildValidateAndRunFromATemporaryRoot
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check_packages.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_BINARY_DIR}/checked-packages)
  set_tests_properties(Packages.BuildValidateAndRunFromATemporaryRoot PROPERTIES
    LABELS package TIMEOUT 300 FIXTURES_SETUP checked_packages)
  # The checked package updates itself to the next build in a temporary root and
  # relaunches from there (on the test desktop).
  find_program(NIMBRELLA_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  add_test(NAME Update.FromThisPackageToTheNextAndRelaunched
    COMMAND ${NIMBRELLA_PYTHON} ${PROJECT_SOURCE_DIR}/tests/update/update_e2e.py
            --packages ${PROJECT_BINARY_DIR}/checked-packages)
  set_tests_properties(Update.FromThisPackageToTheNextAndRelaunched PROPERTIES
    LABELS update RUN_SERIAL TRUE TIMEOUT 300 FIXTURES_REQUIRED checked_packages)
endif()
