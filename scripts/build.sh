#!/bin/sh
# Installs what is missing (scripts/install-deps.sh) and builds with warnings
# as errors and the tests included.  This is the one configuration that
# scripts/demo.sh, scripts/test.sh and scripts/lint.sh share, so whichever
# runs second finds everything built.  The output of cmake and the compiler
# goes to BUILD_DIR/configure.log and BUILD_DIR/compile.log and is shown only
# when a step fails.
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -eu
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
[ $# -gt 0 ] && shift
scripts/install-deps.sh
mkdir -p "$BUILD"

step() {  # step LOG COMMAND...: run quietly, show the log if it fails
  log="$1"
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build: failed: $*" >&2
    exit 1
  fi
}

echo "build: configuring $BUILD/ (log: $BUILD/configure.log)"
step "$BUILD/configure.log" cmake -S . -B "$BUILD" -DJTAGBOX_WERROR=ON -DJTAGBOX_TESTS=ON "$@"
# Two jobs: the machines this is built on have two cores.
echo "build: compiling in $BUILD/ (log: $BUILD/compile.log)"
step "$BUILD/compile.log" cmake --build "$BUILD" -j2
