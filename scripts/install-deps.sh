#!/bin/sh
# Installs the Debian packages the build and the tests need (as root).
# Packages already present are left alone, so this is quick on a ready machine.
set -eu
PACKAGES="cmake g++ make libgtest-dev libgmock-dev openocd"
missing=""
for p in $PACKAGES; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
fi
