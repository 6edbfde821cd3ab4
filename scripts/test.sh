#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
# Usage: scripts/test.sh [--sanitize address,undefined|thread] [--m32] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
cmake_args=(-DVEXA_WERROR=ON)
profiles=(base)
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) cmake_args+=("-DVEXA_SANITIZE=$2" -DCMAKE_BUILD_TYPE=Debug); shift ;;
    --m32)
      profiles+=(m32)
      cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386-linux.cmake" -DVEXA_LINK_SIM=ON
                   -DVEXA_GTEST_FROM_SOURCE=ON -DVEXA_BUILD_TOOLS=OFF) ;;
    --build-dir) build_dir=$2; shift ;;
    *) echo "test.sh: unknown option '$1'" >&2; exit 2 ;;
  esac
  shift
done

scripts/install-deps.sh "${profiles[@]}"
cmake -S . -B "$build_dir" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" -j"$(nproc)" --output-on-failure --timeout 300
