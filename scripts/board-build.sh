#!/bin/sh
# The build for the board: 32-bit big-endian PowerPC Linux, cross-compiled
# with warnings as errors (cmake/powerpc-linux-gnu.cmake), then run on this
# machine under qemu-ppc:
#   - what ctest has in that build (the unit tests and the backends'
#     conformance table on the fake backend), through
#     CMAKE_CROSSCOMPILING_EMULATOR;
#   - the host's end-to-end suite against the board's programs over
#     remote_bitbang (scripts/e2e-against.sh): Debian has no 32-bit powerpc
#     SQLite, so the board's build has no simulated board, and the host's
#     jtag-sim serves each test's board;
#   - dumps that need more than a 32-bit address space holds: each ends at
#     once with one line on standard error and status 1, never a crash;
#   - the board's jtag-serve in front of the host's `jtag-sim serve`, over
#     remote_bitbang on both sides, with the host's OpenOCD reading the
#     IDCODE through it.
#   scripts/board-build.sh [HOST_BUILD_DIR] [TARGET_BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
host="${1:-build}"
target="${2:-build-ppc}"

scripts/build.sh "$host"
scripts/build.sh "$target" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/powerpc-linux-gnu.cmake"
file "$target/bin/jtagbox" | grep -q 'ELF 32-bit MSB .*PowerPC' ||
  { echo "board-build: $target/bin/jtagbox is not a 32-bit big-endian PowerPC program" >&2; exit 1; }

# The board's build registers no end-to-end cases (they need a jtag-sim of
# its own); a bare ctest there runs what it has.
echo "board-build: ctest under qemu-ppc"
ctest --test-dir "$target" -j2 --output-on-failure | tee "$target/ctest.log"
grep -q '^100% tests passed, 0 tests failed out of [1-9]' "$target/ctest.log" ||
  { echo "board-build: ctest in $target ran nothing or failed" >&2; exit 1; }

echo "board-build: end-to-end suite against the board's programs under qemu-ppc"
rm -rf "$target/target-prefix"
cmake --install "$target" --prefix "$target/target-prefix" >/dev/null
[ ! -e "$target/target-prefix/bin/jtag-sim" ] ||
  { echo "board-build: the board's build has a jtag-sim; expected none without SQLite" >&2; exit 1; }
[ -x "$target/target-prefix/bin/jtag-serve" ] ||
  { echo "board-build: the board's build has no jtag-serve" >&2; exit 1; }
scripts/emulated-prefix.sh "$target/target-prefix" "$target/qemu-prefix"
cp "$host/bin/jtag-sim" "$target/qemu-prefix/bin/jtag-sim"
unset JTAG_PLATFORM
no_sim='jtagbox: the simulated board is not part of this build; JTAG_PLATFORM=rbb:HOST:PORT reaches a board over remote_bitbang'
if "$target/qemu-prefix/bin/JTAG_Reset" 2>"$target/no-sim.err" || [ "$(cat "$target/no-sim.err")" != "$no_sim" ]; then
  echo "board-build: JTAG_Reset on the board's build without JTAG_PLATFORM did not refuse with the line: $no_sim" >&2
  exit 1
fi
scripts/e2e-against.sh "$host" "$target/qemu-prefix" rbb

echo "board-build: 2^31-bit dumps in a 32-bit address space, over remote_bitbang"
# The commands take the memory of a shift's answer before its first TCK, so
# a dump longer than a 32-bit process can hold ends at once with one line,
# before anything crosses the wire.  The host's jtag-sim serves the board.
work=$(mktemp -d)
server_pid=
front_pid=
cleanup() {
  [ -z "$front_pid" ] || kill "$front_pid" 2>/dev/null || true
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  [ -z "$front_pid" ] || wait "$front_pid" 2>/dev/null || true
  [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
bin="$PWD/$target/qemu-prefix/bin"
JTAG_PLATFORM="sim:$work/board" "$host/bin/jtag-sim" serve --port 0 >"$work/port" 2>"$work/serve.err" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "board-build: the host's jtag-sim serve printed no port within 5 s" >&2; exit 1; }
export JTAG_PLATFORM="rbb:127.0.0.1:$(head -n 1 "$work/port")" XDG_STATE_HOME="$work/state"
cd "$work"
# A recycled dump shifts one bit more than its length, so its longest
# length is one less.
while read -r command; do
  # shellcheck disable=SC2086  # the command is words
  set +e
  timeout 60 "$bin/"$command >out 2>err
  status=$?
  set -e
  if [ "$status" -ne 1 ] || [ "$(wc -l <err)" -ne 1 ] || ! grep -q 'out of memory' err; then
    echo "board-build: $command: status $status, standard error:" >&2
    cat err >&2
    exit 1
  fi
  echo "  $command: $(cat err)"
done <<'RUNS'
JTAG_ScanDump 01 2147483646 dump.hex -a -r
JTAG_ScanDump 02 2147483647 dump.hex -a
RUNS

echo "board-build: the board's jtag-serve in front of the host's jtag-sim serve, read by OpenOCD"
# The board's jtag-serve (under qemu-ppc) serves over remote_bitbang the
# board JTAG_PLATFORM names: the host's jtag-sim serve, over remote_bitbang
# too.  OpenOCD's autoprobe reads the IDCODE of the one TAP the fresh board's
# chain has.  Every wait is bounded; the trap ends both servers.
"$bin/jtag-serve" --rbb 0 >"$work/front.port" 2>"$work/front.err" &
front_pid=$!
for _ in $(seq 600); do [ -s "$work/front.port" ] && break; sleep 0.05; done
[ -s "$work/front.port" ] || {
  echo "board-build: the board's jtag-serve printed no port within 30 s; standard error:" >&2
  cat "$work/front.err" >&2
  exit 1
}
set +e
timeout 60 openocd -c "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; \
remote_bitbang port $(head -n 1 "$work/front.port"); transport select jtag; init; shutdown" >"$work/openocd.log" 2>&1
status=$?
set -e
idcode='tap/device found: 0x0bc0e06b'
if [ "$status" -ne 0 ] || ! grep -q "$idcode" "$work/openocd.log"; then
  echo "board-build: OpenOCD (status $status) did not see the IDCODE 0x0bc0e06b through the board's jtag-serve:" >&2
  cat "$work/openocd.log" "$work/front.err" >&2
  exit 1
fi
echo "  OpenOCD: $(grep -o "$idcode.*" "$work/openocd.log")"
kill "$front_pid"
for _ in $(seq 200); do kill -0 "$front_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$front_pid" 2>/dev/null && { echo "board-build: the board's jtag-serve still runs 10 s after SIGTERM" >&2; exit 1; }
set +e
wait "$front_pid"
status=$?
set -e
front_pid=
if [ "$status" -ne 0 ] || [ -s "$work/front.err" ]; then
  echo "board-build: the board's jtag-serve ended with status $status on SIGTERM; standard error:" >&2
  cat "$work/front.err" >&2
  exit 1
fi
