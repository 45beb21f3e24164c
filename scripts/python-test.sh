#!/bin/sh
# The Python module's tests: tests/python (every method against its command,
# on the simulated board and over remote_bitbang) with Debian's pytest, and
# the labgrid driver's run (scripts/labgrid-test.sh).  Debian's interpreter
# by name: another python3 may come first on PATH.
#   scripts/python-test.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"
[ -f "$build/python/jtagbox/__init__.py" ] || { echo "python-test: no module in $build/python; build first" >&2; exit 1; }
echo "python-test: /usr/bin/python3 -m pytest tests/python"
PYTHONPATH="$PWD/$build/python" JTAGBOX_BIN="$PWD/$build/bin" PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
scripts/labgrid-test.sh "$build"
