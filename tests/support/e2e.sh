# What the end-to-end scripts share: counted checks, a settings file on
# loopback, programs started in the background on the port they say, the
# Wine prefix. The programs' output goes to files in $scratch.
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() {  # check "what" command...: the command's own output is not shown
  if "${@:2}" >/dev/null 2>&1; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# loopback_settings FILE [ADDRESS]: no program a test runs falls back to the
# address of a real unit.
loopback_settings() {
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n"ETHERNET_IP_ADDR"="%s"\r\n' \
    "${2:-127.0.0.1}" >"$1"
}

# start NAME COMMAND...: COMMAND in the background, its output in
# $scratch/NAME.out and .err, its pid last in pids; $port is the one its
# first line names ("listening on" or "relaying" 127.0.0.1:PORT; a Windows
# program's line ends in CR), empty when it names none before it ends or
# ten seconds have passed.
pids=()
start() {
  : >"$scratch/$1.out"
  "${@:2}" >"$scratch/$1.out" 2>"$scratch/$1.err" </dev/null &
  pids+=($!)
  for _ in $(seq 500); do
    port=$(tr -d '\r' <"$scratch/$1.out" | sed -n 's/^\(listening on\|relaying\) 127\.0\.0\.1:\([0-9]*\).*/\2/p')
    [ -z "$port" ] && kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.02
  done
}
# stop: ends the program started last (SIGTERM) and waits for it.
stop() {
  kill -TERM "${pids[-1]}" 2>/dev/null || true
  wait "${pids[-1]}" 2>/dev/null || true
  unset 'pids[-1]'
}
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

need_wine_prefix() {
  [ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set: refusing to use the default prefix" >&2; exit 1; }
}
