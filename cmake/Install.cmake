# What `cmake --install` puts under the prefix (Linux): the companion, its udev rule, its manual
# page and its bash completion; nothing else the build makes (tests, simulators, benchmarks).
# With VELLUMO_PACKAGE the same goes in Debian's places, for cmake/DebianPackage.cmake.
include(GNUInstallDirs)

# udev reads rules from lib/udev/rules.d under its own prefix; Debian 12 packages ship them in
# /lib/udev/rules.d (the package preset says so).
set(VELLUMO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the printer rule is installed: relative to the prefix, or absolute")

set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS vellumo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/udev/70-vellumo-printers.rules
        DESTINATION ${VELLUMO_UDEV_RULES_DIR})
install(FILES ${packaging_dir}/vellumo-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vellumo-cli)

# The manual page with the project's version in it; Debian wants it compressed, without the
# name and time gzip would otherwise put in.
configure_file(${packaging_dir}/vellumo-cli.1.in ${packaging_out}/vellumo-cli.1 @ONLY)
if(VELLUMO_PACKAGE)
  add_custom_command(
    OUTPUT ${packaging_out}/vellumo-cli.1.gz
    COMMAND gzip -9nf -k vellumo-cli.1
    WORKING_DIRECTORY ${packaging_out}
    DEPENDS ${packaging_out}/vellumo-cli.1
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(manual_page ALL DEPENDS ${packaging_out}/vellumo-cli.1.gz)
  install(FILES ${packaging_out}/vellumo-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${packaging_out}/vellumo-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
