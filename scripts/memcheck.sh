#!/usr/bin/env bash
# valgrind memcheck over a representative subset of the test executables:
# discovery, opening, control, EEPROM, the data-path hand-off, faults,
# hostile input and the stress runs. Any memcheck error, and any byte
# definitely or indirectly lost, fails the run.
# Usage: scripts/memcheck.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-memcheck}
subset=(discovery_test control_test eeprom_test fault_test hostile_input_test
        stress_test datapath_read_write_test datapath_events_test open_test
        bulk_in_processing_test)

scripts/install-deps.sh valgrind
# An existing build folder (CI passes the one its plain run made) is used as
# it is configured; otherwise a Debug build of just the subset is made.
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DVEXA_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DVEXA_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build_dir" -j"$(nproc)" --target "${subset[@]}"

# Under valgrind every thread runs many times slower: the CPU-share checks of
# the fault tests are skipped (the count of bulk retries still shows a spin),
# and the soak runs at its shortest.
export VEXA_UNDER_VALGRIND=1
export VEXA_SOAK_SECONDS=${VEXA_SOAK_SECONDS:-1}
failed=()
for test in "${subset[@]}"; do
  echo "== memcheck $test"
  if ! valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
      --fair-sched=yes --quiet "$build_dir/tests/$test" --gtest_brief=1; then
    failed+=("$test")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "memcheck: errors or leaks in: ${failed[*]}" >&2
  exit 1
fi
echo "memcheck: ${#subset[@]} test programs, no errors, no bytes lost"
