#!/usr/bin/env bash
# The Windows tr52k.exe under Wine against the Linux simulator on
# 127.0.0.1: a DSP flash and an EEPROM programmed byte for byte from images
# full of CR, LF and Ctrl-Z under a non-ASCII folder name, the address saved
# in Wine's registry used as the default target, a trace file per unit, and
# what Windows alone refuses (device names, a '\' in a host name, a run
# without a console) with the Linux build's messages and exit codes.
#
# The Windows tr52k-sim.exe under Wine serves the Linux tool the same way.
#
# Usage: cli_end_to_end.sh TR52K_EXE TR52K_SIM_EXE LINUX_BUILD_DIR WORK_DIR
# Needs WINEPREFIX (a scratch prefix) and a running wineserver.
set -euo pipefail
exe=$1 simexe=$2 linux=$3 scratch=$4
. "$(dirname "$0")/../support/e2e.sh"
need_wine_prefix
export LC_ALL=C.UTF-8  # Wine turns the arguments into UTF-16 by the locale
rm -rf "$scratch"
mkdir -p "$scratch"
unset TR52K_REGISTRY_FILE

start_sim() {
  start sim "$linux/sim/tr52k-sim" --port 0 --state "$scratch/state.json"
  [ -n "$port" ] || { echo "the simulator did not start" >&2; exit 1; }
}
trap stop_all EXIT

# tool EXPECTED_EXIT ARGS...: runs tr52k.exe, output in $scratch/out and $scratch/err.
tool() {
  local expected=$1 rc=0
  shift
  wine "$exe" "$@" >"$scratch/out" 2>"$scratch/err" </dev/null || rc=$?
  if [ "$rc" != "$expected" ]; then
    fail "tr52k $* exited $rc, expected $expected"
    sed 's/^/  out: /' "$scratch/out" >&2
    sed 's/^/  err: /' "$scratch/err" >&2
  fi
}
expect_in() {  # FILE TEXT
  grep -qF -- "$2" "$scratch/$1" || { fail "$1 lacks: $2"; sed 's/^/  /' "$scratch/$1" >&2; }
}
refused() {  # refused TEXT ARGS...: exit 2 and TEXT on stderr
  tool 2 "${@:2}"
  expect_in err "$1"
}
json_is() {  # json_is WHAT EXPRESSION: EXPRESSION holds for doc, the JSON in $scratch/out
  python3 -c 'import json, sys; doc = json.load(open(sys.argv[1])); sys.exit(not eval(sys.argv[2]))' "$scratch/out" "$2" ||
    fail "$1: $(cat "$scratch/out")"
}
# stored STATE INDEX: the unit's state holds both images byte for byte,
# EEPROM INDEX current. A running unit saves its state after every change.
stored() {
  python3 - "$1" "$2" "$folder" <<'PY'
import json, sys, time
path, index, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for _ in range(250):
    try:
        state = json.load(open(path))
        if state["currentEeprom"] == index:
            break
    except (OSError, ValueError):
        pass
    time.sleep(0.02)
eeprom = open(folder + "/tr52K_dp_e2e.bin", "rb").read()
assert bytes.fromhex(state["dsp"][0]) == open(folder + "/TR52K1_DSP1_e2e.bin", "rb").read(), "DSP1"
assert bytes.fromhex(state["eeproms"][index]["data"]) == eeprom + b"\xff" * (-len(eeprom) % 256), "EEPROM"
PY
}

# Images: every byte a text-mode read would change or stop at, and the rest.
folder="$scratch/Прошивка ü"
mkdir -p "$folder"
python3 - "$folder" <<'PY'
import sys
pattern = bytes([0x0D, 0x0A, 0x1A, 0x00, 0x0A, 0x0D, 0xFF]) + bytes(range(256))
open(sys.argv[1] + "/TR52K1_DSP1_e2e.bin", "wb").write((pattern * 8)[:2000] + b"\x1a")
open(sys.argv[1] + "/tr52K_dp_e2e.bin", "wb").write((pattern * 12)[:3000] + b"\r\n\x1a")
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
json_is "program-eeprom" 'doc["exitCode"] == 0 and doc["units"][0]["ok"]'
stop
stored "$scratch/state.json" 3 || fail "the unit did not store the images byte for byte"

