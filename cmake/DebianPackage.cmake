# The companion as a Debian package (cpack --preset package): the program, stripped, with
# dependencies that dpkg-shlibdeps finds in it; the udev rule, the manual page and the bash
# completion as cmake/Install.cmake puts them; the copyright and changelog Debian asks for; and
# maintainer scripts that let udev know of the rule where it runs.

if(NOT TARGET vellumo_libusb)
  # Without libusb the companion would be built to read no printers: no package of that.
  message(FATAL_ERROR "The package reads printers through libusb, and libusb-1.0 was not found "
                      "(pkg-config): install libusb-1.0-0-dev (scripts/package.sh does)")
endif()

set(VELLUMO_PACKAGE_MAINTAINER "Vellumo Printer info developers <vellumo-cli@vellumo.invalid>"
    CACHE STRING "Maintainer of the Debian package: \"Name <address>\"")

set(package_doc ${CMAKE_INSTALL_DATADIR}/doc/vellumo-cli)
set(debian_out ${CMAKE_BINARY_DIR}/packaging/debian)

# A native package's changelog is changelog.gz, compressed as the manual page is.
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${debian_out}/changelog @ONLY)
add_custom_command(
  OUTPUT ${debian_out}/changelog.gz
  COMMAND gzip -9nf -k changelog
  WORKING_DIRECTORY ${debian_out}
  DEPENDS ${debian_out}/changelog
  COMMENT "Compressing the package's changelog"
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${debian_out}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${debian_out}/changelog.gz
        DESTINATION ${package_doc})
# What lintian says that is not so, each with the reason beside it.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vellumo-cli)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellumo-cli)
set(CPACK_PACKAGE_VERSION ${VELLUMO_VERSION})
set(CPACK_PACKAGE_CONTACT ${VELLUMO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reads the system-data report of USB laser printers")
# Lines of the long description stay within 80 columns, as Debian asks.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "vellumo-cli finds the supported laser printers attached by USB, asks one of\n"
  "them for its system-data report over the printer's two data pipes, and prints\n"
  "it as an aligned key/value listing, or as JSON for scripts, with the model,\n"
  "serial number, firmware version and cartridge chip (CRUM) serial as fields of\n"
  "their own.\n"
  "\n"
  "A udev rule gives the user logged in at the machine access to these printers.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vellumo-cli_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
                                       ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only what cmake/Install.cmake names: one package, no components.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
