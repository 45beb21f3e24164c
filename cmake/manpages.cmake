# Manual pages: doc/man/NAME.SECTION.scd, written in scdoc's markup, become
# NAME.SECTION.gz in <build>/man at build time and are installed to
# share/man/manSECTION.  Debian's scdoc is the converter.
find_program(JTAGBOX_SCDOC scdoc REQUIRED)
find_program(JTAGBOX_GZIP gzip REQUIRED)
file(GLOB jtagbox_man_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/man/*.scd)
set(jtagbox_man_pages)
foreach(source ${jtagbox_man_sources})
  get_filename_component(page ${source} NAME_WLE)  # NAME.SECTION
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "${JTAGBOX_SCDOC} < \"$1\" | ${JTAGBOX_GZIP} -9n > \"$2\"" scdoc ${source} ${out}
    DEPENDS ${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND jtagbox_man_pages ${out})
  install(FILES ${out} DESTINATION share/man/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${jtagbox_man_pages})
