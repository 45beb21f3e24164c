# The Debian package: `cpack -G DEB` in the build tree makes
# jtagbox_<version>_<arch>.deb from what `cmake --install` lays out under
# /usr: jtagbox, the command links, jtag-sim, jtag-serve, jtag-detect, jtag-svf,
# jtagbox-bench, the manual pages (sections 1, 5 and 7), the bash
# completion, the copyright and changelog.  The version is project()'s; the
# dependencies are dpkg-shlibdeps' reading of the programs.
include(cmake/manpages.cmake)

set(jtagbox_completions share/bash-completion/completions)
# Made from packaging/bash-completion/jtagbox.in by cmake/commands.cmake.
install(FILES ${CMAKE_BINARY_DIR}/packaging/bash-completion/jtagbox DESTINATION ${jtagbox_completions})
# bash-completion looks for a file named after the command: one link each
# (JTAGBOX_COMMANDS: the declared commands).
install(CODE "
  foreach(name ${JTAGBOX_COMMANDS} jtag-sim jtag-serve jtag-detect jtag-svf jtagbox-bench)
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${jtagbox_completions}/\${name}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK jtagbox \"\${link}\" SYMBOLIC)
  endforeach()
")

set(jtagbox_doc share/doc/jtagbox)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${jtagbox_doc})
# A native package's changelog, for this version.
string(TIMESTAMP jtagbox_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND sh -c "${JTAGBOX_GZIP} -9n < \"$1\" > \"$2\"" gzip ${CMAKE_BINARY_DIR}/packaging/changelog
    ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${jtagbox_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jtagbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "jtagbox developers <jtagbox@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JTAG test access port commands for the four-processor board")
set(CPACK_PACKAGE_DESCRIPTION "Twenty commands (JTAG_Reset, JTAG_LoadIR, JTAG_ScanDump, ...) in one
executable drive the JTAG test access ports of the board: TAP resets and
walks, IR and DR loads, raw shifts, scan dumps, control-register and L2
memory access, scan-mode selection.  Without the board they run against a
simulated board (jtag-sim), also served over remote_bitbang.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion files do nothing without bash-completion, which a minimal
# Debian does not have.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
