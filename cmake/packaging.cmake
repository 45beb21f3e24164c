# The Debian packages: `cpack -G DEB` in the build tree makes one package
# per install component from what `cmake --install` lays out under /usr:
# jtagbox_<version>_<arch>.deb (the component jtagbox: jtagbox, the command
# links, jtag-sim, jtag-serve, jtag-detect, jtag-svf, jtag-scan, jtagbox-bench,
# the scan maps of the simulated board (share/jtagbox/scan-maps), the manual
# pages (sections 1, 5 and 7), the bash completion, the copyright and
# changelog) and one package per backend module (cmake/backends.cmake):
# jtagbox-ftdi_<version>_<arch>.deb, the FTDI module and its udev rule; and
# python3-jtagbox_<version>_<arch>.deb, the Python module.  The
# version is project()'s; the dependencies are dpkg-shlibdeps' reading of
# the programs and the modules, and a module's package depends on the very
# version of jtagbox it was built with, the only one that loads it.
include(cmake/manpages.cmake)

set(jtagbox_completions share/bash-completion/completions)
# Made from packaging/bash-completion/jtagbox.in by cmake/commands.cmake.
install(FILES ${CMAKE_BINARY_DIR}/packaging/bash-completion/jtagbox DESTINATION ${jtagbox_completions})
# bash-completion looks for a file named after the command: one link each
# (JTAGBOX_COMMANDS: the declared commands).
install(CODE "
  foreach(name ${JTAGBOX_COMMANDS} jtag-sim jtag-serve jtag-detect jtag-svf jtag-scan jtagbox-bench)
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${jtagbox_completions}/\${name}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK jtagbox \"\${link}\" SYMBOLIC)
  endforeach()
")

set(jtagbox_doc share/doc/jtagbox)
get_property(jtagbox_modules GLOBAL PROPERTY JTAGBOX_MODULES)
# The Python module is a package of its own too (cmake/python.cmake).
set(jtagbox_doc_packages ${jtagbox_modules})
if(JTAGBOX_PYTHON)
  list(APPEND jtagbox_doc_packages python3-jtagbox)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${jtagbox_doc})
foreach(module ${jtagbox_doc_packages})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/${module} COMPONENT ${module})
endforeach()
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
foreach(module ${jtagbox_doc_packages})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION share/doc/${module} COMPONENT ${module})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL jtagbox ${jtagbox_doc_packages})
set(CPACK_PACKAGE_NAME jtagbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "jtagbox developers <jtagbox@example.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE jtagbox)
# Each package's description, its first line the summary.
set(CPACK_DEBIAN_JTAGBOX_PACKAGE_NAME jtagbox)
set(CPACK_DEBIAN_JTAGBOX_DESCRIPTION "JTAG test access port commands for the four-processor board
Twenty commands (JTAG_Reset, JTAG_LoadIR, JTAG_ScanDump, ...) in one
executable drive the JTAG test access ports of the board: TAP resets and
walks, IR and DR loads, raw shifts, scan dumps, control-register and L2
memory access, scan-mode selection.  Without the board they run against a
simulated board (jtag-sim), also served over remote_bitbang.")
if(JTAGBOX_FTDI)
  # Suggested, not recommended: installing jtagbox brings no USB library.
  set(CPACK_DEBIAN_JTAGBOX_PACKAGE_SUGGESTS jtagbox-ftdi)
  set(CPACK_DEBIAN_JTAGBOX-FTDI_PACKAGE_NAME jtagbox-ftdi)
  set(CPACK_DEBIAN_JTAGBOX-FTDI_PACKAGE_DEPENDS "jtagbox (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_JTAGBOX-FTDI_DESCRIPTION "FTDI MPSSE JTAG probes for the jtagbox commands
The module that lets the jtagbox commands and tools drive a JTAG probe
built on an FTDI chip with an MPSSE (FT2232H, FT232H, FT4232H, FT2232D)
through libftdi1, with JTAG_PLATFORM=ftdi, and the udev rule that gives
the plugdev group and the user at the seat access to the probes.")
endif()
if(JTAGBOX_PYTHON)
  set(CPACK_DEBIAN_PYTHON3-JTAGBOX_PACKAGE_NAME python3-jtagbox)
  set(CPACK_DEBIAN_PYTHON3-JTAGBOX_PACKAGE_SECTION python)
  # Built for Debian 12's Python: 3.11 and no other.
  set(CPACK_DEBIAN_PYTHON3-JTAGBOX_PACKAGE_DEPENDS "python3 (>= 3.11~), python3 (<< 3.12)")
  set(CPACK_DEBIAN_PYTHON3-JTAGBOX_PACKAGE_RECOMMENDS "jtagbox (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_PYTHON3-JTAGBOX_DESCRIPTION "Python module for the board's JTAG test access ports
import jtagbox: the operations of the jtagbox commands (resets, IR and DR
shifts, scan-mode selection, control registers, L2 memory, scan dumps) as
methods with Python values, on the engine the commands use, with the same
platform trace; a labgrid driver (jtagbox.labgrid) for board farms.")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completion files do nothing without bash-completion, which a minimal
# Debian does not have.
set(CPACK_DEBIAN_JTAGBOX_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
