#!/bin/sh
# The Debian packages: builds them with cpack in their own build tree (the
# default RelWithDebInfo build, stripped when packed; warnings as errors; no
# tests): jtagbox, jtagbox-ftdi where the build has the FTDI module, and
# python3-jtagbox, which it imports with Debian's /usr/bin/python3.
# Checks them with lintian, unpacks jtagbox into a fresh directory, checks
# its links and manual pages (jtagbox(7) must name every environment
# variable) and that no program of it links a USB library, runs a command
# from it against a fresh simulated board, asks it for JTAG_PLATFORM=ftdi
# without jtagbox-ftdi and again with it unpacked beside, and renders one
# manual page from it.
#   scripts/package.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-package}"
# The packages' build is reconfigured without tests: a tree that builds the
# tests would silently stop building them.
if grep -qx 'JTAGBOX_TESTS:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "package: $build builds the tests; give the packages a build folder of their own" >&2
  exit 1
fi
# Debian's own build flags (hardening: fortified functions, stack protector,
# full RELRO, immediate binding), as dpkg-buildflags gives them for a
# package built with every hardening feature.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
scripts/build.sh "$build" -DJTAGBOX_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(flags LDFLAGS)"
version=$(sed -n 's/^project(jtagbox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb="$build/jtagbox_${version}_${arch}.deb"
ftdi_deb=
grep -qx 'JTAGBOX_FTDI:BOOL=ON' "$build/CMakeCache.txt" && ftdi_deb="$build/jtagbox-ftdi_${version}_${arch}.deb"
py_deb="$build/python3-jtagbox_${version}_${arch}.deb"
rm -f "$build"/*.deb
echo "package: cpack -G DEB in $build/ (log: $build/cpack.log)"
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; exit 1; }
for d in "$deb" $ftdi_deb "$py_deb"; do
  [ -f "$d" ] || { echo "package: no $d" >&2; ls "$build"/*.deb >&2 || true; exit 1; }
  dpkg-deb --info "$d" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Recommends\|Suggests\):/package:   \1:/p'
done
# The simulated board links the system's SQLite: dpkg-shlibdeps must have
# made the package depend on it.  Nothing of jtagbox links a USB library.
dpkg-deb -f "$deb" Depends | grep -q 'libsqlite3-0' ||
  { echo "package: the package does not depend on libsqlite3-0" >&2; exit 1; }
! dpkg-deb -f "$deb" Depends | grep -q 'libftdi\|libusb\|libudev' ||
  { echo "package: jtagbox depends on a USB library: $(dpkg-deb -f "$deb" Depends)" >&2; exit 1; }
# The packaged completion needs bash-completion, which a minimal Debian lacks.
dpkg-deb -f "$deb" Recommends | grep -qx 'bash-completion' ||
  { echo "package: the package does not recommend bash-completion" >&2; exit 1; }
# jtagbox-ftdi: only suggested (apt installs what is recommended), of this
# very jtagbox, with the FTDI libraries.
if [ -n "$ftdi_deb" ]; then
  [ "$(dpkg-deb -f "$deb" Suggests)" = jtagbox-ftdi ] && [ -z "$(dpkg-deb -f "$deb" Recommends | grep ftdi)" ] ||
    { echo "package: jtagbox does not suggest (and only suggest) jtagbox-ftdi" >&2; exit 1; }
  dpkg-deb -f "$ftdi_deb" Depends | grep -q "libftdi1-2.*jtagbox (= $version)\|jtagbox (= $version).*libftdi1-2" ||
    { echo "package: jtagbox-ftdi does not depend on libftdi1-2 and jtagbox (= $version)" >&2; exit 1; }
fi

# An error or a warning fails; the information tags left are explained in
# doc/building.md ("The Debian package").
lintian_status=0
echo "package: lintian $deb $ftdi_deb $py_deb"
lintian --tag-display-limit 0 --display-info "$deb" $ftdi_deb "$py_deb" >"$build/lintian.log" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$build/lintian.log" || true
if [ "$lintian_status" -ne 0 ] || grep -q '^[EW]:' "$build/lintian.log"; then
  echo "package: lintian found the errors or warnings above" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
usr="$work/root/usr"
programs="jtagbox jtag-sim jtag-serve jtag-detect jtag-svf jtag-scan jtagbox-bench"
for program in $programs; do
  file "$usr/bin/$program" | grep -q 'stripped' && ! file "$usr/bin/$program" | grep -q 'not stripped' ||
    { echo "package: $program is not stripped" >&2; exit 1; }
  # Every start of a command loads what the program links: no USB library.
  ! readelf -d "$usr/bin/$program" | grep 'NEEDED' | grep -q 'libftdi\|libusb\|libudev' ||
    { echo "package: $program links a USB library:" >&2; readelf -d "$usr/bin/$program" | grep NEEDED >&2; exit 1; }
done
# The FTDI module and its udev rule are jtagbox-ftdi's.
[ ! -e "$usr/lib" ] || { echo "package: jtagbox holds files under usr/lib:" >&2; find "$usr/lib" >&2; exit 1; }
# The declared commands (cmake/commands.cmake wrote them at configure time):
# each is a link to jtagbox with its section-1 page and its completion link,
# and no other JTAG_* name is in bin.
commands="$build/commands.txt"
[ -s "$commands" ] || { echo "package: no $commands" >&2; exit 1; }
count=$(wc -l <"$commands")
while read -r name; do
  [ "$(readlink "$usr/bin/$name")" = jtagbox ] || { echo "package: no link $name -> jtagbox" >&2; exit 1; }
  [ -f "$usr/share/man/man1/$name.1.gz" ] || { echo "package: no page $name(1)" >&2; exit 1; }
  [ "$(readlink "$usr/share/bash-completion/completions/$name")" = jtagbox ] ||
    { echo "package: no completion link for $name" >&2; exit 1; }
done <"$commands"
links=$(find "$usr/bin" -name 'JTAG_*' | wc -l)
[ "$links" -eq "$count" ] || { echo "package: $links JTAG_* names in bin, not the $count declared" >&2; exit 1; }
# One page for each command and each program but jtagbox (whose page is
# jtagbox(7)).
for program in $programs; do
  [ "$program" = jtagbox ] || [ -f "$usr/share/man/man1/$program.1.gz" ] ||
    { echo "package: no page $program(1)" >&2; exit 1; }
done
pages=$(find "$usr/share/man/man1" -name '*.1.gz' | wc -l)
expected=$((count + $(echo $programs | wc -w) - 1))
[ "$pages" -eq "$expected" ] || { echo "package: $pages section-1 pages, not $expected" >&2; exit 1; }
[ -f "$usr/share/man/man7/jtagbox.7.gz" ] || { echo "package: no jtagbox(7)" >&2; exit 1; }
[ -f "$usr/share/man/man5/board.db.5.gz" ] || { echo "package: no board.db(5)" >&2; exit 1; }
[ -f "$usr/share/man/man5/jtag-scan.5.gz" ] || { echo "package: no jtag-scan(5)" >&2; exit 1; }
for map in sim-processors.map sim-vornex.map; do
  [ -f "$usr/share/jtagbox/scan-maps/$map" ] || { echo "package: no scan map $map" >&2; exit 1; }
done
# jtagbox(7) is where the environment variables are documented: all four.
MANWIDTH=80 man -l "$usr/share/man/man7/jtagbox.7.gz" 2>/dev/null | sed -n '/^ENVIRONMENT/,/^[A-Z]/p' >"$work/env.txt"
for variable in JTAG_PLATFORM JTAG_TRACE JTAG_WAVE JTAG_SVF; do
  grep -q "^       $variable\$" "$work/env.txt" ||
    { echo "package: jtagbox(7) has no entry for $variable under ENVIRONMENT" >&2; exit 1; }
done
echo "package: unpacked into a fresh directory: $count command links, $pages section-1 manual pages, board.db(5), jtag-scan(5), jtagbox(7), the scan maps, programs stripped"

echo "package: JTAG_Reset -d from the package on a fresh board"
JTAG_PLATFORM="sim:$work/board" "$usr/bin/jtag-sim" reset
JTAG_PLATFORM="sim:$work/board" "$usr/bin/JTAG_Reset" -d | tee "$work/reset.out"
grep -qx 'IDCODE = 0bc0e06b' "$work/reset.out" || { echo "package: JTAG_Reset printed no IDCODE" >&2; exit 1; }

if [ -n "$ftdi_deb" ]; then
  echo "package: JTAG_PLATFORM=ftdi JTAG_Reset without jtagbox-ftdi, then with it"
  status=0
  JTAG_PLATFORM=ftdi "$usr/bin/JTAG_Reset" >"$work/ftdi.out" 2>&1 || status=$?
  cat "$work/ftdi.out"
  [ "$status" -eq 1 ] && [ "$(wc -l <"$work/ftdi.out")" -eq 1 ] && grep -q 'needs the package jtagbox-ftdi' "$work/ftdi.out" ||
    { echo "package: without jtagbox-ftdi, JTAG_PLATFORM=ftdi gave status $status and not one line naming it" >&2; exit 1; }
  dpkg-deb -x "$ftdi_deb" "$work/root"
  grep -q 'GROUP="plugdev"' "$usr/lib/udev/rules.d/60-jtagbox-ftdi.rules" ||
    { echo "package: jtagbox-ftdi has no udev rule giving plugdev the probes" >&2; exit 1; }
  file "$usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/jtagbox/jtagbox-ftdi.so" | grep -q ', stripped' ||
    { echo "package: jtagbox-ftdi.so is not stripped" >&2; exit 1; }
  # The module loads and looks for a probe with IDs no device has.
  status=0
  JTAG_PLATFORM=ftdi:vid=0,pid=0 XDG_STATE_HOME="$work/state" "$usr/bin/JTAG_Reset" >"$work/ftdi.out" 2>&1 || status=$?
  cat "$work/ftdi.out"
  [ "$status" -eq 1 ] && [ "$(wc -l <"$work/ftdi.out")" -eq 1 ] && grep -q '^jtagbox: FTDI probe 0000:0000' "$work/ftdi.out" ||
    { echo "package: with jtagbox-ftdi, JTAG_PLATFORM=ftdi did not reach the module" >&2; exit 1; }
fi

# python3-jtagbox: for Debian 12's Python alone; its module, imported by
# /usr/bin/python3 from where the package puts it, resets a fresh board.
echo "package: import jtagbox from $py_deb"
dpkg-deb -f "$py_deb" Depends | grep -q 'python3 (>= 3.11~), python3 (<< 3.12)' ||
  { echo "package: python3-jtagbox does not depend on Python 3.11: $(dpkg-deb -f "$py_deb" Depends)" >&2; exit 1; }
dpkg-deb -x "$py_deb" "$work/root"
PYTHONPATH="$usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c \
  'import jtagbox, sys; print(f"IDCODE = {jtagbox.open(sys.argv[1]).reset():08x}")' "sim:$work/python-board" |
  tee "$work/python.out"
grep -qx 'IDCODE = 0bc0e06b' "$work/python.out" || { echo "package: jtagbox from python3-jtagbox read no IDCODE" >&2; exit 1; }
if [ -n "$ftdi_deb" ]; then
  # From Python's path the module finds jtagbox-ftdi's folder too.
  PYTHONPATH="$usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 XDG_STATE_HOME="$work/state" /usr/bin/python3 -c \
    'import jtagbox
try: jtagbox.open("ftdi:vid=0,pid=0").reset()
except jtagbox.Error as e: print(e)' | tee "$work/python-ftdi.out"
  grep -q '^jtagbox: FTDI probe 0000:0000' "$work/python-ftdi.out" ||
    { echo "package: jtagbox from python3-jtagbox did not reach the FTDI module" >&2; exit 1; }
fi

echo "package: man JTAG_ScanDump from the package"
MANWIDTH=80 man -l "$usr/share/man/man1/JTAG_ScanDump.1.gz" 2>"$work/man.err" >"$work/man.txt"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; exit 1; }
for section in SYNOPSIS OPTIONS FILES 'EXIT STATUS' EXAMPLE; do
  grep -q "^$section" "$work/man.txt" || { echo "package: no $section in the page" >&2; exit 1; }
done
sed -n '1,/^OPTIONS/p' "$work/man.txt"

echo "package: bash completion from the package"
# Each case: the line typed so far (split as bash splits it, at "=" too),
# the completion function, then the completions expected.
while IFS='|' read -r line words function expected; do
  got=$(bash -c ". '$usr/share/bash-completion/completions/${line%% *}'
    COMP_LINE='$line'; COMP_POINT=\${#COMP_LINE}; read -ra COMP_WORDS <<<'$words'
    COMP_CWORD=\$((\${#COMP_WORDS[@]} - 1)); $function \${COMP_WORDS[0]}; echo \${COMPREPLY[*]}")
  [ "$got" = "$expected" ] || { echo "package: completing '$line' gave '$got', not '$expected'" >&2; exit 1; }
done <<'CASES'
jtag-sim set cpu0.ch|jtag-sim set cpu0.ch|_jtag_sim|cpu0.chain_select= cpu0.chain.
jtag-sim set vnx2.tap=Shift-|jtag-sim set vnx2.tap = Shift-|_jtag_sim|Shift-DR Shift-IR
JTAG_ScanDump 0c 8 x -|JTAG_ScanDump 0c 8 x -|_jtagbox_command|-d -d= -h -a -f= -r
JTAG_CPUSelect s|JTAG_CPUSelect s|_jtagbox_command|scandump
jtag-svf -|jtag-svf -|_jtag_svf|-q --ahead --strict --tms-trst --help --version
jtagbox-bench s|jtagbox-bench s|_jtagbox_bench|scan_dump scan_map svf
jtag-scan d|jtag-scan d|_jtag_scan|decode diff
CASES
echo "package: $deb checked"
