#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/install-deps.sh [base] [m32] [fuzz] [thread-safety] [umockdev] [coverage] [valgrind] [packages]
set -euo pipefail

packages=(build-essential cmake pkg-config libusb-dev libgtest-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev python3-pytest python3-serial)
for profile in "$@"; do
  case "$profile" in
    base) ;;
    m32) packages+=(g++-multilib qemu-user) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    thread-safety) packages+=(clang) ;;
    umockdev) packages+=(umockdev libumockdev-dev) ;;
    coverage) packages+=(gcovr) ;;
    valgrind) packages+=(valgrind) ;;
    packages) packages+=(dpkg-dev file lintian libusb-0.1-4 man-db) ;;
    *) echo "install-deps: unknown profile '$profile'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
