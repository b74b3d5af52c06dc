#!/usr/bin/env bash
# The Windows tr52k.exe under Wine against the Linux simulator on
# 127.0.0.1: a DSP flash and an EEPROM programmed byte for byte from images
# full of CR, LF and Ctrl-Z under a non-ASCII folder name, the address saved
# in Wine's registry used as the default target, and the refusals of bad
# input with the Linux build's messages and exit codes.
#
# The Windows tr52k-sim.exe under Wine serves the Linux tool the same way.
#
# Usage: cli_end_to_end.sh TR52K_EXE TR52K_SIM_EXE LINUX_BUILD_DIR WORK_DIR
# Needs WINEPREFIX (a scratch prefix) and a running wineserver.
set -euo pipefail
exe=$1 simexe=$2 linux=$3 work=$4
sim=$linux/sim/tr52k-sim
. "$(dirname "$0")/../support/e2e.sh"
need_wine_prefix
export LC_ALL=C.UTF-8  # Wine turns the arguments into UTF-16 by the locale
rm -rf "$work"
mkdir -p "$work"
unset TR52K_REGISTRY_FILE

sim_pid=
start_sim() {
  "$sim" --port 0 --state "$work/state.json" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  port=$(listening_port "$work/sim.out")
  [ -n "$port" ] || { echo "the simulator did not start" >&2; exit 1; }
}
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}
trap stop_sim EXIT

# tool EXPECTED_EXIT ARGS...: runs tr52k.exe, output in $work/out and $work/err.
tool() {
  local expected=$1
  shift
  local rc=0
  wine "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null || rc=$?
  if [ "$rc" != "$expected" ]; then
    fail "tr52k $* exited $rc, expected $expected"
    sed 's/^/  out: /' "$work/out" >&2
    sed 's/^/  err: /' "$work/err" >&2
  fi
}
expect_in() {  # FILE TEXT
  grep -qF -- "$2" "$work/$1" || { fail "$1 lacks: $2"; sed 's/^/  /' "$work/$1" >&2; }
}

# Images: every byte a text-mode read would change or stop at, and the rest.
folder="$work/Прошивка ü"
mkdir -p "$folder"
python3 - "$folder" <<'PY'
import sys
folder = sys.argv[1]
pattern = bytes([0x0D, 0x0A, 0x1A, 0x00, 0x0A, 0x0D, 0xFF]) + bytes(range(256))
dsp = (pattern * 8)[:2000] + b"\x1a"
eeprom = (pattern * 12)[:3000] + b"\r\n\x1a"
open(folder + "/TR52K1_DSP1_e2e.bin", "wb").write(dsp)
open(folder + "/tr52K_dp_e2e.bin", "wb").write(eeprom)
PY

# The address saved in Wine's registry is on loopback before any run, so no
# run can fall back to the built-in default address.
key='HKLM\SOFTWARE\Korvanex\TR52K'
wine reg add "$key" /v ETHERNET_IP_ADDR /t REG_SZ /d 127.0.0.1 /f >/dev/null 2>&1

start_sim
# A POSIX-style absolute path stays a path (no Windows-style options). The
# update history goes to a file under the non-ASCII folder as well.
TR52K_HISTORY_FILE="$folder/history.jsonl" tool 0 -t "127.0.0.1:$port" --yes --dsp-wait-step-ms 0 \
  flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin"
expect_in out "DSP1 Flash Operation Completed."
grep -q '"target":"DSP1"' "$folder/history.jsonl" 2>/dev/null || fail "no history line in $folder/history.jsonl"
# The same folder as a Windows path with backslashes.
winfolder="Z:$(printf '%s' "$folder" | tr / '\\')"
tool 0 -t "127.0.0.1:$port" --yes --json program-eeprom 3 "$winfolder\\tr52K_dp_e2e.bin"
python3 - "$work/out" <<'PY' || fail "program-eeprom JSON"
import json, sys
doc = json.load(open(sys.argv[1]))
unit = doc["units"][0]
assert doc["exitCode"] == 0 and unit["ok"] and unit["target"] == "127.0.0.1", doc
PY
stop_sim
python3 - "$work/state.json" "$folder" <<'PY' || fail "the unit did not store the images byte for byte"
import json, sys
state = json.load(open(sys.argv[1]))
folder = sys.argv[2]
dsp = open(folder + "/TR52K1_DSP1_e2e.bin", "rb").read()
eeprom = open(folder + "/tr52K_dp_e2e.bin", "rb").read()
stored_dsp = bytes.fromhex(state["dsp"][0])
assert stored_dsp == dsp, ("DSP1", len(stored_dsp), len(dsp))
stored = bytes.fromhex(state["eeproms"][3]["data"])
padded = eeprom + b"\xff" * (-len(eeprom) % 256)
assert stored == padded, ("EEPROM_3", len(stored), len(padded))
assert state["currentEeprom"] == 3
PY

