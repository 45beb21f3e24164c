#!/bin/sh
# Lint: clang-tidy (the checks in .clang-tidy) over every .cpp in src/, bench/
# and tests/ with the build's compile_commands.json, two files at a time, then
# clang-format (.clang-format) over every .cpp and .h there.  Every finding is
# an error: the tools' output, a count per check and per file, exit status 1.
# First, scripts/layers.sh: the folders of src/ include each other only
# downwards.
#   scripts/lint.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
# The same build as scripts/test.sh: compile_commands.json, and code that compiles.
scripts/build.sh "$BUILD"
scripts/layers.sh
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
status=0

find src bench tests -name '*.cpp' | sort >"$tmp/files"
echo "lint: clang-tidy over $(wc -l <"$tmp/files") files"
# One log per file, shown in order once all are done, so that the two runs at
# a time never mix their lines.  The build's flags are GCC's: clang is told
# not to mind a GCC-only warning option (-Wno-error=restrict).
mkdir "$tmp/tidy"
xargs -P2 -I{} sh -c 'clang-tidy -p "$1" --quiet --warnings-as-errors="*" --extra-arg=-Wno-unknown-warning-option "$2" >"$3/$(echo "$2" | tr / %).log" 2>&1' \
  sh "$BUILD" {} "$tmp/tidy" <"$tmp/files" || status=1
cat "$tmp"/tidy/*.log | grep -v '^[0-9]* warnings\{0,1\} \(and [0-9]* errors\{0,1\} \)\{0,1\}generated\.$' || true
# A header's finding shows up once per file that includes it: count it once.
# The check's name closes the diagnostic, sometimes a few lines further down.
cat "$tmp"/tidy/*.log | awk -v root="$PWD/" '
  /^\/[^ ]*:[0-9]+:[0-9]+: (warning|error): / { where = $1; pending = 1 }
  pending && match($0, /\[[a-zA-Z0-9.-]+(,-warnings-as-errors)?\]$/) {
    check = substr($0, RSTART + 1, RLENGTH - 2)
    sub(/,-warnings-as-errors$/, "", check)
    if (index(where, root) == 1) where = substr(where, length(root) + 1)
    print where, check
    pending = 0
  }' | sort -u >"$tmp/tidy-findings"
tidy_count=$(wc -l <"$tmp/tidy-findings")
if [ "$tidy_count" -gt 0 ]; then
  echo "lint: clang-tidy findings per check:"
  cut -d' ' -f2 "$tmp/tidy-findings" | sort | uniq -c | sort -rn
  echo "lint: clang-tidy findings per file:"
  cut -d: -f1 "$tmp/tidy-findings" | sort | uniq -c | sort -rn
fi

find src bench tests \( -name '*.cpp' -o -name '*.h' \) | sort >"$tmp/sources"
echo "lint: clang-format over $(wc -l <"$tmp/sources") files"
xargs clang-format --dry-run --Werror <"$tmp/sources" >"$tmp/format.log" 2>&1 || status=1
grep ': error: ' "$tmp/format.log" >"$tmp/format-findings" || true
format_count=$(wc -l <"$tmp/format-findings")
if [ "$format_count" -gt 0 ]; then
  # Only where: clang-format -i FILE shows the rest by changing it.
  cat "$tmp/format-findings"
  echo "lint: places not formatted per file:"
  cut -d: -f1 "$tmp/format-findings" | sort | uniq -c | sort -rn
fi

echo "lint: $tidy_count clang-tidy findings, $format_count places not formatted as .clang-format says"
exit "$status"
