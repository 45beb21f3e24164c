# The board: 32-bit big-endian PowerPC Linux, built with Debian's cross
# compiler (g++-powerpc-linux-gnu) and run on a development machine with
# qemu-ppc (qemu-user).  ctest and gtest_discover_tests start every target
# program through CMAKE_CROSSCOMPILING_EMULATOR.
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(JTAGBOX_TARGET_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${JTAGBOX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${JTAGBOX_TARGET_TRIPLE}-g++)
# The target's libraries and dynamic loader, as Debian's cross packages lay
# them out.
set(JTAGBOX_TARGET_ROOT /usr/${JTAGBOX_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${JTAGBOX_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${JTAGBOX_TARGET_ROOT})
