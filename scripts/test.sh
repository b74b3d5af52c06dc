#!/usr/bin/env bash
# Installs what is missing, then runs the whole test suite in stages: the
# sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer) with
# every ctest test, the Windows build under Wine, the ThreadSanitizer build
# with the fault campaign, and the fuzzers. Every stage runs even when an
# earlier one failed; the run ends with one line per stage, then
# "N passed, N failed, N skipped" (stages), and exits non-zero if any failed.
# Usage: scripts/test.sh [STAGE...]   (native, windows, tsan, fuzz; all by default)
#
# It assumes nothing of the machine beyond Debian's packages: it sets its own
# UTF-8 locale, and every file the tests write (HOME, the XDG folders, the
# temporary folder, Wine's and Xvfb's) lands in one scratch folder that is
# removed at the end, even after a failure or Ctrl-C. The user's own files are
# never touched.
set -uo pipefail
cd "$(dirname "$0")/.."

# C.UTF-8 comes with glibc, so it is there even where no locale is set up;
# file names with non-ASCII letters need it under Wine.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset LANGUAGE

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tr52k-test.XXXXXX") || exit 1
# Readable by others: the packaging check runs the installed programs as
# another user from a folder in here.
chmod 755 "$scratch"
win=build-win
cleanup() {
  if [ -d "$win/wineprefix" ]; then
    WINEPREFIX="$PWD/$win/wineprefix" wineserver -k >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
export HOME="$scratch/home" TMPDIR="$scratch/tmp" XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_STATE_HOME="$HOME/.local/state"
export XDG_CACHE_HOME="$HOME/.cache"
mkdir -p "$TMPDIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 755 "$TMPDIR"
chmod 700 "$HOME" "$XDG_RUNTIME_DIR"

build=build-test
export QT_QPA_PLATFORM=offscreen
# Nothing the tests run writes to the history of whoever runs them.
export TR52K_HISTORY_FILE="$scratch/test-history.jsonl"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Most of the fault cases wait out unit time-outs, so they run side by side
# beyond the number of cores (TR52K_TEST_JOBS sets how many).
jobs=${TR52K_TEST_JOBS:-$(( $(nproc) * 2 ))}; (( jobs < 8 )) && [ -z "${TR52K_TEST_JOBS:-}" ] && jobs=8

# A stage writes a short note (tests skipped, which step failed) here.
note="$scratch/stage-note"

# ctest with its summary kept, so the stage line can say how many tests
# were skipped and why a stage failed.
run_ctest() {  # run_ctest BUILD_DIR JOBS
  local log="$scratch/ctest.log" rc=0 skipped
  ctest --test-dir "$1" --output-on-failure -j"$2" 2>&1 | tee "$log" || rc=$?
  skipped=$(grep -c '(Skipped)' "$log" || true)
  if (( rc != 0 )); then
    echo "$(grep -o '[0-9]* tests failed out of [0-9]*' "$log" || echo tests failed)" >"$note"
  elif (( skipped > 0 )); then
    echo "$skipped tests skipped" >"$note"
  fi
  return "$rc"
}

native() {
  echo build failed >"$note"
  touch "$scratch/native-build-failed"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTR52K_SANITIZE=ON >/dev/null
  cmake --build "$build" -j"$(nproc)"
  : >"$note"
  rm "$scratch/native-build-failed"
  run_ctest "$build" "$jobs"
}

# Windows: the core, tr52k.exe and tr52k-sim.exe cross-built with MinGW-w64,
# the core's suites run under Wine, and the Windows programs end to end
# against the Linux programs above on 127.0.0.1. Wine runs in a prefix of
# its own under the build folder, never the user's, with its menu builder
# off so it adds no menus or file associations to the (scratch) home. One
# wineserver is started for the whole stage with its output on /dev/null:
# one that a test started would inherit ctest's pipe and keep ctest waiting.
windows() {
  echo build failed >"$note"
  cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTR52K_NATIVE_BUILD="$PWD/$build" >/dev/null
  cmake --build "$win" -j"$(nproc)"
  : >"$note"
  export WINEPREFIX="$PWD/$win/wineprefix" WINEDEBUG=-all WINEARCH=win64
  # The prefix links the user's Desktop and Documents to HOME: one that lasts
  # as long as the prefix, beside it, not the scratch home removed at the end.
  export HOME="$PWD/$win/home"
  mkdir -p "$HOME"
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  export WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
  local rc=0
  run_ctest "$win" "$(nproc)" || rc=$?
  wineserver -k >/dev/null 2>&1 || true
  return "$rc"
}

# The threaded parts (ticker, update procedures, simulator, several units at
# once) again under ThreadSanitizer. The dialog stays out: Debian's Qt is not
# built with ThreadSanitizer, so its own threads would be reported falsely.
tsan() {
  local tsan=build-tsan
  echo build failed >"$note"
  cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=Debug -DTR52K_TSAN=ON -DTR52K_BUILD_UI=OFF >/dev/null
  cmake --build "$tsan" -j"$(nproc)" --target test_update test_integration test_cli test_sim test_link test_faults \
    tr52k tr52k-sim
  : >"$note"
  export TSAN_OPTIONS=halt_on_error=1
  local failed=()
  for t in test_update test_integration test_cli test_sim test_link; do
    "$tsan/tests/$t" --gtest_brief=1 || failed+=("$t")
  done
  # The fault campaign drives the ThreadSanitizer build of the tool; its
  # cases mostly wait, so they run in shards side by side.
  local shards=$jobs pids=() i
  for ((i = 0; i < shards; i++)); do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$tsan/tests/test_faults" --gtest_brief=1 \
      >"$tsan/faults-shard-$i.log" 2>&1 &
    pids+=($!)
  done
  for ((i = 0; i < shards; i++)); do
    if ! wait "${pids[$i]}"; then
      cat "$tsan/faults-shard-$i.log"
      failed+=("test_faults shard $i")
    fi
  done
  if (( ${#failed[@]} > 0 )); then
    local IFS=,
    echo "failed: ${failed[*]}" >"$note"
    return 1
  fi
}

# Fuzz targets, a bounded run each on the committed seed corpus.
fuzz() {
  bash scripts/fuzz.sh "${TR52K_FUZZ_SECONDS:-15}"
}

summary=()
passed=0 failed=0 skipped=0
stage() {  # stage FUNCTION TITLE
  local fn=$1 title="$1: $2" start=$SECONDS result rc
  [[ " $selected " == *" $fn "* ]] || return 0
  echo
  echo "=== $title"
  : >"$note"
  # The Windows programs meet the native ones in their end-to-end tests.
  if [ "$fn" = windows ] && [ -e "$scratch/native-build-failed" ]; then
    result=skipped
    echo "needs the native build, which failed" >"$note"
  else
    # A subshell of its own: one stage's exports and failures stay in it,
    # and set -e ends the stage, not the run.
    (set -e; "$fn")
    rc=$?
    if (( rc == 0 )); then result=passed; else result=failed; fi
  fi
  case $result in
    passed) passed=$((passed + 1)) ;;
    failed) failed=$((failed + 1)) ;;
    skipped) skipped=$((skipped + 1)) ;;
  esac
  local detail
  detail=$(head -1 "$note")
  summary+=("$(printf '%-8s%s (%d s%s)' "$result" "$title" $((SECONDS - start)) "${detail:+; $detail}")")
}

# Arguments name the stages to run (e.g. "native tsan"); all by default.
stages="native windows tsan fuzz"
selected=" ${*:-$stages} "
for name in $selected; do
  [[ " $stages " == *" $name "* ]] || { echo "usage: $0 [STAGE...]; stages: $stages" >&2; exit 2; }
done

packages=ok
if bash scripts/install-deps.sh test; then
  stage native "sanitizer build and ctest"
  stage windows "MinGW build and ctest under Wine"
  stage tsan "ThreadSanitizer build, tests and fault campaign"
  stage fuzz "each target for ${TR52K_FUZZ_SECONDS:-15} s"
else
  packages=missing
  for name in $selected; do
    summary+=("$(printf '%-8s%s' skipped "$name (the packages the tests need are missing)")")
    skipped=$((skipped + 1))
  done
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$packages" = ok ] && (( failed == 0 ))
