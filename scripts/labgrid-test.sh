#!/bin/sh
# The labgrid driver's tests (tests/labgrid) through labgrid's pytest plugin
# and examples/labgrid/sim-board.yaml, twice: on a fresh sim: board in a
# temporary folder, and over remote_bitbang on a board that BUILD's jtag-sim
# serves on a free port.  The served board has processor 2 selected before
# the server starts, so a driver that reached any other board reads another
# IDCODE than JTAG_Reset does over the same port.  Debian's interpreter and
# labgrid (python3-labgrid) with BUILD's Python package; the state the
# programs keep (the default board, the TAP records of rbb:) stays in the
# temporary folder.  Prints pytest's closing line of each run; all of a
# run's output when it fails.
#   scripts/labgrid-test.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: scripts/labgrid-test.sh BUILD_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
python=/usr/bin/python3
tmp=$(mktemp -d)
server=""
# The server is stopped by its PID, and waited for so that it has saved the
# board before its folder goes.
trap '[ -z "$server" ] || { kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; }; rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM

export PYTHONPATH="$build/python" JTAGBOX_BIN="$build/bin" XDG_STATE_HOME="$tmp/state"
"$python" -c 'import jtagbox.labgrid' || {
  echo "labgrid-test: no jtagbox.labgrid in $build/python (build the Python module first)" >&2
  exit 1
}

status=0
# run NAME PLATFORM: one pytest run on the board PLATFORM names.
run() {
  if LG_JTAG_PLATFORM="$2" "$python" -m pytest -p no:cacheprovider \
    --lg-env "$root/examples/labgrid/sim-board.yaml" "$root/tests/labgrid" >"$tmp/$1.log" 2>&1; then
    ok=1
  else
    ok=0
    status=1
    cat "$tmp/$1.log"
  fi
  # A run in which nothing passed (every case skipped) has not passed either.
  if ! tail -n 1 "$tmp/$1.log" | grep -q ' passed'; then
    [ "$ok" -eq 0 ] || cat "$tmp/$1.log"
    status=1
  fi
  echo "labgrid ($1, $2): $(tail -n 1 "$tmp/$1.log")"
}

run sim "sim:$tmp/board"

JTAG_PLATFORM="sim:$tmp/served" "$build/bin/JTAG_CPUSelect" 2 >/dev/null
JTAG_PLATFORM="sim:$tmp/served" "$build/bin/jtag-sim" serve --port 0 >"$tmp/port" 2>"$tmp/serve.err" &
server=$!
# The port is the server's first line; give it up to 10 s to listen.
tries=0
until grep -qs '^[0-9][0-9]*$' "$tmp/port"; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "labgrid-test: jtag-sim serve printed no port: $(cat "$tmp/serve.err")" >&2
    exit 1
  fi
  sleep 0.1
done
run rbb "rbb:127.0.0.1:$(head -n 1 "$tmp/port")"
exit "$status"
