#!/bin/sh
# Builds (scripts/build.sh: installs what is missing, warnings as errors) and
# runs the whole test suite.  Without arguments it is the same build as
# scripts/demo.sh, so after the demo nothing is compiled again.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -eu
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
scripts/build.sh "$@"
ctest --test-dir "$BUILD" -j2 --output-on-failure
scripts/python-test.sh "$BUILD"
