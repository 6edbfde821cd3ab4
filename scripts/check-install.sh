#!/bin/sh
# Proves that an installed vexa is usable the way a newcomer would use it:
# installs a build into a temporary prefix, builds both examples out of tree
# through pkg-config and through find_package(vexa), and runs them under
# vexa-sim against a simulated loopback chip.
#
#   scripts/check-install.sh [BUILD_DIR]     (default: build)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
[ -f "$build/CMakeCache.txt" ] || { echo "check-install: $build is not a configured build folder" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# Only what gets installed, so that an unrelated broken test cannot stop the check.
cmake --build "$build" -j2 --target vexa vexa_tool vexa-sim vexa_usb_sim vexa_man_pages vexa_deb_changelog
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

libdir=$(find "$prefix" -name 'libvexa.so.1' -printf '%h\n' | head -n1)
[ -n "$libdir" ] || { echo "check-install: libvexa.so.1 was not installed" >&2; exit 1; }
for f in "$prefix/include/vexa.h" "$prefix/include/vexa_version.h" "$libdir/libvexa.so" "$libdir/pkgconfig/vexa.pc" \
         "$libdir/cmake/vexa/vexaConfig.cmake" "$libdir/cmake/vexa/vexaConfigVersion.cmake" \
         "$prefix/bin/vexa" "$prefix/bin/vexa-sim" "$libdir/vexa/sim/libusb-0.1.so.4" \
         "$libdir/pkgconfig/vexa-sim.pc" "$prefix/include/vexa_sim.h" \
         "$prefix/share/man/man1/vexa.1.gz" "$prefix/share/man/man1/vexa-sim.1.gz"; do
  [ -e "$f" ] || { echo "check-install: missing $f" >&2; exit 1; }
done
ls "$prefix"/lib/udev/rules.d/*-vexa.rules > /dev/null

export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
sim="$prefix/bin/vexa-sim"
chip="r4,serial=CHK1,desc=Install check,loopback=1"

echo "== pkg-config: $(pkg-config --cflags --libs vexa)"
mkdir "$work/pc"
make -s -C "$work/pc" -f "$here/examples/standalone/Makefile"
"$sim" --chip "$chip" -- "$work/pc/serial_echo" CHK1 hello | grep -q "received 5 bytes: hello"
"$sim" --chip "$chip" -- "$work/pc/event_reader" 0 200 hi | grep -qx "hi"
"$sim" --chip "dual,loopback=1" -- "$work/pc/poll_two_channels" 0 1 1 | grep -q "16 byte(s): hello, channel 1"

echo "== find_package(vexa)"
cmake -S "$here/examples/standalone" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" > "$work/cm.log"
cmake --build "$work/cm" > "$work/cm-build.log"
"$sim" --chip "$chip" -- "$work/cm/serial_echo" CHK1 hello | grep -q "received 5 bytes: hello"
"$sim" --chip "$chip" -- "$work/cm/event_reader" 0 200 hi | grep -qx "hi"

echo "== an application test against the installed simulator (vexa-sim.pc)"
mkdir "$work/simtest"
make -s -C "$work/simtest" -f "$here/examples/sim_test/Makefile" check | grep -qx "app_test: all checks passed"

echo "== installed tool under the installed simulator"
"$sim" --chip "$chip" -- "$prefix/bin/vexa" loopback 0 --bytes 10000 | grep -q "0 errors, 0 missing"

echo "== Python package under Debian's interpreter"
pydir=$(find "$prefix" -path '*/dist-packages/vexa' -printf '%h\n' | head -n1)
[ -n "$pydir" ] || { echo "check-install: the Python package was not installed" >&2; exit 1; }
PYTHONPATH="$pydir" "$sim" --chip "$chip" -- /usr/bin/python3 -c \
  'import vexa; ch = vexa.open(serial="CHK1"); ch.write(b"hi"); assert ch.read(2, timeout=1) == b"hi"; ch.close()'

echo "check-install: passed"
