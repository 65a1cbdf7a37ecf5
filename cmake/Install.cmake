# Installation: where CUPS looks for each piece, and the modes it insists on.
#
#   cmake --install build                      into the running system
#   DESTDIR=/stage cmake --install build       staged (the Debian package)
#
# CUPS's own directories are absolute (asked from cups-config by the
# top-level CMakeLists.txt) and do not move with the prefix; the manual
# pages and documents go under the prefix (/usr for the package).
include(GNUInstallDirs)

set(KORV_BACKEND_DIR "${CUPS_SERVERBIN}/backend" CACHE PATH
    "Directory of CUPS backends")
set(KORV_FILTER_DIR "${CUPS_SERVERBIN}/filter" CACHE PATH
    "Directory of CUPS filters")
set(KORV_MODEL_DIR "${CUPS_DATADIR}/model/korvprint" CACHE PATH
    "Directory of the PPDs, under the model directory that lpinfo -m reads")

# The backend must run as root to detach the kernel driver and claim the
# printer: the scheduler starts a backend as root only when neither group
# nor others may write it and others may not run it. The Debian package
# lets the group korvprint run it too (0750, a dpkg-statoverride made at
# installation), for the printer application's service.
install(TARGETS usbkorv
        RUNTIME DESTINATION "${KORV_BACKEND_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# The scheduler refuses a filter that is group- or world-writable or not
# owned by root (the job then waits for ever); it runs filters as lp.
install(TARGETS korvbmpthreshold
        RUNTIME DESTINATION "${KORV_FILTER_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The raster filter, under the same rules.
install(TARGETS rastertokorv
        RUNTIME DESTINATION "${KORV_FILTER_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(FILES ${KORV_PPD_FILES}
        DESTINATION "${KORV_MODEL_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Manual pages, compressed as Debian keeps them.
find_program(KORV_GZIP gzip REQUIRED)
set(korv_man_pages usbkorv.8 korvbmpthreshold.8 rastertokorv.8)
set(korv_man_gz)
foreach(page IN LISTS korv_man_pages)
  set(src "${PROJECT_SOURCE_DIR}/man/${page}")
  set(out "${PROJECT_BINARY_DIR}/man/${page}.gz")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
    COMMAND ${KORV_GZIP} -9 -n -c "${src}" > "${out}"
    DEPENDS "${src}"
    COMMENT "Compressing the manual page ${page}")
  list(APPEND korv_man_gz "${out}")
endforeach()
add_custom_target(korv_man ALL DEPENDS ${korv_man_gz})
install(FILES ${korv_man_gz} DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

install(FILES "${PROJECT_SOURCE_DIR}/README.md"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The printer application korvprint: the program, its manual page, its
# systemd service (enabled by the package's maintainer scripts, see
# Package.cmake), and the installed backend's path, which it runs for every
# job.
# korvprint-decode, the program korvprint reads every client document
# with, lies in a directory of its own (absolute, like CUPS's, since the
# server names it at build time).
set(KORV_LIBEXEC_DIR "/usr/libexec/korvprint" CACHE PATH
    "Directory of korvprint's helper program korvprint-decode")
target_compile_definitions(korvprintapp PRIVATE
  KORV_BACKEND_PATH="${KORV_BACKEND_DIR}/usbkorv"
  KORV_DECODER_PATH="${KORV_LIBEXEC_DIR}/korvprint-decode")
install(TARGETS korvprint RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS korvprint-decode RUNTIME DESTINATION "${KORV_LIBEXEC_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(KORV_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH
    "Directory of systemd's system units")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/korvprint.service"
        DESTINATION "${KORV_SYSTEMD_UNIT_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
add_custom_command(
  OUTPUT "${PROJECT_BINARY_DIR}/man/korvprint.8.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
  COMMAND ${KORV_GZIP} -9 -n -c "${PROJECT_SOURCE_DIR}/man/korvprint.8"
          > "${PROJECT_BINARY_DIR}/man/korvprint.8.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/man/korvprint.8"
  COMMENT "Compressing the manual page korvprint.8")
add_custom_target(korv_app_man ALL DEPENDS "${PROJECT_BINARY_DIR}/man/korvprint.8.gz")
install(FILES "${PROJECT_BINARY_DIR}/man/korvprint.8.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

# The printer application's logins go through PAM (service korvprint), and
# its service user gets the printers' USB devices from a udev rule.
set(KORV_PAM_DIR "/etc/pam.d" CACHE PATH "Directory of PAM service files")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/korvprint.pam"
        DESTINATION "${KORV_PAM_DIR}" RENAME korvprint
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(KORV_UDEV_RULES_DIR "/lib/udev/rules.d" CACHE PATH "Directory of udev's rules")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/60-korvprint.rules"
        DESTINATION "${KORV_UDEV_RULES_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
