#!/usr/bin/env bash
# Captures of real sessions against the simulator, read back by tshark with
# our dissector and played back by tr52k-sim --replay.
#   check_capture.sh dissector|replay|relay-dialog BUILD SOURCE
set -uo pipefail
mode=$1 build=$2 source=$3
lua=$source/packaging/wireshark/tr52k.lua
scratch=$(mktemp -d)
. "$(dirname "$0")/../support/e2e.sh"
trap 'stop_all; rm -rf "$scratch"' EXIT
same() {  # same "what" ACTUAL EXPECTED: shows both when they differ
  if [ "$2" = "$3" ]; then echo "ok   $1"; else
    printf 'FAIL %s\n  got:      %q\n  expected: %q\n' "$1" "$2" "$3"; failures=$((failures + 1)); fi
}
# Our expert infos (the TCP layer adds its own notes on the handshake).
flagged='tr52k.not_own_frame || tr52k.no_reply || tr52k.stray_bytes'
# Every program run gets a settings file on loopback and its targets given.
loopback_settings "$scratch/registry.reg"
export TR52K_REGISTRY_FILE=$scratch/registry.reg TR52K_HISTORY_FILE=$scratch/history.jsonl
export HOME=$scratch  # tshark's own settings stay out of the user's
tr52k=$build/cli/tr52k sim=$build/sim/tr52k-sim

# tshark, both passes (pairing needs the second), the unit on $2's port.
fields() {  # fields FILE UNITPORT FILTER -e ...
  tshark -2 -X "lua_script:$lua" -r "$1" -d "tcp.port==$2,tr52k" -Y "$3" -T fields -E separator=' ' "${@:4}" 2>/dev/null
}

mkdir -p "$scratch/fw"
head -c 300 /dev/urandom >"$scratch/fw/TR52K1_DSP2_v9.bin"
head -c 600 /dev/urandom >"$scratch/fw/tr52K_dp_v7.bin"
# info, a DSP flash and an EEPROM update against a simulator, captured.
start sim "$sim" --port 0 --erase-ms 150
unit=$port
capture_three() {
  "$tr52k" -t "127.0.0.1:$unit" --capture "$scratch/info.pcap" info &&
  "$tr52k" -t "127.0.0.1:$unit" --capture "$scratch/dsp.pcap" --yes -q --dsp-wait-step-ms 1 flash-dsp 2 \
    "$scratch/fw/TR52K1_DSP2_v9.bin" &&
  "$tr52k" -t "127.0.0.1:$unit" --capture "$scratch/eeprom.pcap" --yes -q program-eeprom 9 "$scratch/fw/tr52K_dp_v7.bin"
}

case $mode in
dissector)
  check "the three sessions ran with their captures" capture_three
  # Requests and replies of info, field by field: what | filter | fields | expected.
  while IFS='|' read -r what filter names expected; do
    same "$what" "$(fields "$scratch/info.pcap" "$unit" "$filter" $(sed 's/[^ ]*/-e &/g' <<<"$names") | tr '\n' ' ')" \
      "$expected"
  done <<'ROWS'
