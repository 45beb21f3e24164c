#!/bin/sh
# The build for the board: 32-bit big-endian PowerPC Linux, cross-compiled
# with warnings as errors (cmake/powerpc-linux-gnu.cmake), then run on this
# machine under qemu-ppc:
#   - the unit tests, through ctest and CMAKE_CROSSCOMPILING_EMULATOR;
#   - the host's end-to-end suite against the board's programs over
#     remote_bitbang (scripts/e2e-against.sh): Debian has no 32-bit powerpc
#     SQLite, so the board's build has no simulated board, and the host's
#     jtag-sim serves each test's board;
#   scripts/board-build.sh [HOST_BUILD_DIR] [TARGET_BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
host="${1:-build}"
target="${2:-build-ppc}"
root=/usr/powerpc-linux-gnu

scripts/build.sh "$host"
scripts/build.sh "$target" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/powerpc-linux-gnu.cmake"
file "$target/bin/jtagbox" | grep -q 'ELF 32-bit MSB .*PowerPC' ||
  { echo "board-build: $target/bin/jtagbox is not a 32-bit big-endian PowerPC program" >&2; exit 1; }

# ctest knows the end-to-end cases too, but a target's e2e_tests cannot start
# the target's programs itself; the unit tests are the suites unit_tests lists.
suites=$(qemu-ppc -L "$root" "$target/bin/unit_tests" --gtest_list_tests | sed -n 's/^\([A-Za-z0-9_]*\)\.$/\1/p' | paste -sd'|')
[ -n "$suites" ] || { echo "board-build: unit_tests lists no tests" >&2; exit 1; }
echo "board-build: unit tests under qemu-ppc"
ctest --test-dir "$target" -j2 --output-on-failure -R "^($suites)\\."

echo "board-build: end-to-end suite against the board's programs under qemu-ppc"
rm -rf "$target/target-prefix"
cmake --install "$target" --prefix "$target/target-prefix" >/dev/null
[ ! -e "$target/target-prefix/bin/jtag-sim" ] ||
  { echo "board-build: the board's build has a jtag-sim; expected none without SQLite" >&2; exit 1; }
scripts/emulated-prefix.sh "$target/target-prefix" "$target/qemu-prefix"
cp "$host/bin/jtag-sim" "$target/qemu-prefix/bin/jtag-sim"
unset JTAG_PLATFORM
if "$target/qemu-prefix/bin/JTAG_Reset" 2>"$target/no-sim.err" || [ "$(wc -l <"$target/no-sim.err")" -ne 1 ]; then
  echo "board-build: JTAG_Reset on the board's build without JTAG_PLATFORM did not refuse with one line" >&2
  exit 1
fi
scripts/e2e-against.sh "$host" "$target/qemu-prefix" rbb-only

# The 2^31-bit dumps that once ran here ended out of memory in the target's
# process only after the whole shift: without the simulated board inside
# the target's commands, that shift would cross remote_bitbang bit by bit
# (hours), so they are not run.  The host suite's out-of-memory case runs
# on the host.
