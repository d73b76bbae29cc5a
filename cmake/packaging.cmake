# Install rules and the Debian packages: `orvane` (the program without the
# window, the systemd unit, its user and port directory) and, in a build with
# the window, `orvane-gui` (the window, its launcher, desktop file and icon).
# `cpack -G DEB` in the build folder makes both (scripts/package.sh).
# The installed layout is the packages' one (/usr), also for cmake --install.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)
# Install (and cpack) takes what is built instead of walking every target first:
# scripts/package.sh builds before it packages, and the package test runs after the build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(ORVANE_MAINTAINER "Orvane developers <orvane@example.org>")
set(ORVANE_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Where the systemd unit is installed")
set(ORVANE_SYSUSERS_DIR "/usr/lib/sysusers.d" CACHE PATH "Where the service's user entry is installed")
set(ORVANE_TMPFILES_DIR "/usr/lib/tmpfiles.d" CACHE PATH "Where the port directory's entry is installed")
set(ORVANE_PKG_DIR ${CMAKE_BINARY_DIR}/packaging)

# Debian wants the changelog compressed with the name and time left out.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${ORVANE_PKG_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${ORVANE_PKG_DIR}/changelog)

install(TARGETS ${ORVANE_HEADLESS_TARGET} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT orvane)
install(CODE "set(ORVANE_UNIT_SOURCE \"${PROJECT_SOURCE_DIR}/packaging/orvane.service\")
              set(ORVANE_UNIT_OUTPUT \"${ORVANE_PKG_DIR}/orvane.service\")
              set(ORVANE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
              include(\"${PROJECT_SOURCE_DIR}/cmake/install_unit.cmake\")"
        COMPONENT orvane)
install(FILES ${ORVANE_PKG_DIR}/orvane.service DESTINATION ${ORVANE_SYSTEMD_UNIT_DIR} COMPONENT orvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvane.sysusers DESTINATION ${ORVANE_SYSUSERS_DIR}
        RENAME orvane.conf COMPONENT orvane)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvane.tmpfiles DESTINATION ${ORVANE_TMPFILES_DIR}
        RENAME orvane.conf COMPONENT orvane)
set(ORVANE_PACKAGES orvane)

if(ORVANE_WITH_GUI)
  # The window's program lives beside its launcher's choice of data folder.
  set(ORVANE_GUI_PROGRAM ${CMAKE_INSTALL_FULL_LIBDIR}/orvane/orvane)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/orvane-gui.sh ${ORVANE_PKG_DIR}/orvane-gui @ONLY)
  install(TARGETS orvane RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/orvane COMPONENT gui)
  install(PROGRAMS ${ORVANE_PKG_DIR}/orvane-gui DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/orvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT gui)
  install(FILES ${PROJECT_SOURCE_DIR}/src/app/gui/icons/program.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME orvane.svg COMPONENT gui)
  list(APPEND ORVANE_PACKAGES gui)
endif()

foreach(component ${ORVANE_PACKAGES})
  set(package orvane)
  if(component STREQUAL "gui")
    set(package orvane-gui)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${ORVANE_PKG_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  # The unit's Documentation= names it.
  if(package STREQUAL "orvane")
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORVANE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${ORVANE_PACKAGES})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_ORVANE_PACKAGE_NAME orvane)
set(CPACK_DEBIAN_ORVANE_DESCRIPTION "remote serial devices as local serial ports (service)
Orvane offers virtual serial ports (pseudo-terminals) or opens physical
serial ports and bridges their bytes to TCP converters (pass-through or
IP485 framing) or through an MQTT 3.1 broker.
.
This package holds the program without its window, the systemd unit
orvane.service, its user and its port directory /run/orvane.")
set(CPACK_DEBIAN_ORVANE_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/deb/postinst;${PROJECT_SOURCE_DIR}/packaging/deb/prerm;${PROJECT_SOURCE_DIR}/packaging/deb/postrm")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME orvane-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "orvane (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GUI_DESCRIPTION "remote serial devices as local serial ports (window)
The Qt window of Orvane: the list of ports with their state, the port
editor and each port's live log, and a notification-area icon. Its
launcher orvane-gui keeps config.cfg and the log in
~/.local/share/orvane.")

include(CPack)
