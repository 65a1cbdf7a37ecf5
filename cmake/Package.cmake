# The Debian package, built from the install rules beside this file:
#
#   cmake -S . -B build -DKORV_BUILD_TESTS=OFF -DKORV_BUILD_BENCH=OFF
#   cmake --build build && (cd build && cpack -G DEB)
#   apt install ./build/korvprint_2.0.0.5_amd64.deb
#
# The scheduler picks up the new backend, filter and PPDs at its next
# start (the package's installation does not restart it; see README.md).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvprint)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "korvprint")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "CUPS driver and printer application for KorvaNIX receipt printers")
set(CPACK_PACKAGE_DESCRIPTION
    "The CUPS backend usbkorv finds the KorvaNIX and Mirel Works USB thermal
receipt printers (USB vendors 0x2F1C and 0x3A07) and sends print jobs to
them with DSR flow control. The filter korvbmpthreshold turns a BMP image
into black and white and scales it to the printer's dot width; the filter
rastertokorv prints PDF, images and text, rendered by CUPS's standard
filters, as one sharp receipt. PPDs for the TR3000AX, TR3200AX, TR090SAX
and TR3500AX on 58 mm and 80 mm paper.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The one place that names the maintainer: the package's Maintainer field
# and the changelog's signature. A packager sets it at configure time:
#   cmake -DKORV_PACKAGE_MAINTAINER="Name <name@example.net>" ...
set(KORV_PACKAGE_MAINTAINER "korvprint maintainers <korvprint@example.org>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_CONTACT "${KORV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds the libraries (libusb-0.1-4, libcups2 and the C and
# C++ runtime) with their versions; the scheduler and the standard filters
# that render documents for rastertokorv are dependencies no library link
# shows.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "cups, cups-filters, ghostscript")

# The documents every Debian package carries: the copyright file in the
# machine-readable format and the changelog, compressed (a native
# package's changelog is changelog.gz); lintian's overrides for the
# backend's deliberate mode.
set(korv_packaging "${PROJECT_SOURCE_DIR}/packaging")
file(STRINGS "${korv_packaging}/changelog.in" korv_changelog_top LIMIT_COUNT 1)
if(NOT korv_changelog_top MATCHES "^korvprint \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.in has no entry for version "
          "${PROJECT_VERSION} at the top: add one")
endif()
configure_file("${korv_packaging}/changelog.in" "${PROJECT_BINARY_DIR}/packaging/changelog" @ONLY)
add_custom_command(
  OUTPUT "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
  COMMAND ${KORV_GZIP} -9 -n -c "${PROJECT_BINARY_DIR}/packaging/changelog"
          > "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
  DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog"
  COMMENT "Compressing the changelog")
add_custom_target(korv_changelog ALL DEPENDS "${PROJECT_BINARY_DIR}/packaging/changelog.gz")
install(FILES "${korv_packaging}/copyright" "${PROJECT_BINARY_DIR}/packaging/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")

set(KORV_BACKEND_PACKAGE_PATH "${KORV_BACKEND_DIR}/usbkorv")
string(REGEX REPLACE "^/" "" KORV_BACKEND_PACKAGE_PATH "${KORV_BACKEND_PACKAGE_PATH}")
configure_file("${korv_packaging}/lintian-overrides.in"
               "${PROJECT_BINARY_DIR}/packaging/lintian-overrides/korvprint" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/packaging/lintian-overrides/korvprint"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides")

# The printer application: its service runs as a system user of its own,
# made at installation (adduser), which may run the backend (a
# dpkg-statoverride of its path); it is enabled and started at
# installation, stopped at removal (maintainer scripts as debhelper writes
# them); it needs avahi-daemon (PAPPL 1.3.1 aborts when listing devices
# without it) and pdftoppm for PDF documents. Its PAM service file is a
# conffile.
string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", avahi-daemon, poppler-utils, adduser")
string(APPEND CPACK_PACKAGE_DESCRIPTION "
The printer application korvprint (a systemd service) makes the same
printers IPP Everywhere printers on the network, for phones, tablets,
Macs, Windows and CUPS without drivers.")
set(KORV_BACKEND_PATH "${KORV_BACKEND_DIR}/usbkorv")
foreach(script postinst postrm)
  configure_file("${korv_packaging}/scripts/${script}.in"
                 "${PROJECT_BINARY_DIR}/packaging/scripts/${script}" @ONLY)
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/packaging/conffiles" "${KORV_PAM_DIR}/korvprint\n")
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
     "${PROJECT_BINARY_DIR}/packaging/scripts/postinst"
     "${korv_packaging}/scripts/prerm"
     "${PROJECT_BINARY_DIR}/packaging/scripts/postrm"
     "${PROJECT_BINARY_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
