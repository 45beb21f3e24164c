#!/bin/sh
# The main job on the simulated board: builds (scripts/build.sh, the same
# build as scripts/test.sh) and runs JTAG_Reset -d on a board powered up
# fresh in build/demo-board: it resets the TAP and reads the IDCODE.  The
# board stays there for more commands, e.g.
#   JTAG_PLATFORM=sim:build/demo-board build/bin/JTAG_Shift a3 8
set -eu
cd "$(dirname "$0")/.."
scripts/build.sh build
rm -rf build/demo-board
echo "demo: JTAG_PLATFORM=sim:build/demo-board build/bin/JTAG_Reset -d"
JTAG_PLATFORM=sim:build/demo-board build/bin/JTAG_Reset -d
