#!/usr/bin/python3
"""The Windows dialog under Wine, as a user meets it.

tr52k-flash-loader.exe runs in a Wine virtual desktop on Xvfb against the
Linux simulator on 127.0.0.1:5000 (the dialog's only port). A probe,
started in the same desktop, finds the window and its controls by their
ids and checks: the template (classes, styles, every rectangle in dialog
units with the "MS Shell Dlg" font), the start-up frames in their order,
the unit's values as the Linux tool reads them, Enter and Space doing
nothing, Ping, "Browse" through the system's open-file dialog, an EEPROM update paced by the ticker's window messages with
a DSP Load refused meanwhile, the About box, and the window closing. A
picture of the window is left in the work folder (dialog.png).

Usage: dialog_end_to_end.py DIALOG_EXE PROBE_EXE LINUX_BUILD_DIR WORK_DIR
Needs WINEPREFIX (a scratch prefix) and a running wineserver.
"""
import glob
import os
import re
import shutil
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import (check, check_dialog_history, failures, loopback_settings, start_sim, unit_info,  # noqa: E402
                 wine_prefix_set, write_images)
from run_in_desktop import run_in_desktop, windows_path  # noqa: E402

DIALOG, PROBE, LINUX, WORK = sys.argv[1:5]
SIM = os.path.join(LINUX, "sim", "tr52k-sim")
CLI = os.path.join(LINUX, "cli", "tr52k")
TITLE = "Korvanex TR52K Flash File Loader"


