#!/usr/bin/env bash
# Installs what is missing, builds the test build (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build-test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTR52K_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# Fuzz targets, a bounded run each on the committed seed corpus.
bash scripts/fuzz.sh "${TR52K_FUZZ_SECONDS:-15}"
