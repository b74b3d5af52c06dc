#!/usr/bin/env bash
# Installs what is missing, builds, starts the unit simulator on 127.0.0.1
# port 5000 and runs the loader against it: the dialog when a display is
# there, the command-line tool's "info" otherwise. On a machine without a
# screen, `xvfb-run -a bash scripts/run.sh` shows the dialog on a virtual one.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)"

# A first run never needs the machine-wide settings file.
export TR52K_REGISTRY_FILE="${TR52K_REGISTRY_FILE:-$PWD/build/registry.reg}"

# The simulator says itself when port 5000 is taken (on stderr), and exits.
out=$(mktemp)
sim=""
trap '[ -z "$sim" ] || { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; }; rm -f "$out"' EXIT
build/sim/tr52k-sim --port 5000 --state build/sim-state.json >"$out" &
sim=$!
for _ in $(seq 100); do
  grep -q listening "$out" && break
  if ! kill -0 "$sim" 2>/dev/null; then
    sim=""
    echo "The simulator did not start." >&2
    exit 1
  fi
  sleep 0.05
done
cat "$out"

if [ -x build/ui/qt/tr52k-flash-loader ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  build/ui/qt/tr52k-flash-loader ETHERNET_IP_ADDR=127.0.0.1
else
  build/cli/tr52k --target 127.0.0.1 info
fi
