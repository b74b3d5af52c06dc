#!/usr/bin/env bash
# What an install and the Debian package hold, and that the installed
# programs work for a user who is not root. Usage: check_packaging.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tr52k-pkg-XXXXXX")
. "$(dirname "$0")/../support/e2e.sh"
trap 'stop_all; rm -rf "$scratch"' EXIT
loopback_settings "$scratch/registry.reg"
export TR52K_REGISTRY_FILE="$scratch/registry.reg" TR52K_HISTORY_FILE="$scratch/history.jsonl"

# An install into a scratch prefix and the Debian package put the same
# files in their usual places.
prefix=$scratch/usr
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; exit 1; }
(cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$build"/tr52k_*.deb | head -1)
contents=$(dpkg-deb -c "$deb")
for f in bin/tr52k bin/tr52k-sim bin/tr52k-flash-loader share/man/man1/{tr52k,tr52k-sim,tr52k-flash-loader}.1 \
  share/bash-completion/completions/tr52k share/applications/tr52k-flash-loader.desktop \
  share/icons/hicolor/{16x16,64x64,256x256}/apps/tr52k-flash-loader.png \
  "lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/tr52k.lua"; do
  check "installed $f" test -s "$prefix/$f"
  check "the package holds $f" grep -q " ./usr/$f\$" <<<"$contents"
done
for d in libqt6widgets6 libc6 libstdc++6 libssl3 libpcap0.8; do
  check "the package depends on $d" grep -q "$d" <<<"$(dpkg-deb -f "$deb" Depends)"
done
check "the 48 px icon is a 48x48 PNG" /usr/bin/python3 -c "
import struct, sys
d = open('$prefix/share/icons/hicolor/48x48/apps/tr52k-flash-loader.png', 'rb').read(24)
sys.exit(0 if d[:8] == b'\\x89PNG\\r\\n\\x1a\\n' and struct.unpack('>II', d[16:24]) == (48, 48) else 1)"
for p in tr52k tr52k-sim tr52k-flash-loader; do
  check "$p --version" bash -c "'$prefix/bin/$p' --version | grep -qx '$p 1.0'"
  check "manual page $p renders without warnings" bash -c \
    "man --warnings -l '$prefix/share/man/man1/$p.1' 2>&1 >/dev/null | { ! grep -q .; }"
done
check "the desktop entry names the program and its icon" test "$(grep -cxE 'Exec=tr52k-flash-loader|Icon=tr52k-flash-loader' \
  "$prefix/share/applications/tr52k-flash-loader.desktop")" = 2
completes() {  # completes LINE EXPECTED: bash offers EXPECTED for LINE's last word
  bash -c 'source /usr/share/bash-completion/bash_completion 2>/dev/null; source "$0"
    COMP_LINE=$1 COMP_POINT=${#1}; read -ra COMP_WORDS <<<"$1"; COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _tr52k; [[ ${COMPREPLY[*]} == "$2" ]]' "$prefix/share/bash-completion/completions/tr52k" "$1" "$2"
}
check "bash completes the commands" completes "tr52k pro" program-eeprom
check "bash completes the EEPROM index" completes "tr52k -t 127.0.0.1 select-eeprom 1" "1 10 11"

# A user who is not root, with a machine-wide settings file they may not
# write: no error, the saved address is used, and Save lands in their own store.
if [ "$(id -u)" = 0 ]; then
  start sim "$build/sim/tr52k-sim" --port 0
  mkdir -p "$scratch/machine" "$scratch/nobody"
  chmod 755 "$scratch" "$scratch/machine"
  loopback_settings "$scratch/machine/registry.reg" "127.0.0.1:$port"
  chmod 644 "$scratch/machine/registry.reg"
  chown 65534:65534 "$scratch/nobody"
  out=$(env -u TR52K_REGISTRY_FILE TR52K_MACHINE_REGISTRY_FILE="$scratch/machine/registry.reg" \
    HOME="$scratch/nobody" XDG_CONFIG_HOME="$scratch/nobody/.config" TR52K_HISTORY_FILE="$scratch/nobody/history.jsonl" \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$prefix/bin/tr52k" ping 2>"$scratch/err.txt")
  check "tr52k as an ordinary user reaches the saved address" test "$out" = "68 00 00 00 00 00 "
  check "tr52k as an ordinary user shows no error" test ! -s "$scratch/err.txt"
  check "the machine-wide file is unchanged" grep -q "127.0.0.1:$port" "$scratch/machine/registry.reg"
else
  echo "skip the ordinary-user checks: they need root to become another user"
fi
exit $((failures > 0))
