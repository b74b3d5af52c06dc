#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan+UBSan+libFuzzer) and runs each for
# a bounded time on its committed seed corpus. Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
bash scripts/install-deps.sh
build=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTR52K_SANITIZE=ON -DTR52K_FUZZ=ON \
  -DBUILD_TESTING=OFF -DTR52K_BUILD_UI=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_replies fuzz_registry fuzz_cmdline fuzz_sim_requests
for target in replies registry cmdline sim_requests; do
  work="$build/corpus-$target"
  mkdir -p "$work"
  echo "== fuzz_$target for ${seconds}s"
  "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/crash-$target-" "$work" "tests/fuzz/corpus/$target" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' || true
  if ls "$build"/crash-"$target"-* >/dev/null 2>&1; then
    echo "fuzz_$target found a crash: $(ls "$build"/crash-"$target"-*)" >&2
    exit 1
  fi
done
