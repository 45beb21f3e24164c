#!/bin/sh
# The platform boundary as the board has it, proved with our own platform:
#   1. our platform layer built as a shared library (JTAGBOX_SHARED_PLATFORM)
#      that exports exactly the C interface of src/platform/jtag_platform.h;
#   2. jtagbox built against it with -DJTAGBOX_PLATFORM_LIBRARY, defining and
#      exporting exactly the seven line globals, with none of our platform
#      inside;
#   3. the host's end-to-end suite against that jtagbox, on the simulated
#      board and over remote_bitbang (scripts/e2e-against.sh).
#   scripts/platform-boundary.sh [HOST_BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
host="${1:-build}"
lib_build=build-platform-lib
exe_build=build-platform-exe
header=src/platform/jtag_platform.h

scripts/build.sh "$host"
echo "platform-boundary: our platform layer as a shared library in $lib_build/"
mkdir -p "$lib_build"
cmake -S . -B "$lib_build" -DJTAGBOX_WERROR=ON -DJTAGBOX_TESTS=OFF -DJTAGBOX_SHARED_PLATFORM=ON >"$lib_build/configure.log" 2>&1 ||
  { cat "$lib_build/configure.log" >&2; exit 1; }
cmake --build "$lib_build" -j2 --target jtagplatform >"$lib_build/compile.log" 2>&1 ||
  { cat "$lib_build/compile.log" >&2; exit 1; }
library="$PWD/$lib_build/lib/libjtagplatform.so"

fail() {
  echo "platform-boundary: $1" >&2
  shift
  printf '%s\n' "$@" >&2
  exit 1
}
# What the header declares: the functions, and the one variable the platform
# defines (the others the executable defines).
declared=$(sed -n 's/^[a-z].*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
declared=$(printf '%s\njtag_fpga_accelerate\n' "$declared" | sort)
globals=$(printf '%s\n' tdo tms TDI tclk bit_counter pport_state debug_level | sort)
[ "$(printf '%s\n' "$declared" | wc -l)" -ge 17 ] || fail "found too few declarations in $header" "$declared"
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
[ "$exported" = "$declared" ] ||
  fail "libjtagplatform.so exports other than the C interface" "$(printf '%s\n' "$declared" | diff - /dev/stdin <<E || true
$exported
E
)"
# The globals the library reads are left for the executable to define.
for g in $(nm -D --undefined-only "$library" | awk '{print $2}'); do
  printf '%s\n' "$globals" | grep -qx "$g" && echo "platform-boundary: libjtagplatform.so reads $g from the executable"
done
echo "platform-boundary: libjtagplatform.so exports exactly the $(printf '%s\n' "$declared" | wc -l) names of $header"

echo "platform-boundary: jtagbox against it in $exe_build/"
mkdir -p "$exe_build"
cmake -S . -B "$exe_build" -DJTAGBOX_WERROR=ON -DJTAGBOX_TESTS=OFF -DJTAGBOX_PLATFORM_LIBRARY="$library" \
  >"$exe_build/configure.log" 2>&1 || { cat "$exe_build/configure.log" >&2; exit 1; }
cmake --build "$exe_build" -j2 >"$exe_build/compile.log" 2>&1 ||
  { cat "$exe_build/compile.log" >&2; exit 1; }
exe="$exe_build/bin/jtagbox"
# The seven globals, each defined there as a data object of the header's
# size: int is 4 bytes, pport_state one.  (The dynamic symbol table also
# holds what the linker exports by itself: copies of library variables the
# program uses, such as stdout and jtag_fpga_accelerate, and template
# instances that libstdc++ defines too.)
table=$(nm -D -S --defined-only "$exe")
for entry in tdo:4 tms:4 TDI:4 tclk:4 bit_counter:4 debug_level:4 pport_state:1; do
  name=${entry%:*}
  size=${entry#*:}
  printf '%s\n' "$table" | awk -v name="$name" -v size="$size" \
    '$4 == name && $3 ~ /^[BDbd]$/ && $2 + 0 == size {found = 1} END {exit !found}' ||
    fail "jtagbox does not export $name as a $size-byte data object" "$table"
done
nm --defined-only "$exe" | grep -qw JTAG_Shift && fail "jtagbox carries a JTAG_Shift of its own"
ldd "$exe" | grep -q "libjtagplatform.so => $library" || fail "jtagbox does not load $library" "$(ldd "$exe")"
echo "platform-boundary: jtagbox exports the seven globals and takes the platform from libjtagplatform.so"

rm -rf "$exe_build/prefix"
cmake --install "$exe_build" --prefix "$exe_build/prefix" >/dev/null
scripts/e2e-against.sh "$host" "$exe_build/prefix" sim
scripts/e2e-against.sh "$host" "$exe_build/prefix" rbb
