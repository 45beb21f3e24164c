# Backends as plug-ins: each is declared once, in CMakeLists.txt,
#
#   jtagbox_backend(SCHEME
#     FOLDER  backends/NAME           its sources (one library, jtag_backend_SCHEME)
#     USAGE   "SCHEME:ARG"            how JTAG_PLATFORM names it, in messages
#     KEYS    key1,key2               its keys, in the order of its positional form
#     OPEN    ns::open_function       Backend(const BackendArguments &)
#     HEADER  backends/NAME/file.h    the header declaring it
#     [LIBRARIES lib...]              what its library links besides jtag_driver
#     [WHEN variable]                 built only when the variable is true
#     [LEFT_OUT "line"])              what JTAG_PLATFORM=SCHEME says otherwise
#
# and jtagbox_backend_table(TARGET) writes the table of JTAG_PLATFORM schemes
# (src/platform/backend_table.cpp.in) into the build tree from the
# declarations, compiles it into TARGET and links TARGET with every backend
# built.  A backend whose WHEN is false is one line at configure time and a
# row that refuses with its LEFT_OUT line; nothing of its folder is built.
function(jtagbox_backend scheme)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FOLDER;USAGE;KEYS;OPEN;HEADER;WHEN;LEFT_OUT" "LIBRARIES")
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
    string(APPEND row ".open = nullptr, .left_out = \"${arg_LEFT_OUT}\"},\n")
  else()
    jtagbox_library(jtag_backend_${scheme} ${arg_FOLDER} jtag_driver ${arg_LIBRARIES})
    string(APPEND row ".open = ${arg_OPEN}, .left_out = {}},\n")
    set_property(GLOBAL APPEND_STRING PROPERTY JTAGBOX_BACKEND_INCLUDES "#include \"${arg_HEADER}\"\n")
    set_property(GLOBAL APPEND PROPERTY JTAGBOX_BACKEND_LIBRARIES jtag_backend_${scheme})
    set_property(GLOBAL APPEND PROPERTY JTAGBOX_BACKENDS ${scheme})
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