info asks for the versions, the id, the text pages, the network, the directory|tr52k.kind=="request"|tr52k.command tr52k.config_page|0x2003  0x1003  0x2009 20 0x2009 21 0x2009 22 0x2009 23 0x2009 24 0x2002  0x2009 2 0x2009 3 0x2000  
the versions reply is decoded|tr52k.serial|tr52k.serial tr52k.dsp1_version tr52k.personality|00AB-005 0x01020003 1 
the device id is decoded|tr52k.device_id|tr52k.device_id|TR52K-UNIT-0001  
the network record is decoded|tr52k.command==0x2002 && tr52k.ip|tr52k.ip tr52k.dhcp|192.168.1.100 0 
the directory words are decoded|tr52k.current_eeprom|tr52k.current_eeprom tr52k.update_enable|0 1 
ROWS
  dsp=$(fields "$scratch/dsp.pcap" "$unit" 'tr52k.command==0x1001 || tr52k.command==0x1020' -e tr52k.kind -e tr52k.dsp_step -e tr52k.dsp -e tr52k.block -e tr52k.block_size | grep request | tr '\n' '|')
  same "the DSP flash: start, three blocks numbered with their sizes, finish" "$dsp" "request 0x01 1  |request  1 1 128|request  1 2 128|request  1 3 44|request 0xff 1  |"
  eeprom=$(fields "$scratch/eeprom.pcap" "$unit" 'tr52k.kind=="request" && (tr52k.command==0x1021 || tr52k.command==0x1022 || tr52k.command==0x1024)' -e tr52k.command -e tr52k.select_code -e tr52k.eeprom -e tr52k.page_address -e tr52k.byte_offset | tr '\n' '|')
  same "the EEPROM update: erase, three pages at their addresses, select, all EEPROM_9" "$eeprom" "0x1022 0x31 9  |0x1021 0x31 9 0 0|0x1021 0x31 9 1 256|0x1021 0x31 9 2 512|0x1024 0x31 9  |"
  same "the erase is polled until its status bit says done, its answer decoded" "$(fields "$scratch/eeprom.pcap" "$unit" \
    'tr52k.erase_done' -e tr52k.erase_done | tail -1) $(fields "$scratch/eeprom.pcap" "$unit" 'tr52k.erase_answer' -e tr52k.erase_answer | cut -c1-2)" "1 0x"
  # Pairing: each request has its reply, each reply names its request and
  # its response time; nothing is flagged.
  for f in info dsp eeprom; do
    pairs=$(fields "$scratch/$f.pcap" "$unit" tr52k -e frame.number -e tr52k.kind -e tr52k.response_in -e tr52k.request_in -e tr52k.time)
    check "$f: every request answered by the next frame, which names it" awk '
      $2 == "request" { if ($3 != $1 + 1) exit 1; want = $1 }
      $2 == "reply" { if ($3 != want || $4 == "") exit 1 }' <<<"$pairs"
    same "$f: nothing flagged" "$(fields "$scratch/$f.pcap" "$unit" "$flagged" -e frame.number)" ""
  done
  # A unit that answers late, not at all, or with bytes too many: each is
  # flagged where it happens. The late reply comes after the tool has given
  # it up (its time-out and as long again) and sent the next request.
  start faulty "$sim" --port 0 --fault delay:0x1003:750@1*1 --fault drop:0x2002@1*1 --extra 0x2000:3
  for f in faults faults2; do
    "$tr52k" -t "127.0.0.1:$port" --timeout 300 --capture "$scratch/$f.pcap" info >/dev/null 2>&1
    fields "$scratch/$f.pcap" "$port" "$flagged" -e _ws.col.Info -e _ws.expert.message
  done >"$scratch/flags"
  check "a late reply is not its request's own frame" grep -q "Reply: Read device id \[not its request's frame\].*the request owed a reply is Read configuration page" "$scratch/flags"
  check "the request it belonged to has no reply" grep -q "Request: Read device id \[no reply\]" "$scratch/flags"
  check "a request the unit dropped has no reply" grep -q "Request: Read network settings \[no reply\]" "$scratch/flags"
  check "bytes after a reply belong to no frame" grep -q "3 bytes that belong to no frame" "$scratch/flags"
  ;;

