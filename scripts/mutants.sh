#!/bin/sh
# Plants the faults of scripts/mutants.txt one at a time and runs the test
# suite against each, to see which faults it catches ("kills") and which it
# lets through.  A developers' tool: a full run takes a few minutes a fault.
#
#   scripts/mutants.sh --check         each fault applies to this tree (CI)
#   scripts/mutants.sh [N...]          plant all faults, or faults N... (by
#                                      their number in the list), and report
#
# The faults are planted in a clone of this checkout's HEAD kept in
# $MUTANTS_DIR (default $TMPDIR or /tmp, then jtagbox-mutants), never in the
# checkout: a run stopped midway leaves the checkout as it was, and the next
# run resets the clone first.  The clone's build (its build/) is
# incremental, through ccache where it is installed, and without warnings
# as errors (a planted fault may leave a variable unused).  The suite runs in stages,
# fastest first (the in-process unit and conformance cases, then the
# commands on the simulated board, then every other backend), and stops at
# its first failure.  The report (one line a fault, then the totals) goes to
# standard output and to $MUTANTS_DIR/report.md.
#
# A fault is one line: `PATH :: OLD ==> NEW`, where OLD occurs exactly once
# in PATH and is replaced by NEW; `#` starts a comment line.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
LIST="$ROOT/scripts/mutants.txt"
WORK="${MUTANTS_DIR:-${TMPDIR:-/tmp}/jtagbox-mutants}"
BUILD="$WORK/tree/build"

