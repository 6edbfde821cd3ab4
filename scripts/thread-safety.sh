#!/usr/bin/env bash
# Builds the library alone with clang's thread-safety analysis as errors:
# every field marked GUARDED_BY must only be touched with its lock held, and
# every function marked REQUIRES only called so.
# Usage: scripts/thread-safety.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-thread-safety}
scripts/install-deps.sh thread-safety
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DVEXA_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-Wthread-safety" \
  -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_TOOLS=OFF -DVEXA_BUILD_PYTHON=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target vexa