# The address saved in Wine's registry is the default target; the port
# comes from --port, as for any saved address.
start_sim
tool 0 --port "$port" --json ping
json_is "ping of the saved address" 'doc["exitCode"] == 0 and doc["units"][0]["target"] == "127.0.0.1"'
# A value of the wrong type gives the registry box on stderr, and the run
# goes on with what could be read.
wine reg add "$key" /v NO_INIT_STATUS /t REG_SZ /d 1 /f >/dev/null 2>&1
tool 0 --port "$port" ping
expect_in err "[error] Registry Error: RegQueryValueEx() for REG_DWORD, Type = 1, Count = 4"
wine reg delete "$key" /v NO_INIT_STATUS /f >/dev/null 2>&1
# TR52K_REGISTRY_FILE still names a file to use instead.
loopback_settings "$scratch/registry.reg" 127.0.0.2
TR52K_REGISTRY_FILE="$scratch/registry.reg" tool 3 --port 1 --json ping
json_is "TR52K_REGISTRY_FILE" 'doc["units"][0]["target"] == "127.0.0.2"'

# Several units, a trace each: on Windows the unit's ':' must not end up in
# the file name, where it would name a hidden stream instead of a file.
tool 3 -t "127.0.0.1:$port" -t 127.0.0.1:1 --trace "$scratch/trace" ping
for unit in "127.0.0.1_$port" 127.0.0.1_1; do
  grep -q 'CSocket::Create() in CNetworkDeviceComm() ctor succeeded' "$scratch/trace.$unit" 2>/dev/null ||
    fail "no trace file trace.$unit: $(ls "$scratch")"
done

# Refused before any unit is touched.
refused "tr52k: bad target '..\unit': a host name holds no '\'" -t '..\unit' --trace "$scratch/trace" ping
refused "it is a folder, not a regular file" -t "127.0.0.1:$port" --yes program-eeprom 3 "$folder"
refused "cannot read NUL: it is a device, not a regular file" -t "127.0.0.1:$port" --yes program-eeprom 3 NUL
refused "(No such file or directory)" -t "127.0.0.1:$port" --yes program-eeprom 3 "$folder/missing_tr52K.bin"
refused "cannot write the trace file NUL: it is a device, not a regular file" -t "127.0.0.1:$port" --yes --trace NUL ping
# Without a console and without --yes, firmware is not written.
tool 4 -t "127.0.0.1:$port" flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin"
expect_in err "refusing to write firmware without a terminal to confirm on; add --yes"
stop

# The Windows simulator under Wine, driven by the Linux tool.
export TR52K_REGISTRY_FILE="$scratch/linux-registry.reg"
loopback_settings "$TR52K_REGISTRY_FILE"
start winsim wine "$simexe" --port 0 --state "$scratch/winsim.json"
wport=$port
if [ -z "$wport" ]; then
  fail "tr52k-sim.exe did not start: $(cat "$scratch/winsim.out" "$scratch/winsim.err")"
else
  "$linux/cli/tr52k" -t "127.0.0.1:$wport" --yes --quiet --dsp-wait-step-ms 0 flash-dsp 1 "$folder/TR52K1_DSP1_e2e.bin" \
    >/dev/null 2>"$scratch/err" || fail "flash-dsp against tr52k-sim.exe: $(cat "$scratch/err")"
  "$linux/cli/tr52k" -t "127.0.0.1:$wport" --yes --quiet program-eeprom 5 "$folder/tr52K_dp_e2e.bin" \
    >/dev/null 2>"$scratch/err" || fail "program-eeprom against tr52k-sim.exe: $(cat "$scratch/err")"
  # A second simulator on its port is told in words which port is taken.
  rc=0
  wine "$simexe" --port "$wport" >"$scratch/busy.out" 2>&1 </dev/null || rc=$?
  [ "$rc" = 1 ] || fail "tr52k-sim.exe on a taken port exited $rc"
  grep -qF "tr52k-sim: port $wport on 127.0.0.1 is in use; stop what listens there, or choose another port with --port" \
    "$scratch/busy.out" || fail "tr52k-sim.exe on a taken port said: $(cat "$scratch/busy.out")"
  stored "$scratch/winsim.json" 5 || fail "tr52k-sim.exe did not store the images byte for byte"
fi
stop

[ "$failures" -eq 0 ] || { echo "$failures checks failed" >&2; exit 1; }
echo "tr52k.exe under Wine: all end-to-end checks passed"
