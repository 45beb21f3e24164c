#!/bin/sh
# Lays out PREFIX as the end-to-end suite expects an installed prefix, for
# the target build installed in TARGET_PREFIX: PREFIX/target holds the
# target's programs, PREFIX/bin the host launcher (board/emulator_launcher.cpp)
# under each program's name, with the command links as links to jtagbox just
# as installed.  Every program then runs under qemu-ppc with the argv[0] it
# was given.
#   scripts/emulated-prefix.sh TARGET_PREFIX PREFIX
set -eu
target=$(cd "$1" && pwd)
prefix="$2"
rm -rf "$prefix"
mkdir -p "$prefix/bin" "$prefix/target"
launcher="$prefix/emulator-launcher"
c++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$launcher" "$(dirname "$0")/../board/emulator_launcher.cpp"
# The data the programs read from beside bin/ (the scan maps), as installed.
[ ! -d "$target/share" ] || cp -R "$target/share" "$prefix/share"
for program in "$target"/bin/*; do
  name=$(basename "$program")
  if [ -L "$program" ]; then
    cp -P "$program" "$prefix/bin/$name"
  else
    cp "$program" "$prefix/target/$name"
    cp "$launcher" "$prefix/bin/$name"
  fi
done
