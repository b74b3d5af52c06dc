# What the end-to-end scripts share: counted checks, a settings file on
# loopback, the port a program says it listens on, the Wine prefix.
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() {  # check "what" command...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# loopback_settings FILE [ADDRESS]: no program a test runs falls back to the
# address of a real unit.
loopback_settings() {
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"ETHERNET_IP_ADDR"="%s"\r\n' \
    "${2:-127.0.0.1}" >"$1"
}

# listening_port FILE [TRIES]: waits for a "listening on 127.0.0.1:PORT" line
# in the program's output (a Windows program's ends in CR) and prints PORT.
listening_port() {
  for _ in $(seq "${2:-200}"); do
    grep -q listening "$1" 2>/dev/null && break
    sleep 0.02
  done
  tr -d '\r' <"$1" | sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p'
}

need_wine_prefix() {
  [ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set: refusing to use the default prefix" >&2; exit 1; }
}
