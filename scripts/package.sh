#!/bin/sh
# The Debian package: builds it with cpack in its own build tree (the
# default RelWithDebInfo build, stripped when packed; warnings as errors; no
# tests), checks it with lintian, unpacks it into a fresh directory, checks
# its links and manual pages (jtagbox(7) must name every environment
# variable), runs a command from it against a fresh simulated board and
# renders one manual page from it.
#   scripts/package.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-package}"
# Debian's own build flags (hardening: fortified functions, stack protector,
# full RELRO, immediate binding), as dpkg-buildflags gives them for a
# package built with every hardening feature.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
scripts/build.sh "$build" -DJTAGBOX_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)"
version=$(sed -n 's/^project(jtagbox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb="$build/jtagbox_${version}_${arch}.deb"
rm -f "$deb"
echo "package: cpack -G DEB in $build/ (log: $build/cpack.log)"
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log" >&2; exit 1; }
[ -f "$deb" ] || { echo "package: no $deb" >&2; ls "$build"/*.deb >&2 || true; exit 1; }
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Recommends\):/package:   \1:/p'
# The simulated board links the system's SQLite: dpkg-shlibdeps must have
# made the package depend on it.
dpkg-deb -f "$deb" Depends | grep -q 'libsqlite3-0' ||
  { echo "package: the package does not depend on libsqlite3-0" >&2; exit 1; }
# The packaged completion needs bash-completion, which a minimal Debian lacks.
dpkg-deb -f "$deb" Recommends | grep -qx 'bash-completion' ||
  { echo "package: the package does not recommend bash-completion" >&2; exit 1; }

echo "package: lintian $deb"
# An error or a warning fails; the information tags left are explained in
# doc/building.md ("The Debian package").
lintian_status=0
lintian --tag-display-limit 0 --display-info "$deb" >"$build/lintian.log" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$build/lintian.log" || true
if [ "$lintian_status" -ne 0 ] || grep -q '^[EW]:' "$build/lintian.log"; then
  echo "package: lintian found the errors or warnings above" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
usr="$work/root/usr"
# A package with the FTDI backend (it links libftdi1) gives the probes'
# users access through its udev rule.
if dpkg-deb -f "$deb" Depends | grep -q 'libftdi1'; then
  grep -q 'GROUP="plugdev"' "$usr/lib/udev/rules.d/60-jtagbox-ftdi.rules" ||
    { echo "package: the FTDI backend is in, its udev rule (lib/udev/rules.d/60-jtagbox-ftdi.rules) is not" >&2; exit 1; }
fi
programs="jtagbox jtag-sim jtag-serve jtag-detect jtag-svf jtagbox-bench"
for program in $programs; do
  file "$usr/bin/$program" | grep -q 'stripped' && ! file "$usr/bin/$program" | grep -q 'not stripped' ||
    { echo "package: $program is not stripped" >&2; exit 1; }
done
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
# jtagbox(7) is where the environment variables are documented: all four.
MANWIDTH=80 man -l "$usr/share/man/man7/jtagbox.7.gz" 2>/dev/null | sed -n '/^ENVIRONMENT/,/^[A-Z]/p' >"$work/env.txt"
for variable in JTAG_PLATFORM JTAG_TRACE JTAG_WAVE JTAG_SVF; do
  grep -q "^       $variable\$" "$work/env.txt" ||
    { echo "package: jtagbox(7) has no entry for $variable under ENVIRONMENT" >&2; exit 1; }
done
echo "package: unpacked into a fresh directory: $count command links, $pages section-1 manual pages, board.db(5), jtagbox(7), programs stripped"

echo "package: JTAG_Reset -d from the package on a fresh board"
JTAG_PLATFORM="sim:$work/board" "$usr/bin/jtag-sim" reset
JTAG_PLATFORM="sim:$work/board" "$usr/bin/JTAG_Reset" -d | tee "$work/reset.out"
grep -qx 'IDCODE = 0bc0e06b' "$work/reset.out" || { echo "package: JTAG_Reset printed no IDCODE" >&2; exit 1; }

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
jtagbox-bench s|jtagbox-bench s|_jtagbox_bench|scan_dump svf
CASES
echo "package: $deb checked"
