# The Python module: `import jtagbox` (python/jtagbox, the package) over the
# compiled _jtagbox (src/python), which is the commands' engine: the sources
# of the command families and of everything below them, compiled again as
# position-independent code, as the backend modules are.  Built for the
# interpreter Debian 12 ships, /usr/bin/python3 (3.11), which the package
# python3-jtagbox targets, even where another python3 comes first on PATH;
# -DPython_EXECUTABLE=... names another.  The package lands in
# <build>/python (PYTHONPATH=<build>/python) and installs into Debian's
# Python path (/usr/lib/python3/dist-packages).
option(JTAGBOX_PYTHON "Build the Python module (needs pybind11-dev and python3-dev)" ON)
# Not for the board (no Python there), not over the board's own platform
# libraries, and not under the sanitizers, whose runtimes the interpreter
# would have to preload: the module's tests run in the plain build.
if(CMAKE_CROSSCOMPILING OR JTAGBOX_PLATFORM_LIBRARY OR JTAGBOX_SANITIZE)
  set(JTAGBOX_PYTHON OFF)
endif()

if(JTAGBOX_PYTHON)
  if(NOT Python_EXECUTABLE)
    set(Python_EXECUTABLE /usr/bin/python3)
  endif()
  set(PYBIND11_FINDPYTHON ON)
  find_package(Python 3.11 COMPONENTS Interpreter Development.Module REQUIRED)
  find_package(pybind11 2.10 CONFIG REQUIRED)

  set(python_sources)
  set(python_links)
  # The command families, and jtag-scan's maps for jtagbox.ScanMap.
  foreach(library ${JTAGBOX_COMMAND_FAMILIES} scanmap)
    jtagbox_library_closure(jtag_${library} sources links)
    list(APPEND python_sources ${sources})
    list(APPEND python_links ${links})
  endforeach()
  list(REMOVE_DUPLICATES python_sources)
  list(REMOVE_DUPLICATES python_links)
  set(python_dir ${CMAKE_BINARY_DIR}/python/jtagbox)
  pybind11_add_module(_jtagbox MODULE ${CMAKE_SOURCE_DIR}/src/python/jtagbox_module.cpp ${python_sources}
    ${CMAKE_SOURCE_DIR}/src/programs/line_globals.cpp)
  target_link_libraries(_jtagbox PRIVATE ${python_links})
  # Where the backend modules are from the extension's folder: installed
  # (Python's path and the modules' folder under one prefix), then in the
  # build tree (<build>/python/jtagbox beside <build>/JTAGBOX_MODULE_DIR).
  set(python_install lib/python3/dist-packages/jtagbox)
  file(RELATIVE_PATH installed_modules /usr/${python_install} /usr/${JTAGBOX_MODULE_DIR})
  target_compile_definitions(_jtagbox PRIVATE JTAGBOX_VERSION="${PROJECT_VERSION}"
    JTAGBOX_MODULE_DIR="${JTAGBOX_MODULE_DIR}"
    JTAGBOX_MODULE_FOLDERS="${installed_modules}","../../${JTAGBOX_MODULE_DIR}")
  set_target_properties(_jtagbox PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${python_dir})

  # The package's Python files beside the compiled module.
  file(GLOB python_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/jtagbox/*.py
    ${CMAKE_SOURCE_DIR}/python/jtagbox/*.pyi ${CMAKE_SOURCE_DIR}/python/jtagbox/py.typed)
  foreach(file ${python_files})
    get_filename_component(name ${file} NAME)
    configure_file(${file} ${python_dir}/${name} COPYONLY)
  endforeach()

  install(TARGETS _jtagbox LIBRARY DESTINATION ${python_install} COMPONENT python3-jtagbox
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES ${python_files} DESTINATION ${python_install} COMPONENT python3-jtagbox)
endif()
