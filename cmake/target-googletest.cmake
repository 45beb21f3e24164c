# A cross build has no GoogleTest for the target among Debian's packages, but
# libgtest-dev ships GoogleTest's sources in /usr/src/googletest for exactly
# this: build them with the target's compiler in this tree.  A GTestConfig
# that only names the targets lets tests/CMakeLists.txt find them with
# find_package(GTest) as on the host.
set(JTAGBOX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's libgtest-dev)")
if(NOT EXISTS ${JTAGBOX_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources in ${JTAGBOX_GOOGLETEST_SOURCE} (install libgtest-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${JTAGBOX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest is not ours: it keeps its own flags, without our warnings.
set_target_properties(gtest gtest_main PROPERTIES COMPILE_OPTIONS "")
set(jtagbox_gtest_config ${CMAKE_BINARY_DIR}/googletest-config)
file(WRITE ${jtagbox_gtest_config}/GTestConfig.cmake
  "# GTest::gtest and GTest::gtest_main are built in this tree (cmake/target-googletest.cmake).\n")
set(GTest_DIR ${jtagbox_gtest_config} CACHE PATH "" FORCE)
