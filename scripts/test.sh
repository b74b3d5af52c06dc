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
# The unit locks the tests take land in a folder of the build's, not the
# system's lock folder.
export XDG_RUNTIME_DIR="$PWD/$build/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# Nothing the tests run writes to the history of whoever runs them.
export TR52K_HISTORY_FILE="$PWD/$build/test-history.jsonl"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Most of the fault cases wait out unit time-outs, so they run side by side
# beyond the number of cores.
jobs=$(( $(nproc) * 2 )); (( jobs < 8 )) && jobs=8
ctest --test-dir "$build" --output-on-failure -j"$jobs"

# Windows: the core, tr52k.exe and tr52k-sim.exe cross-built with MinGW-w64,
# the core's suites run under Wine, and the Windows programs end to end
# against the Linux programs above on 127.0.0.1. Wine runs in a prefix of
# its own under the build folder, never the user's. One wineserver is
# started for the whole run with its output on /dev/null: one that a test
# started would inherit ctest's pipe and keep ctest waiting for it.
windows_start=$SECONDS
win=build-win
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DTR52K_NATIVE_BUILD="$PWD/$build" >/dev/null
cmake --build "$win" -j"$(nproc)"
export WINEPREFIX="$PWD/$win/wineprefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i </dev/null >/dev/null 2>&1
ctest --test-dir "$win" --output-on-failure -j"$(nproc)"
wineserver -k >/dev/null 2>&1 || true
trap - EXIT
echo "Windows build and tests under Wine: $((SECONDS - windows_start)) s"

# The threaded parts (ticker, update procedures, simulator, several units at
# once) again under ThreadSanitizer. The dialog stays out: Debian's Qt is not
# built with ThreadSanitizer, so its own threads would be reported falsely.
tsan=build-tsan
cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=Debug -DTR52K_TSAN=ON -DTR52K_BUILD_UI=OFF >/dev/null
cmake --build "$tsan" -j"$(nproc)" --target test_update test_integration test_cli test_sim test_link test_faults \
  tr52k tr52k-sim
export TSAN_OPTIONS=halt_on_error=1
for t in test_update test_integration test_cli test_sim test_link; do
  "$tsan/tests/$t" --gtest_brief=1
done
# The fault campaign drives the ThreadSanitizer build of the tool; its cases
# mostly wait, so they run in shards side by side.
shards=$jobs
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$tsan/tests/test_faults" --gtest_brief=1 \
    >"$tsan/faults-shard-$i.log" 2>&1 &
  pids+=($!)
done
failed=0
for ((i = 0; i < shards; i++)); do
  if ! wait "${pids[$i]}"; then
    cat "$tsan/faults-shard-$i.log"
    failed=1
  fi
done
(( failed == 0 )) || { echo "fault campaign failed under ThreadSanitizer" >&2; exit 1; }

# Fuzz targets, a bounded run each on the committed seed corpus.
bash scripts/fuzz.sh "${TR52K_FUZZ_SECONDS:-15}"
