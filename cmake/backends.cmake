# Backends as plug-ins: each is declared once, in CMakeLists.txt,
#
#   jtagbox_backend(SCHEME
#     FOLDER  backends/NAME           its sources (one library, jtag_backend_SCHEME)
#     USAGE   "SCHEME:ARG"            how JTAG_PLATFORM names it, in messages
#     KEYS    key1,key2               its keys, in the order of its positional form
#     OPEN    ns::open_function       Backend(const BackendArguments &)
#     HEADER  backends/NAME/file.h    the header declaring it
#     [LIBRARIES lib...]              what its library links besides jtag_backends
#     [WHEN variable]                 built only when the variable is true
#     [LEFT_OUT "line"]               what JTAG_PLATFORM=SCHEME says otherwise
#     [MODULE name])                  built as a module of its own, not into the engine
#
# and jtagbox_backend_table(TARGET) writes the table of JTAG_PLATFORM schemes
# (src/platform/backend_table.cpp.in) into the build tree from the
# declarations, compiles it into TARGET and links TARGET with every backend
# built into the engine.  A backend whose WHEN is false is one line at
# configure time and a row that refuses with its LEFT_OUT line; nothing of
# its folder is built.  A backend with a MODULE is the shared object
# JTAGBOX_MODULE_DIR/NAME.so (jtagbox_module() below), installed as the component
# NAME (the Debian package NAME, cmake/packaging.cmake); its row names the
# module, which the engine loads when JTAG_PLATFORM names the row
# (src/platform/module_backend.h).
function(jtagbox_backend scheme)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FOLDER;USAGE;KEYS;OPEN;HEADER;WHEN;LEFT_OUT;MODULE" "LIBRARIES")
  foreach(required FOLDER USAGE OPEN HEADER)
    if(NOT arg_${required})
      message(FATAL_ERROR "jtagbox_backend(${scheme}): no ${required}")
    endif()
  endforeach()
  set(row "    {.scheme = \"${scheme}\", .usage = \"${arg_USAGE}\", .keys = \"${arg_KEYS}\", ")
  if(arg_WHEN AND NOT ${arg_WHEN})
    if(NOT arg_LEFT_OUT)
      set(arg_LEFT_OUT "JTAG_PLATFORM=${scheme} is not part of this build")
    endif()
    message(STATUS "Backend ${scheme} left out of this build (${arg_WHEN} is off)")
    string(APPEND row ".open = nullptr, .module = {}, .left_out = \"${arg_LEFT_OUT}\"},\n")
  else()
    jtagbox_library(jtag_backend_${scheme} ${arg_FOLDER} jtag_backends ${arg_LIBRARIES})
    set_property(GLOBAL APPEND PROPERTY JTAGBOX_BACKENDS ${scheme})
    if(arg_MODULE)
      # The static library stays for the unit tests of its parts.
      set_target_properties(jtag_backend_${scheme} PROPERTIES EXCLUDE_FROM_ALL ON)
      jtagbox_module(${arg_MODULE} jtag_backend_${scheme} ${arg_HEADER} ${arg_OPEN})
      string(APPEND row ".open = nullptr, .module = \"${arg_MODULE}\", .left_out = {}},\n")
    else()
      string(APPEND row ".open = ${arg_OPEN}, .module = {}, .left_out = {}},\n")
      set_property(GLOBAL APPEND_STRING PROPERTY JTAGBOX_BACKEND_INCLUDES "#include \"${arg_HEADER}\"\n")
      set_property(GLOBAL APPEND PROPERTY JTAGBOX_BACKEND_LIBRARIES jtag_backend_${scheme})
    endif()
  endif()
  set_property(GLOBAL APPEND_STRING PROPERTY JTAGBOX_BACKEND_ROWS "${row}")
endfunction()