# The address saved in Wine's registry is the default target; the port
# comes from --port, as for any saved address.
start_sim
wine reg delete "$key" /v NO_INIT_STATUS /f >/dev/null 2>&1 || true
tool 0 --port "$port" --json ping
python3 - "$work/out" <<'PY' || fail "ping of the saved address"
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["exitCode"] == 0 and doc["units"][0]["target"] == "127.0.0.1", doc
PY
# A value of the wrong type gives the registry box on stderr, and the run
# goes on with what could be read.
wine reg add "$key" /v NO_INIT_STATUS /t REG_SZ /d 1 /f >/dev/null 2>&1
tool 0 --port "$port" ping
expect_in err "[error] Registry Error: RegQueryValueEx() for REG_DWORD, Type = 1, Count = 4"
wine reg delete "$key" /v NO_INIT_STATUS /f >/dev/null 2>&1
# TR52K_REGISTRY_FILE still names a file to use instead.
loopback_settings "$work/registry.reg" 127.0.0.2
TR52K_REGISTRY_FILE="$work/registry.reg" tool 3 --port 1 --json ping
python3 - "$work/out" <<'PY' || fail "TR52K_REGISTRY_FILE"
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["units"][0]["target"] == "127.0.0.2", doc
PY

# Several units, a trace each: on Windows the unit's ':' must not end up in
# the file name, where it would name a hidden stream instead of a file.
tool 3 -t "127.0.0.1:$port" -t 127.0.0.1:1 --trace "$work/trace" ping
for unit in "127.0.0.1_$port" 127.0.0.1_1; do
  grep -q 'CSocket::Create() in CNetworkDeviceComm() ctor succeeded' "$work/trace.$unit" 2>/dev/null ||
    fail "no trace file trace.$unit: $(ls "$work")"
done

# Bad input: refused before any unit is touched, as on Linux.
tool 2 -t 10.0.0.256 ping
expect_in err "tr52k: bad target '10.0.0.256': not an IPv4 address (four numbers 0 to 255 separated by dots)"
tool 2 -t '..\unit' --trace "$work/trace" ping
expect_in err "tr52k: bad target '..\unit': a host name holds no '\'"
tool 2 -t "127.0.0.1:$port" --yes program-eeprom 3 "$folder"
expect_in err "it is a folder, not a regular file"
tool 2 -t "127.0.0.1:$port" --yes program-eeprom 3 NUL
expect_in err "cannot read NUL: it is a device, not a regular file"
tool 2 -t "127.0.0.1:$port" --yes program-eeprom 3 "$folder/missing_tr52K.bin"
expect_in err "(No such file or directory)"
tool 2 -t "127.0.0.1:$port" --yes --trace NUL ping
expect_in err "cannot write the trace file NUL: it is a device, not a regular file"
# No --yes and no console: were the refusal missing, the run would stop at
# the confirmation it cannot get rather than reach 10.0.0.5.
tool 2 -t 10.0.0.5 --dsp-wait-step-ms 0 flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin"
expect_in err "--dsp-wait-step-ms is for rehearsals against the simulator on this machine"
# Without a console and without --yes, firmware is not written.
tool 4 -t "127.0.0.1:$port" flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin"
expect_in err "refusing to write firmware without a terminal to confirm on; add --yes"
stop_sim

# The Windows simulator under Wine, driven by the Linux tool. Its state is
# saved after every change, so it is read back while the unit still runs.
loopback_settings "$work/linux-registry.reg"
export TR52K_REGISTRY_FILE="$work/linux-registry.reg"
wine "$simexe" --port 0 --state "$work/winsim.json" >"$work/winsim.out" 2>&1 &
winsim=$!
wport=$(listening_port "$work/winsim.out" 500)
if [ -z "$wport" ]; then
  fail "tr52k-sim.exe did not start: $(cat "$work/winsim.out")"
else
  "$linux/cli/tr52k" -t "127.0.0.1:$wport" --yes --quiet --dsp-wait-step-ms 0 flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin" \
    >"$work/out" 2>"$work/err" || fail "flash-dsp against tr52k-sim.exe: $(cat "$work/err")"
  "$linux/cli/tr52k" -t "127.0.0.1:$wport" --yes --quiet program-eeprom 5 "$folder/tr52K_dp_e2e.bin" \
    >"$work/out" 2>"$work/err" || fail "program-eeprom against tr52k-sim.exe: $(cat "$work/err")"
  # A second simulator on its port is told in words which port is taken.
  rc=0
  wine "$simexe" --port "$wport" >"$work/busy.out" 2>&1 </dev/null || rc=$?
  [ "$rc" = 1 ] || fail "tr52k-sim.exe on a taken port exited $rc"
  grep -qF "tr52k-sim: port $wport on 127.0.0.1 is in use; stop what listens there, or choose another port with --port" \
    "$work/busy.out" || fail "tr52k-sim.exe on a taken port said: $(cat "$work/busy.out")"
  python3 - "$work/winsim.json" "$folder" <<'PY' || fail "tr52k-sim.exe did not store the images byte for byte"
import json, sys, time
folder = sys.argv[2]
dsp = open(folder + "/TR52K1_DSP1_e2e.bin", "rb").read()
eeprom = open(folder + "/tr52K_dp_e2e.bin", "rb").read()
padded = eeprom + b"\xff" * (-len(eeprom) % 256)
for _ in range(250):
    try:
        state = json.load(open(sys.argv[1]))
        if state["currentEeprom"] == 5:
            break
    except (OSError, ValueError):
        pass
    time.sleep(0.02)
assert bytes.fromhex(state["dsp"][0]) == dsp, "DSP1"
assert bytes.fromhex(state["eeproms"][5]["data"]) == padded, "EEPROM_5"
PY
fi
kill -TERM "$winsim" 2>/dev/null || true
wait "$winsim" 2>/dev/null || true

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed" >&2
  exit 1
fi
echo "tr52k.exe under Wine: all end-to-end checks passed"
