#!/usr/bin/env bash
# Installs the Debian packages that are missing, only those. Safe to run
# again; quick when everything is there.
#
#   install-deps.sh run    what building and running the programs needs
#   install-deps.sh test   that, and what the tests need (the default)
#
# As root it installs them; otherwise through sudo when there is one. A user
# with neither is told, in one message, which packages are missing and how
# to install them.
set -euo pipefail

set_name=${1:-test}
case $set_name in
  run | test) ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

# Building and running: compiler, CMake, Qt (and PulseAudio for the
# dialog's beeps), CLI11, JSON, OpenSSL, libpcap (captures).
run_packages=(
  build-essential cmake pkg-config
  libcli11-dev nlohmann-json3-dev libssl-dev libpcap-dev
  qt6-base-dev libgl-dev libpulse-dev
)
# The tests add these. One package or tool per line; add new ones here.
test_packages=(
  libgtest-dev libgmock-dev googletest
  xvfb xauth
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0 dbus-bin dbus-daemon
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64 fonts-wine
  wixl msitools
  dpkg-dev file man-db bash-completion
  tshark
  ansible-core
)

packages=("${run_packages[@]}")
[ "$set_name" = test ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    cat >&2 <<EOF
These Debian packages are missing, and installing them needs root (there is
no sudo here): ${missing[*]}
Install them as root, then run this again:
  apt-get update && apt-get install --no-install-recommends ${missing[*]}
EOF
    exit 1
  fi
  sudo=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
