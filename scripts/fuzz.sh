#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each one for the given
# number of seconds, starting from the seed corpora in fuzz/corpus/.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ee_decode bulk_in ee_program list_open)
build_dir=${VEXA_FUZZ_BUILD_DIR:-build-fuzz}

scripts/install-deps.sh fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
CC=clang CXX=clang++ cmake -S fuzz -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

for target in "${targets[@]}"; do
  # New inputs go to the build folder; the committed seeds stay as they are.
  work="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target"
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz $target for ${seconds}s"
  log="$build_dir/fuzz-$target.log"
  status=0
  "$build_dir/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$work" "fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|SUMMARY)" "$log" || true
  if [ "$status" -ne 0 ] || compgen -G "$artifacts/*" >/dev/null; then
    tail -n 60 "$log" >&2
    echo "fuzz $target failed (status $status); failing inputs kept in $artifacts" >&2
    exit 1
  fi
done
echo "fuzz: all targets ran ${seconds}s without a failure"