# Controls with an id: rectangle in dialog units, class, style bits that
# must be set (hex).
TEMPLATE = [
    (1000, (15, 19, 100, 15), "SysIPAddress32", "10000"),        # WS_TABSTOP
    (1001, (123, 19, 35, 15), "Button", "10000"),
    (19932, (216, 19, 101, 12), "msctls_progress32", "8000001"),  # PBS_SMOOTH, created disabled
    (19931, (174, 19, 40, 12), "Static", "2"),                    # SS_RIGHT
    (19934, (369, 19, 101, 12), "msctls_progress32", "8000001"),
    (19933, (324, 19, 43, 12), "Static", "2"),
    (19935, (535, 19, 43, 12), "Edit", "801"),                    # ES_READONLY | ES_CENTER
    (19936, (633, 19, 43, 12), "Edit", "801"),
    (19937, (15, 53, 586, 12), "Edit", "0"),
    (19938, (606, 53, 32, 12), "Button", "12000"),                # BS_MULTILINE | WS_TABSTOP
    (19939, (644, 53, 32, 12), "Button", "12000"),
    (19940, (15, 87, 586, 12), "Edit", "0"),
    (19941, (606, 87, 32, 12), "Button", "12000"),
    (19942, (644, 87, 32, 12), "Button", "12000"),
    (19951, (15, 180, 586, 12), "Edit", "0"),
    (19953, (606, 180, 32, 12), "Button", "12000"),
    (19954, (644, 180, 32, 12), "Button", "12000"),
    (2029, (644, 240, 32, 12), "Button", "12000"),
    (2031, (90, 216, 68, 8), "Static", "200"),                    # SS_CENTERIMAGE
    (2010, (449, 216, 36, 8), "Static", "200"),
    (2015, (449, 230, 36, 8), "Static", "200"),
    (2019, (591, 216, 36, 8), "Static", "200"),
    (2021, (591, 230, 36, 8), "Static", "200"),
    (2022, (591, 244, 36, 8), "Static", "200"),
    (12993, (128, 244, 15, 8), "Static", "200"),
    (12994, (149, 244, 129, 8), "Static", "200"),
    (12968, (344, 216, 15, 8), "Static", "201"),                  # centred
    (12969, (344, 230, 15, 8), "Static", "201"),
    (2014, (90, 230, 84, 8), "Static", "200"),
    (14148, (346, 244, 9, 8), "Button", "10022"),                 # BS_CHECKBOX | BS_LEFTTEXT
    (12967, (449, 244, 54, 8), "Static", "200"),
    (12958, (15, 284, 112, 12), "Button", "12000"),
    (12959, (130, 284, 112, 12), "Button", "12000"),
    (2030, (15, 302, 28, 12), "Button", "12000"),
    (1274, (46, 302, 66, 12), "Edit", "8000801"),                 # created disabled
    (10837, (523, 273, 150, 12), "Button", "10023"),              # BS_AUTOCHECKBOX | BS_LEFTTEXT
    (10838, (485, 287, 188, 12), "Button", "10023"),
    (10839, (549, 301, 124, 12), "Button", "10023"),
] + [(1189 + k, ((112, 307, 502)[k // 4], 127 + 13 * (k % 4), 178, 8), "Button", "4") for k in range(12)]

START_UP_FRAMES = ["0000", "2003", "1003", "2009:14", "2009:15", "2009:16", "2009:17", "2009:18", "2002",
                   "1008", "2009:02", "2009:03", "2000", "2009:00"]


def frames_after_last_connect(wire_text):
    """Command codes (and the page of a configuration read) of each frame the
    unit received from its latest client."""
    session = wire_text.split("client connected")[-1]
    codes = []
    for m in re.finditer(r"rx \d+: 68 00 ([0-9A-F]{2}) ([0-9A-F]{2})((?: [0-9A-F]{2})*)", session):
        code = m.group(2) + m.group(1)
        rest = m.group(3).split()
        codes.append(code + (":" + rest[2] if code == "2009" and len(rest) > 2 else ""))
    return codes


def bmp_to_png(bmp, png):
    """The probe's 24-bit picture as PNG, for looking at."""
    data = open(bmp, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rows.append(b"\0" + bytes(b for i in range(0, len(row), 3) for b in (row[i + 2], row[i + 1], row[i])))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    with open(png, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))


def main():
    if not wine_prefix_set():
        return 1
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    # "MS Shell Dlg" is Tahoma on Windows; Wine's own Tahoma stands in.
    fonts = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    tahoma = glob.glob("/usr/share/wine/fonts/tahoma*.ttf")
    if not tahoma:
        print("Wine's Tahoma is missing (Debian package fonts-wine)")
        return 1
    for font in tahoma:
        shutil.copy(font, fonts)

    registry = loopback_settings(os.path.join(WORK, "registry.reg"))
    wire = os.path.join(WORK, "wire.txt")
    history = os.path.join(WORK, "Историй", "history.jsonl")
    os.makedirs(os.path.dirname(history))
    env = dict(os.environ, TR52K_REGISTRY_FILE=windows_path(registry), TR52K_HISTORY_FILE=windows_path(history),
               TR52K_TRACE_FILE=windows_path(os.path.join(WORK, "trace.txt")), LC_ALL="C.UTF-8")
    sim, said = start_sim(SIM, 5000, "--state", os.path.join(WORK, "unit.json"), "--erase-ms", "300", "--wire-log", wire)
    if not sim:
        print("the simulator did not start on 127.0.0.1:5000: " + said)
        return 1
    try:
        return run(env, registry, wire, history)
    finally:
        sim.kill()
        sim.wait(10)


def run(env, registry, wire, history):
    linux_env = dict(env, TR52K_REGISTRY_FILE=registry, TR52K_HISTORY_FILE=os.path.join(WORK, "linux-history.jsonl"))
    unit = unit_info(CLI, linux_env)
    if not unit.get("ok"):
        return 1
    eeprom_path, dsp_path = write_images(os.path.join(WORK, "Прошивка ü"), 16 * 256)
    bmp = os.path.join(WORK, "dialog.bmp")

    steps = ["start|\"%s\" ETHERNET_IP_ADDR=127.0.0.1" % windows_path(DIALOG), "window|%s|90" % TITLE, "text|0|" + TITLE]
    for cid, (x, y, w, h), cls, style in TEMPLATE:
        steps += ["rect|%d|%d|%d|%d|%d" % (cid, x, y, w, h), "class|%d|%s|%s" % (cid, cls, style)]
    versions = [(2031, "serialNumber"), (2010, "dsp1FwVersion"), (2015, "dsp2FwVersion"), (2019, "fioFpgaFwVersion"),
                (2021, "bridgeFpgaFwVersion"), (2022, "dpFpgaFwVersion"), (12993, "personality"),
                (12994, "personalityName"), (2014, "deviceId"), (12967, "ipAddress")]
    steps += ["text|%d|%s" % (cid, unit[key]) for cid, key in versions]
    steps += ["text|12968|%d" % unit["dspBoardPcbRev"], "text|12969|%d" % unit["dpFpgaBoardPcbRev"],
              "checked|14148|%d" % (1 if unit["dhcpEnabled"] else 0)]
    steps += ["checked|%d|%d" % (10836 + m, 1 if unit["operationalMode"] == m else 0) for m in (1, 2, 3)]
    for e in unit["eeproms"]:
        k = e["index"]
        steps += ["text|%d|%s : %s" % (1189 + k, e["imageId"], e["personalityName"]),
                  "checked|%d|%d" % (1189 + k, 1 if k == unit["currentEeprom"] else 0), "enabled|%d|1" % (1189 + k)]
    steps += ["ip|1000|127.0.0.1", "range|19932|0|255|0", "range|19934|0|255|0", "enabled|1274|0",
              "enabled|19954|1", "enabled|19939|1", "text|1274|"]
    steps += ["sleep|500", "shot|" + windows_path(bmp)]
    # Enter and Space do nothing: no ping leaves, the window stays.
    steps += ["focus|2030", "key|32", "key|13", "alive|1", "text|1274|"]
    steps += ["click|2030", "text|1274|68 00 00 00 00 00 "]
    # "Browse" through the system's open-file dialog fills the path edit.
    steps += ["post-click|19938", "choose|Open|%s|30" % windows_path(dsp_path), "sleep|300",
              "text|19937|" + windows_path(dsp_path)]
    # An EEPROM update from the controls, paced by the ticker; a DSP Load
    # meanwhile is refused. A 4096-byte image is written as 17 pages (a
    # whole number of pages gets one more).
    steps += ["click|1192", "checked|1192|1", "checked|1189|0",
              "settext|19951|" + windows_path(eeprom_path), "settext|19937|" + windows_path(dsp_path),
              "post-click|19954", "sleep|300", "post-click|19939",
              "box|EEPROM Update Busy|An EEPROM update is running. Load the DSP image once it has completed.|30",
              "box|Elapsed Time: |DP FPGA Configuration EEPROM Update has completed.|120",
              "text|19935|4,352", "text|19936|4,352", "checked|1192|1"]
    steps += ["sysmenu|16", "box|About TR52K_FlashFileLoader||30", "alive|1", "close|0"]

    out = os.path.join(WORK, "probe.txt")
    started = time.monotonic()
    run_in_desktop([PROBE, windows_path(out)] + steps,
                   lambda: os.path.exists(out) and "RESULT" in open(out, encoding="utf-8", errors="replace").read(),
                   env=env, width_height="1200x720")
    text = open(out, encoding="utf-8", errors="replace").read() if os.path.exists(out) else ""
    print(text)
    print("probe run: %.1f s" % (time.monotonic() - started))
    check("RESULT PASS" in text, "every check of the probe passed")
    check(re.search(r"dialog base units 6 13", text) is not None,
          "the dialog's base units are those of MS Shell Dlg 8 on Windows (6 x 13)")
    check(re.search(r"box About TR52K_FlashFileLoader: \w{3} [ \d]\d \d{4} - \d\d:\d\d:\d\d", text) is not None,
          "the About box shows the build's date and time")

    wire_text = open(wire).read()
    sessions = wire_text.split("client connected")
    check(len(sessions) == 3, "the dialog made one connection after the Linux tool's")
    frames = frames_after_last_connect(wire_text)
    check(frames[:len(START_UP_FRAMES)] == START_UP_FRAMES,
          "the start-up frames in their order (%s)" % " ".join(frames[:len(START_UP_FRAMES)]))
    after = frames[len(START_UP_FRAMES):]
    check(after[:1] == ["0000"] and after.count("0000") == 1,
          "one ping after start-up, from the click; none from Enter or Space (%s)" % " ".join(after[:4]))
    check(not any(f.startswith(("1001", "1020")) for f in frames), "no DSP frame reached the unit")

    check_dialog_history(history)
    check(unit_info(CLI, linux_env).get("currentEeprom") == 3, "EEPROM_3 is the unit's current EEPROM")

    if os.path.exists(bmp):
        bmp_to_png(bmp, os.path.join(WORK, "dialog.png"))
    if failures:
        trace = os.path.join(WORK, "trace.txt")
        if os.path.exists(trace):
            print("trace:\n" + open(trace, errors="replace").read()[-3000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