replay)
  # Two units at once into one capture: a TCP stream each, each stream played
  # back on its own (--unit), and a client that asks otherwise told where.
  start b "$sim" --port 0
  b=$port a=$unit
  "$tr52k" -t "127.0.0.1:$a" -t "127.0.0.1:$b" --capture "$scratch/two.pcap" -q --json info >/dev/null
  same "one TCP stream per unit, each answered from its unit's port" \
    "$(tshark -r "$scratch/two.pcap" -Y 'tcp.flags.syn==1 && tcp.flags.ack==1' -T fields -e tcp.srcport 2>/dev/null | sort | tr '\n' ' ')" \
    "$(printf '%s\n' "$a" "$b" | sort | tr '\n' ' ')"
  replay() {  # replay NAME UNITPORT tool-args...: the tool against that unit's stream; sets $code
    start "$1" "$sim" --port 0 --replay "$scratch/two.pcap" --unit "127.0.0.1:$2"
    "$tr52k" -t "127.0.0.1:$port" "${@:3}" >"$scratch/$1.tool" 2>&1
    wait "${pids[-1]}"
    code=$?
  }
  for p in "$a" "$b"; do
    n=$(tshark -2 -X "lua_script:$lua" -r "$scratch/two.pcap" -d "tcp.port==$a,tr52k" -d "tcp.port==$b,tr52k" \
          -Y "tr52k.request_in && tcp.srcport==$p" -T fields -e frame.number 2>/dev/null | wc -l)
    check "the stream of 127.0.0.1:$p holds its 11 paired replies" test "$n" = 11
    replay "r$p" "$p" info
    check "127.0.0.1:$p's stream is picked and replays whole" grep -qz \
      "replaying .* as 127.0.0.1:$p.*the whole session matched: 11 requests" "$scratch/r$p.out"
    check "the tool shows what the replayed unit said" grep -q "00AB-005" "$scratch/r$p.tool"
  done
  replay other "$a" ping
  same "a client that asks otherwise: exit 1, where, and both bytes" "$code $(cat "$scratch/other.out" "$scratch/other.err" |
    grep -c 'request 1 (command 0x2003) differs at byte 2: recorded 0x03, received 0x00')" "1 1"
  ;;

relay-dialog)
  # The dialog connects to port 5000: the relay listens there, the unit is
  # the simulator on a port of its own.
  for _ in $(seq 40); do
    start relay "$tr52k" relay --listen 127.0.0.1:5000 --to "127.0.0.1:$unit" --capture "$scratch/dialog.pcap"
    relay=${pids[-1]}
    test -n "$port" && break
    sleep 0.5  # port 5000 busy a moment (another dialog test)
  done
  check "the relay listens on 127.0.0.1:5000" test "$port" = 5000
  QT_QPA_PLATFORM=offscreen "$build/ui/qt/tr52k-flash-loader" ETHERNET_IP_ADDR=127.0.0.1 >"$scratch/dialog.log" 2>&1 &
  dialog=$!
  pids+=("$dialog")
  # The dialog's start-up, through to the operational status, answered through the relay.
  for _ in $(seq 200); do
    fields "$scratch/dialog.pcap" "$unit" 'tr52k.command==0x2000 && tr52k.request_in' -e frame.number | grep -q . && break
    sleep 0.1
  done
  kill "$dialog"
  wait "$dialog" 2>/dev/null
  same "the dialog's start-up went through the relay: ping, then the versions" \
    "$(fields "$scratch/dialog.pcap" "$unit" 'tr52k.kind=="request"' -e tr52k.command | head -3 | tr '\n' ' ')" "0x0000 0x2003 0x1003 "
  same "every request of the dialog answered, nothing flagged" "$(fields "$scratch/dialog.pcap" "$unit" "$flagged" -e frame.number)" ""
  same "the capture names the unit's own address and port" \
    "$(tshark -r "$scratch/dialog.pcap" -Y 'tcp.flags.syn==1 && tcp.flags.ack==1' -T fields -E separator=: -e ip.src -e tcp.srcport 2>/dev/null)" "127.0.0.1:$unit"
  kill "$relay"
  sleep 0.3
  check "the relay reported the dialog's connection" grep -q "relay: the client closed the connection" "$scratch/relay.err"
  ;;
*)
  echo "unknown mode $mode"; exit 2 ;;
esac
echo "$failures failed"
test "$failures" = 0