# The faults, numbered: "N<TAB>PATH<TAB>OLD<TAB>NEW" (the texts hold no tab).
faults() {
  awk '
    /^[ \t]*(#|$)/ { next }
    {
      n++
      line = $0
      p = index(line, " :: "); path = substr(line, 1, p - 1); rest = substr(line, p + 4)
      q = index(rest, " ==> "); old = substr(rest, 1, q - 1); new = substr(rest, q + 5)
      if (p == 0 || q == 0 || old == "" || old == new) { printf "%d\t\t\t\n", n; next }
      printf "%d\t%s\t%s\t%s\n", n, path, old, new
    }' "$LIST"
}

# apply TREE PATH OLD NEW: replaces the one OLD in TREE/PATH by NEW, or fails
# saying why.
apply() {
  python3 -c '
import sys
tree, path, old, new = sys.argv[1:]
name = tree + "/" + path
try:
    text = open(name, encoding="utf-8").read()
except OSError as e:
    sys.exit(f"{path}: {e.strerror}")
count = text.count(old)
if count != 1:
    sys.exit(f"{path}: the old text occurs {count} times, not once: {old}")
open(name, "w", encoding="utf-8").write(text.replace(old, new))
' "$@"
}

check() {
  bad=0
  total=0
  tab=$(printf '\t')
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  while IFS="$tab" read -r n path old new; do
    total=$((total + 1))
    if [ -z "$path" ]; then
      echo "mutants: fault $n: not PATH :: OLD ==> NEW with OLD and NEW different" >&2
      bad=1
      continue
    fi
    mkdir -p "$tmp/$(dirname "$path")"
    cp "$ROOT/$path" "$tmp/$path" 2>/dev/null || { echo "mutants: fault $n: no file $path" >&2; bad=1; continue; }
    apply "$tmp" "$path" "$old" "$new" || { echo "mutants: fault $n does not apply" >&2; bad=1; }
  done <<EOF
$(faults)
EOF
  # Every folder of src/ holds at least one fault.
  for dir in src/*/; do
    grep -q "^${dir}" "$LIST" || { echo "mutants: no fault in $dir" >&2; bad=1; }
  done
  [ "$bad" -eq 0 ] || exit 1
  echo "mutants: $total faults apply"
}

# The stages, fastest first, as ctest selections (the cases' labels are set
# in tests/CMakeLists.txt): the in-process cases, the commands on the
# simulated board, the wire backends, the FTDI backend through the emulated
# probe.
STAGES="-L ^(unit|backends)\$ -E ^ftdi[.]
-L ^e2e\$ -E ^(rbb|xvc|xvcpeer|ftdi)[.]
-R ^(rbb|xvc|xvcpeer)[.]
-R ^ftdi"

# run_suite: runs the stages in the clone's build, then the Python module's
# tests (scripts/python-test.sh); prints the first failing case, or nothing
# when every case passed.
run_suite() {
  failed=$(run_ctest_stages)
  if [ -z "$failed" ] && ! (cd "$WORK/tree" && scripts/python-test.sh build) >"$WORK/python.log" 2>&1; then
    failed="python: $(grep -m 1 '^FAILED\|labgrid.*failed' "$WORK/python.log" | cut -c1-80)"
  fi
  echo "$failed"
}

run_ctest_stages() {
  log="$WORK/ctest.log"
  echo "$STAGES" | while IFS= read -r stage; do
    set -f  # the stage's patterns are not file names
    # shellcheck disable=SC2086 # the stage is a list of ctest arguments
    if ! ctest --test-dir "$BUILD" -j2 --stop-on-failure $stage >"$log" 2>&1; then
      failed=$(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$log" | head -n 1)
      echo "${failed:-ctest}"
      break
    fi
  done
}

prepare() {
  if [ ! -d "$WORK/tree/.git" ]; then
    mkdir -p "$WORK"
    git clone -q --no-local "$ROOT" "$WORK/tree"
  fi
  git -C "$WORK/tree" fetch -q "$ROOT" HEAD
  git -C "$WORK/tree" reset -q --hard FETCH_HEAD
  git -C "$WORK/tree" clean -qfd  # the ignored build/ stays
  cp "$LIST" "$WORK/mutants.txt"
  echo "mutants: building the clone of $(git -C "$WORK/tree" rev-parse --short HEAD) in $BUILD"
  launcher=""
  if command -v ccache >/dev/null; then
    launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$WORK}"
  fi
  cmake -S "$WORK/tree" -B "$BUILD" -DJTAGBOX_WERROR=OFF -DJTAGBOX_TESTS=ON $launcher >"$WORK/configure.log" 2>&1 ||
    { cat "$WORK/configure.log" >&2; exit 1; }
  build || { cat "$WORK/build.log" >&2; echo "mutants: the unchanged clone does not build" >&2; exit 1; }
  echo "mutants: the unchanged suite must pass first"
  first=$(run_suite)
  [ -z "$first" ] || { cat "$WORK/ctest.log" >&2; echo "mutants: the unchanged suite fails ($first)" >&2; exit 1; }
}

build() { cmake --build "$BUILD" -j2 >"$WORK/build.log" 2>&1; }

# catch PATH: what catches a fault planted in PATH, or nothing.  The end of a
# run for the board's own platform libraries (src/platform_library) is in
# no build of the suite: the platform-boundary check links it, and runs the
# end-to-end suite against that jtagbox (in build-boundary/ of the clone).
catch() {
  case "$1" in
    src/platform_library/*)
      (cd "$WORK/tree" && scripts/platform-boundary.sh build-boundary) >"$WORK/boundary.log" 2>&1 ||
        echo "scripts/platform-boundary.sh ($(tail -n 1 "$WORK/boundary.log" | cut -c1-80))"
      ;;
    *) run_suite ;;
  esac
}

plant_all() {
  tab=$(printf '\t')
  report="$WORK/report.md"
  killed=0
  survived=0
  broken=0
  {
    echo "Faults of scripts/mutants.txt planted in $(git -C "$WORK/tree" log -1 --format='%h (%s)' | cut -c1-100)"
    echo
    echo "| # | fault | result | seconds |"
    echo "|---|---|---|---|"
  } >"$report"
  faults >"$WORK/faults.tsv"
  while IFS="$tab" read -r n path old new; do
    if [ $# -gt 0 ]; then
      case " $* " in *" $n "*) ;; *) continue ;; esac
    fi
    started=$(date +%s)
    if ! apply "$WORK/tree" "$path" "$old" "$new"; then
      result="does not apply"
      broken=$((broken + 1))
    elif ! build; then
      result="does not build"
      broken=$((broken + 1))
    else
      first=$(catch "$path")
      if [ -n "$first" ]; then
        result="killed by $first"
        killed=$((killed + 1))
      else
        result="SURVIVED"
        survived=$((survived + 1))
      fi
    fi
    git -C "$WORK/tree" checkout -q -- "$path"
    line="| $n | \`$path\`: $(echo "$old" | cut -c1-60 | sed 's/|/\\|/g') | $result | $(($(date +%s) - started)) |"
    echo "$line" | tee -a "$report"
  done <"$WORK/faults.tsv"
  tested=$((killed + survived))
  rate=$([ "$tested" -gt 0 ] && echo $((100 * killed / tested)) || echo 0)
  summary="killed $killed of $tested ($rate %), survived $survived, not run $broken"
  echo "$summary"
  printf '\n%s\n' "$summary" >>"$report"
  # The clone's planted files are back as they were: rebuild so that the next
  # run starts from an unchanged build.
  build || true
}

if [ "${1:-}" = --check ]; then
  check
  exit 0
fi
check >/dev/null
prepare
plant_all "$@"
