#!/usr/bin/env bash
# What an install and the Debian package hold, and that the installed
# programs work for a user who is not root. Usage: check_packaging.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tr52k-pkg-XXXXXX")
sim=""
trap '[ -z "$sim" ] || kill "$sim" 2>/dev/null; rm -rf "$scratch"' EXIT
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"ETHERNET_IP_ADDR"="127.0.0.1"\r\n' \
  >"$scratch/registry.reg"
export TR52K_REGISTRY_FILE="$scratch/registry.reg" TR52K_HISTORY_FILE="$scratch/history.jsonl"
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# An install into a scratch prefix puts everything in its usual place.
prefix=$scratch/usr
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; exit 1; }
for f in bin/tr52k bin/tr52k-sim bin/tr52k-flash-loader \
  share/man/man1/tr52k.1 share/man/man1/tr52k-sim.1 share/man/man1/tr52k-flash-loader.1 \
  share/bash-completion/completions/tr52k share/applications/tr52k-flash-loader.desktop \
  share/icons/hicolor/16x16/apps/tr52k-flash-loader.png share/icons/hicolor/256x256/apps/tr52k-flash-loader.png \
  "lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/tr52k.lua"; do
  check "installed $f" test -s "$prefix/$f"
done
check "the 48 px icon is a 48x48 PNG" /usr/bin/python3 -c "
import struct, sys
d = open('$prefix/share/icons/hicolor/48x48/apps/tr52k-flash-loader.png', 'rb').read(24)
sys.exit(0 if d[:8] == b'\\x89PNG\\r\\n\\x1a\\n' and struct.unpack('>II', d[16:24]) == (48, 48) else 1)"
for p in tr52k tr52k-sim tr52k-flash-loader; do
  check "$p --version" bash -c "'$prefix/bin/$p' --version | grep -qx '$p 1.0'"
done
for m in tr52k tr52k-sim tr52k-flash-loader; do
  check "manual page $m renders without warnings" bash -c \
    "man --warnings -l '$prefix/share/man/man1/$m.1' 2>&1 >/dev/null | { ! grep -q .; }"
done
check "the desktop entry names the program and its icon" bash -c \
  "grep -qx 'Exec=tr52k-flash-loader' '$prefix/share/applications/tr52k-flash-loader.desktop' &&
   grep -qx 'Icon=tr52k-flash-loader' '$prefix/share/applications/tr52k-flash-loader.desktop'"
if command -v desktop-file-validate >/dev/null; then
  check "the desktop entry is valid" desktop-file-validate "$prefix/share/applications/tr52k-flash-loader.desktop"
fi
check "bash completes the commands" bash -c "
  source /usr/share/bash-completion/bash_completion 2>/dev/null
  source '$prefix/share/bash-completion/completions/tr52k'
  COMP_WORDS=(tr52k pro); COMP_CWORD=1; COMP_LINE='tr52k pro'; COMP_POINT=9
  _tr52k; [[ \${COMPREPLY[*]} == program-eeprom ]]"
check "bash completes the EEPROM index" bash -c "
  source /usr/share/bash-completion/bash_completion 2>/dev/null
  source '$prefix/share/bash-completion/completions/tr52k'
  COMP_WORDS=(tr52k -t 10.0.0.5 select-eeprom 1); COMP_CWORD=4; COMP_LINE='tr52k -t 10.0.0.5 select-eeprom 1'
  COMP_POINT=\${#COMP_LINE}; _tr52k; [[ \${COMPREPLY[*]} == '1 10 11' ]]"

# The Debian package: its files and what it depends on.
(cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$build"/tr52k_*.deb | head -1)
check "a package was built" test -s "$deb"
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/tr52k ./usr/bin/tr52k-sim ./usr/bin/tr52k-flash-loader ./usr/share/man/man1/tr52k.1 \
  ./usr/share/applications/tr52k-flash-loader.desktop ./usr/share/bash-completion/completions/tr52k \
  ./usr/share/icons/hicolor/64x64/apps/tr52k-flash-loader.png \
  "./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/tr52k.lua"; do
  check "the package holds $f" grep -q " $f\$" <<<"$contents"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libc6 libstdc++6 libssl3 libpcap0.8; do
  check "the package depends on $d" grep -q "$d" <<<"$depends"
done

# A user who is not root, with a machine-wide settings file they may not
# write: no error, the saved address is used, and Save lands in their own store.
"$build/sim/tr52k-sim" --port 0 >"$scratch/sim.out" &
sim=$!
for _ in $(seq 100); do grep -q listening "$scratch/sim.out" && break; sleep 0.05; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$scratch/sim.out")
mkdir -p "$scratch/machine" "$scratch/nobody"
chmod 755 "$scratch" "$scratch/machine"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"ETHERNET_IP_ADDR"="127.0.0.1:%s"\r\n' \
  "$port" >"$scratch/machine/registry.reg"
chmod 644 "$scratch/machine/registry.reg"
chown 65534:65534 "$scratch/nobody"
as_nobody() {
  env -u TR52K_REGISTRY_FILE TR52K_MACHINE_REGISTRY_FILE="$scratch/machine/registry.reg" HOME="$scratch/nobody" \
    XDG_CONFIG_HOME="$scratch/nobody/.config" TR52K_HISTORY_FILE="$scratch/nobody/history.jsonl" \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}
if [ "$(id -u)" = 0 ]; then
  out=$(as_nobody "$prefix/bin/tr52k" ping 2>"$scratch/err.txt")
  check "tr52k as an ordinary user reaches the saved address" test "$out" = "68 00 00 00 00 00 "
  check "tr52k as an ordinary user shows no error" test ! -s "$scratch/err.txt"
  check "the machine-wide file is unchanged" grep -q "127.0.0.1:$port" "$scratch/machine/registry.reg"
else
  echo "skip the ordinary-user checks: they need root to become another user"
fi

exit $((failures > 0))
