#!/bin/sh
# Builds the Debian packages, checks them with lintian (no error, and no
# warning that packaging/deb does not override with a reason), installs them
# on this machine with dpkg, builds and runs the example application test and
# the tool against the installed files, and removes the packages again.
# Needs root (or sudo) for dpkg.
#
#   scripts/check-packages.sh [BUILD_DIR]     (default: build-deb)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-deb}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
"$here/scripts/install-deps.sh" packages

# Packages install to /usr, so the build is configured for that prefix (the
# library folder and the pkg-config files follow from it).
cmake -S "$here" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DVEXA_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB > /dev/null)
debs=$(ls "$build"/*.deb)
echo "== packages:"; for deb in $debs; do echo "   $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"; done

echo "== lintian"
lintian --fail-on error,warning $debs

work=$(mktemp -d)
names=""
for deb in $debs; do names="$names $(dpkg-deb -f "$deb" Package)"; done
cleanup() {
  # Dependents first; then purged, so that no "config-files" state stays.
  $sudo dpkg -r libvexa-sim-dev vexa-tools libvexa-dev libvexa1 > /dev/null 2>&1 || true
  $sudo dpkg -P libvexa-sim-dev vexa-tools libvexa-dev libvexa1 > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== dpkg -i:$names"
# shellcheck disable=SC2086
$sudo dpkg -i $debs > "$work/dpkg.log"

echo "== the example application test against the installed simulator"
make -s -C "$work" -f "$here/examples/sim_test/Makefile" check
echo "== the installed tool under the installed launcher"
vexa-sim --chip r4,serial=PKG1,loopback=1 -- vexa loopback 0 --bytes 10000 | grep -q "0 errors, 0 missing"
pkg-config --cflags vexa | grep -qv -- "-I/usr/include"

echo "== dpkg -r"
cleanup
trap - EXIT
for name in $names; do
  status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
  case "$status" in
    "" | *not-installed) ;;
    *) echo "check-packages: $name is left behind ($status)" >&2; exit 1 ;;
  esac
done
echo "check-packages: passed"
