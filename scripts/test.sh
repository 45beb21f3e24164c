#!/bin/sh
# Builds with warnings as errors and runs the whole test suite.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -eu
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
[ $# -gt 0 ] && shift
cmake -S . -B "$BUILD" -DJTAGBOX_WERROR=ON -DJTAGBOX_TESTS=ON "$@"
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" -j"$(nproc)" --output-on-failure
