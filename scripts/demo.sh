#!/usr/bin/env bash
# Builds everything and runs the demo against two simulated chips.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh base
cmake -S . -B build -DVEXA_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
export LD_LIBRARY_PATH="$PWD/build/simlib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export VEXA_SIM_CHIPS="dual,serial=VX2001,desc=Dual bridge,loopback=1;single,serial=VX1001,desc=Single bridge,loopback=1"
build/demo/vexa_demo
