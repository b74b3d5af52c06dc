#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Safe to run again; quick when everything is there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config dpkg-dev bash-completion man-db
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libssl-dev libpcap-dev tshark
  qt6-base-dev libgl-dev
  xvfb xauth
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0 dbus-bin dbus-daemon
  libpulse-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix googletest
  wine wine64 fonts-wine
  ansible-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
