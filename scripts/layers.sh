#!/bin/sh
# The folders of src/ form layers: no folder includes a folder that
# includes it back, directly or through others (doc/architecture.md).  Lists
# every folder-to-folder include and lets tsort(1) find a loop.
#   scripts/layers.sh
set -eu
cd "$(dirname "$0")/.."
pairs=$(grep -r --include='*.h' --include='*.cpp' -o '^#include "[a-z_/]*/[a-z_0-9]*\.h"' src |
  sed 's|^src/\(.*\)/[^/]*:#include "\(.*\)/[^/]*"$|\1 \2|' | awk '$1 != $2' | sort -u)
if ! printf '%s\n' "$pairs" | tsort >/dev/null 2>"${TMPDIR:-/tmp}/layers.err"; then
  cat "${TMPDIR:-/tmp}/layers.err" >&2
  echo "layers: the folders of src/ include each other in a loop (above); every include must go down" >&2
  exit 1
fi
echo "layers: $(printf '%s\n' "$pairs" | wc -l) folder-to-folder includes, no loop"
