# The platform boundary as the board has it.  On the board the commands are
# linked with the closed platform libraries, and the executable defines the
# line globals those read (platform/jtag_platform.h).
#
# -DJTAGBOX_PLATFORM_LIBRARY=<library or list>: link the commands against
#   these instead of our platform layer; the executable then defines tdo,
#   tms, TDI, tclk, bit_counter, pport_state and debug_level and exports
#   exactly those in its dynamic symbol table.
# -DJTAGBOX_SHARED_PLATFORM=ON: also build our platform layer (the simulated
#   board and remote_bitbang backends included) as lib/libjtagplatform.so,
#   exporting only the C interface of jtag_platform.h (cmake/jtag_platform.map);
#   its sources are those jtag_platform is made of, backends included.
set(JTAGBOX_PLATFORM_LIBRARY "" CACHE STRING
  "Platform libraries (a list) to link the commands against instead of ours")
option(JTAGBOX_SHARED_PLATFORM "Build our platform layer as a shared library with only the C interface" OFF)

if(JTAGBOX_PLATFORM_LIBRARY)
  set(jtagbox_command_platform ${JTAGBOX_PLATFORM_LIBRARY})
else()
  set(jtagbox_command_platform jtag_platform)
endif()

# The executable's side of the boundary, for the target that runs commands.
function(jtagbox_platform_boundary target)
  if(NOT JTAGBOX_PLATFORM_LIBRARY)
    return()
  endif()
  # Nothing in the executable refers to the line globals, only the board's
  # libraries do: they are compiled into it, not taken from jtag_programs.
  target_sources(${target} PRIVATE
    ${CMAKE_SOURCE_DIR}/src/programs/line_globals.cpp
    ${CMAKE_SOURCE_DIR}/src/platform_library/run_end_by_library.cpp)
  target_link_options(${target} PRIVATE
    -Wl,--dynamic-list=${CMAKE_SOURCE_DIR}/cmake/platform-globals.dynlist)
  # An installed executable still finds libraries given by their full path.
  set(dirs)
  foreach(library ${JTAGBOX_PLATFORM_LIBRARY})
    if(IS_ABSOLUTE ${library})
      get_filename_component(dir ${library} DIRECTORY)
      list(APPEND dirs ${dir})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${dirs}")
endfunction()

if(JTAGBOX_SHARED_PLATFORM)
  # The same code as jtag_platform and everything it links (the backends
  # declared and built, cmake/backends.cmake), in one shared library.
  jtagbox_library_closure(jtag_platform platform_srcs platform_links)
  add_library(jtagplatform SHARED ${platform_srcs} ${CMAKE_SOURCE_DIR}/src/platform_library/library_frame.cpp)
  # Nobody calls the C++ end of the run from outside: the run ends when the
  # process exits.  The line globals stay undefined here; the executable
  # defines them.
  target_compile_definitions(jtagplatform PRIVATE JTAGBOX_VERSION="${PROJECT_VERSION}"
    JTAGBOX_MODULE_DIR="${JTAGBOX_MODULE_DIR}")
  target_link_libraries(jtagplatform PRIVATE ${platform_links})
  target_link_options(jtagplatform PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/jtag_platform.map)
  set_target_properties(jtagplatform PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/jtag_platform.map)
endif()
