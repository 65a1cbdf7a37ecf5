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
    "CUPS backend and filter for KorvaNIX and Mirel Works USB receipt printers")
set(CPACK_PACKAGE_DESCRIPTION
    "The CUPS backend usbkorv finds the KorvaNIX and Mirel Works USB thermal
receipt printers (USB vendors 0x2F1C and 0x3A07) and sends print jobs to
them with DSR flow control. The filter korvbmpthreshold turns a BMP image
into black and white and scales it to the printer's dot width. PPDs for
the TR3000AX, TR3200AX, TR090SAX and TR3500AX on 58 mm and 80 mm paper.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(KORV_PACKAGE_MAINTAINER "korvprint maintainers <korvprint@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds the libraries (libusb-0.1-4, libcups2 and the C and
# C++ runtime) with their versions; the scheduler is a dependency that no
# library link shows.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "cups")

# The printer application: its service is enabled and started at
# installation, stopped at removal (maintainer scripts as debhelper writes
# them); it needs avahi-daemon (PAPPL 1.3.1 aborts when listing devices
# without it) and pdftoppm for PDF documents.
string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", avahi-daemon, poppler-utils")
string(APPEND CPACK_PACKAGE_DESCRIPTION "
The printer application korvprint (a systemd service) makes the same
printers IPP Everywhere printers on the network, for phones, tablets,
Macs, Windows and CUPS without drivers.")
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
     "${PROJECT_SOURCE_DIR}/packaging/scripts/postinst"
     "${PROJECT_SOURCE_DIR}/packaging/scripts/prerm"
     "${PROJECT_SOURCE_DIR}/packaging/scripts/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