function(jtagbox_backend_table target)
  get_property(JTAGBOX_BACKEND_INCLUDES GLOBAL PROPERTY JTAGBOX_BACKEND_INCLUDES)
  get_property(JTAGBOX_BACKEND_ROWS GLOBAL PROPERTY JTAGBOX_BACKEND_ROWS)
  get_property(libraries GLOBAL PROPERTY JTAGBOX_BACKEND_LIBRARIES)
  set(table ${CMAKE_BINARY_DIR}/generated/platform/backend_table.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/src/platform/backend_table.cpp.in ${table} @ONLY)
  target_sources(${target} PRIVATE ${table})
  target_link_libraries(${target} PUBLIC ${libraries})
endfunction()

# The sources of a library and of every library it links, and the libraries
# from outside (imported or by name) among them: what a shared library made
# of the same code needs.
function(jtagbox_library_closure target out_sources out_links)
  set(sources)
  set(links)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue item)
    if(item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${item})
    if(NOT TARGET ${item})
      list(APPEND links ${item})
      continue()
    endif()
    get_target_property(imported ${item} IMPORTED)
    if(imported)
      list(APPEND links ${item})
      continue()
    endif()
    get_target_property(item_sources ${item} SOURCES)
    list(APPEND sources ${item_sources})
    get_target_property(item_links ${item} LINK_LIBRARIES)
    if(item_links)
      list(APPEND queue ${item_links})
    endif()
  endwhile()
  set(${out_sources} ${sources} PARENT_SCOPE)
  set(${out_links} ${links} PARENT_SCOPE)
endfunction()

# A backend as a module of its own (src/backends/module_interface.h): the
# sources of its library, of the module bridge (src/module) and of every
# library below them, compiled again as position-independent code into
# <build>/JTAGBOX_MODULE_DIR/NAME.so with the module's entry
# (src/module/module_entry.cpp.in).  The C++ runtime is linked in, nothing is
# exported but the table (cmake/jtagbox_module.map) and nothing is left for
# the engine to define (-z defs): engine and module share only the C
# interface.  Installed to JTAGBOX_MODULE_DIR as the component NAME.
function(jtagbox_module name library header open)
  set(JTAGBOX_MODULE ${name})
  set(JTAGBOX_MODULE_HEADER ${header})
  set(JTAGBOX_MODULE_OPEN ${open})
  set(entry ${CMAKE_BINARY_DIR}/generated/module/${name}.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/src/module/module_entry.cpp.in ${entry} @ONLY)
  jtagbox_library_closure(${library} sources links)
  jtagbox_library_closure(jtag_module bridge_sources bridge_links)
  list(APPEND sources ${bridge_sources})
  list(APPEND links ${bridge_links})
  list(REMOVE_DUPLICATES sources)
  list(REMOVE_DUPLICATES links)
  set(map ${CMAKE_SOURCE_DIR}/cmake/jtagbox_module.map)
  add_library(${name} MODULE ${sources} ${entry})
  target_link_libraries(${name} PRIVATE ${links})
  target_compile_definitions(${name} PRIVATE JTAGBOX_VERSION="${PROJECT_VERSION}")
  target_link_options(${name} PRIVATE -Wl,-z,defs -Wl,--version-script=${map})
  # Under the sanitizers the process has the shared C++ runtime already (the
  # UndefinedBehaviorSanitizer's runtime needs it), and LeakSanitizer cannot
  # follow the thread-local blocks of a C++ runtime linked into a module
  # loaded with dlopen (its scan at exit crashes after an exception there):
  # that build's module uses the shared one.
  if(NOT JTAGBOX_SANITIZE)
    target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  set_target_properties(${name} PROPERTIES PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${JTAGBOX_MODULE_DIR} LINK_DEPENDS ${map})
  install(TARGETS ${name} LIBRARY DESTINATION ${JTAGBOX_MODULE_DIR} COMPONENT ${name}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set_property(GLOBAL APPEND PROPERTY JTAGBOX_MODULES ${name})
endfunction()
