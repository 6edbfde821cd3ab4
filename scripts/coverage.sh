#!/usr/bin/env bash
# Line and branch coverage of the library's own sources (api/, datapath/,
# control/, eeprom/) over the whole test suite, with gcov and gcovr.
# Usage: scripts/coverage.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-coverage}
scripts/install-deps.sh coverage
# Counters updated atomically: the reader threads and the callers run the
# same code at once, and plain counters then come out torn (even negative).
cmake -S . -B "$build_dir" -DVEXA_WERROR=ON -DVEXA_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DVEXA_BUILD_TOOLS=OFF -DCMAKE_CXX_FLAGS=-fprofile-update=atomic >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
# Counts from an earlier run would add up with this one.
find "$build_dir" -name '*.gcda' -delete
ctest --test-dir "$build_dir" -j"$(nproc)" --output-on-failure --timeout 300

filters=(--filter 'api/' --filter 'datapath/' --filter 'control/' --filter 'eeprom/')
echo "== line coverage"
gcovr --root . --object-directory "$build_dir" "${filters[@]}" --txt
echo "== branch coverage"
gcovr --root . --object-directory "$build_dir" "${filters[@]}" --txt --branches \
  --exclude-unreachable-branches --print-summary
