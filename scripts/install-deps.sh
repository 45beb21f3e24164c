#!/bin/sh
# Installs the Debian packages that the build, the tests and scripts/lint.sh
# need (as root); README.md ("Dependencies") says why each one is there.
# With everything present it does nothing and prints nothing, so every other
# script calls it first.
set -eu
PACKAGES="cmake g++ make libsqlite3-dev sqlite3 libgtest-dev libgmock-dev openocd sigrok-cli clang-tidy clang-format
  g++-powerpc-linux-gnu qemu-user file
  scdoc dpkg-dev lintian man-db
  libftdi1-dev libusb-1.0-0-dev umockdev libumockdev-dev openfpgaloader pkg-config
  python3-dev pybind11-dev python3-pytest python3-labgrid"
missing=""
for p in $PACKAGES; do
  # dpkg -s would also accept a package that was removed but left its
  # configuration files behind.
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing Debian packages:$missing (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing from Debian:$missing"
log="${TMPDIR:-/tmp}/jtagbox-install-deps.log"
if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $missing; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "install-deps: apt-get failed; its output is above and in $log" >&2
  exit 1
fi
