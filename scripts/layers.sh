#!/bin/sh
# The folders of src/ form layers, as the picture in doc/architecture.md
# ("The layers") draws them: each row of the picture holds folders, named
# by the words src/NAME on it, and a folder may include only folders on the
# rows below its own (and itself).  The picture is the ranking: a folder of
# src/ with sources that the picture leaves out, a folder drawn twice or a
# drawn folder that src/ does not have is an error too.  Lists every
# folder-to-folder include with where it is, and each that does not go down.
#   scripts/layers.sh
set -eu
cd "$(dirname "$0")/.."
doc=doc/architecture.md
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# "FOLDER ROW" for each folder drawn, rows numbered from the top of the
# picture (the first fenced block after the heading).
awk '
  /^## The layers/ { section = 1; next }
  section && /^```/ { if (inside) exit; inside = 1; next }
  inside {
    row++
    for (i = 1; i <= NF; i++)
      if ($i ~ /^src\/[a-z_]+(\/[a-z_]+)*$/) print substr($i, 5), row
  }' "$doc" | sort >"$tmp/ranks"
[ -s "$tmp/ranks" ] || { echo "layers: no folders drawn in the picture of $doc (\"The layers\")" >&2; exit 1; }

# The folders of src/ that hold sources.
find src -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.in' \) | sed 's|^src/||; s|/[^/]*$||' | sort -u \
  >"$tmp/folders"

# "FILE:LINE FROM TO" for each include of another folder's header.
grep -rn --include='*.h' --include='*.cpp' --include='*.in' '^#include "[a-z_/]*/[a-z_0-9]*\.h"' src |
  sed 's|^\(src/\(.*\)/[^/:]*:[0-9]*\):#include "\(.*\)/[^/]*".*$|\1 \2 \3|' | awk '$2 != $3' >"$tmp/includes"

awk -v doc="$doc" '
  FILENAME == ARGV[1] {
    if ($1 in row) { print "layers: src/" $1 " is drawn twice in the picture of " doc; bad = 1 }
    row[$1] = $2
    next
  }
  FILENAME == ARGV[2] {
    has[$1] = 1
    if (!($1 in row)) { print "layers: src/" $1 " is not in the picture of " doc " (The layers): draw it on its row"; bad = 1 }
    next
  }
  {
    n++
    if (!($2 in row)) next  # said above: the folder is not drawn
    if (!($3 in row)) { print "layers: " $1 ": src/" $2 " includes src/" $3 ", which the picture does not draw"; bad = 1 }
    else if (row[$3] + 0 <= row[$2] + 0) {
      print "layers: " $1 ": src/" $2 " includes src/" $3 ", which is not drawn below it"
      bad = 1
    }
  }
  END {
    for (f in row) if (!(f in has)) { print "layers: the picture of " doc " draws src/" f ", which has no sources"; bad = 1 }
    if (bad) exit 1
    printf "layers: %d includes across folders, each down the picture of %s\n", n, doc
  }' "$tmp/ranks" "$tmp/folders" "$tmp/includes" >"$tmp/report" || {
  cat "$tmp/report" >&2
  echo "layers: every include must go down the picture (doc/architecture.md, The layers)" >&2
  exit 1
}
cat "$tmp/report"

# Only the tops of the house write to the terminal or end the process: the
# programs' main()s and their frame, the folders of the twenty commands
# (their messages, usage texts and exit statuses are theirs), and the frame
# of the shared platform library (which, as the board's own libraries do,
# says its failures and ends the process).  Everything below is a library
# whose failures are thrown and whose lines go to the notice sink.
tops='programs|main|tap|select|access|scandump|files|platform_library'
grep -rnE '(^|[^a-z_:.>])(std::)?(printf|vprintf|fprintf|vfprintf|puts|fputs|putchar|fputc|fwrite|perror|exit|_Exit|quick_exit|abort)\(|std::(cout|cerr|clog)|\b(stdout|stderr)\b' \
  src --include='*.h' --include='*.cpp' --include='*.in' |
  grep -vE "^src/($tops)/" | grep -vE '^[^:]*:[0-9]+:[[:space:]]*//' >"$tmp/terminal" || true
if [ -s "$tmp/terminal" ]; then
  sed 's/^/layers: terminal output or an end of the process below the programs and commands: /' "$tmp/terminal" >&2
  exit 1
fi
echo "layers: no terminal output, exit or abort below the programs, the commands and the shared library's frame"
