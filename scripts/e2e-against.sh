#!/bin/sh
# Runs the host build's end-to-end suite (BUILD/bin/e2e_tests) against the
# programs installed in PREFIX instead of those of the host build, in two
# shards at once (the machines have two cores).  BACKEND names the backend
# the commands reach each test's board through (JTAGBOX_E2E_BACKEND): with
# rbb, over remote_bitbang, as the suite's rbb.* run does, and PREFIX's
# jtag-sim (the host's, for a build without the simulated board) serves each
# test's board.  On any backend but sim the cases that apply to sim only are
# left out, by the list the host build wrote (tests/CMakeLists.txt,
# e2e_sim_only).  The Tools cases of the benchmark program run the host's
# own benchmark, not PREFIX's programs, and are left to the host suite.
#   scripts/e2e-against.sh BUILD PREFIX [sim|rbb]
set -eu
build="$1"
prefix=$(cd "$2" && pwd)
backend="${3:-sim}"
suite="$build/bin/e2e_tests"
[ -x "$suite" ] || { echo "e2e-against: no $suite (run scripts/build.sh $build first)" >&2; exit 1; }
# FtdiProbe.* needs the emulated FTDI probe: it runs as ftdi.* only.
filter='-Tools.Bench*:FtdiProbe.*'
if [ "$backend" != sim ]; then
  sim_only="$build/tests/e2e-sim-only.filter"
  [ -s "$sim_only" ] || { echo "e2e-against: no $sim_only (run scripts/build.sh $build first)" >&2; exit 1; }
  filter="$filter:$(cat "$sim_only")"
fi
# The shards' whole output stays beside the prefix.
logs="$prefix.e2e-$backend"
rm -rf "$logs"
mkdir -p "$logs"
pids=""
for shard in 0 1; do
  JTAGBOX_PREFIX="$prefix" JTAGBOX_E2E_BACKEND="$backend" GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard \
    "$suite" --gtest_filter="$filter" >"$logs/$shard" 2>&1 &
  pids="$pids $!"
done
status=0
for pid in $pids; do wait "$pid" || status=1; done
passed=0
failed=0
for shard in 0 1; do
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$logs/$shard")
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' "$logs/$shard")
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  # A failure's own lines: its assertions and the list of what failed.
  if [ "$status" -ne 0 ]; then grep -A12 -e ': Failure$' -e '^\[  FAILED  \]' "$logs/$shard" | head -200; fi
done
# The suite's own counts: a run that ran nothing has not passed.
[ "$passed" -gt 0 ] || status=1
echo "e2e ($backend) against $2: $passed passed, $failed failed (output in $logs)"
exit "$status"
