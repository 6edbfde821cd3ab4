#!/usr/bin/env bash
# Builds everything and runs the demo against two simulated chips.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh base
cmake -S . -B build -DVEXA_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
chips=(--chip "dual,serial=VX2001,desc=Dual bridge,loopback=1"
       --chip "single,serial=VX1001,desc=Single bridge,loopback=1")

echo "== The library from C (demo/vexa_demo.c), with simulated chips put in front by vexa-sim"
build/tools/vexa-sim "${chips[@]}" -- build/demo/vexa_demo
echo
echo "== The same chips through the vexa tool"
for command in "list" "info 1" "loopback 2 --bytes 262144 --baud 3000000"; do
  echo "\$ vexa $command"
  # shellcheck disable=SC2086
  build/tools/vexa-sim "${chips[@]}" -- build/tools/vexa $command
done
