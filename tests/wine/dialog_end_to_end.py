#!/usr/bin/python3
"""The Windows dialog under Wine, as a user meets it.

tr52k-flash-loader.exe runs in a Wine virtual desktop on Xvfb against the
Linux simulator on 127.0.0.1:5000 (the dialog's only port). A probe,
started in the same desktop, finds the window and its controls by their
ids and checks: the dialog units of the "MS Shell Dlg" font, the unit's
values as the Linux tool reads them, Ping, "Browse" through the system's
open-file dialog, an EEPROM update paced by the ticker's window messages
with a DSP Load refused meanwhile, the About box, and the window closing
with exit code 0.

Usage: dialog_end_to_end.py DIALOG_EXE PROBE_EXE LINUX_BUILD_DIR WORK_DIR
Needs WINEPREFIX (a scratch prefix) and a running wineserver.
"""
import glob
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import (check, check_dialog_update, failures, loopback_settings, start_sim, unit_info,  # noqa: E402
                 wine_prefix_set, write_images)
from run_in_desktop import run_in_desktop, windows_path  # noqa: E402

DIALOG, PROBE, LINUX, WORK = sys.argv[1:5]
SIM = os.path.join(LINUX, "sim", "tr52k-sim")
CLI = os.path.join(LINUX, "cli", "tr52k")
TITLE = "Korvanex TR52K Flash File Loader"


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
    history = os.path.join(WORK, "Историй", "history.jsonl")
    os.makedirs(os.path.dirname(history))
    env = dict(os.environ, TR52K_REGISTRY_FILE=windows_path(registry), TR52K_HISTORY_FILE=windows_path(history),
               TR52K_TRACE_FILE=windows_path(os.path.join(WORK, "trace.txt")), LC_ALL="C.UTF-8")
    sim, said = start_sim(SIM, 5000, "--state", os.path.join(WORK, "unit.json"), "--erase-ms", "300")
    if not sim:
        print("the simulator did not start on 127.0.0.1:5000: " + said)
        return 1
    try:
        return run(env, registry, history)
    finally:
        sim.kill()
        sim.wait(10)


def run(env, registry, history):
    linux_env = dict(env, TR52K_REGISTRY_FILE=registry, TR52K_HISTORY_FILE=os.path.join(WORK, "linux-history.jsonl"))
    unit = unit_info(CLI, linux_env)
    if not unit.get("ok"):
        return 1
    eeprom_path, dsp_path = write_images(os.path.join(WORK, "Прошивка ü"), 16 * 256)

    steps = ["start|\"%s\" ETHERNET_IP_ADDR=127.0.0.1" % windows_path(DIALOG), "window|%s|90" % TITLE, "text|0|" + TITLE]
    e = unit["eeproms"][unit["currentEeprom"]]
    steps += ["text|2031|" + unit["serialNumber"], "text|1274|",
              "text|%d|%s : %s" % (1189 + e["index"], e["imageId"], e["personalityName"])]
    steps += ["click|2030", "text|1274|68 00 00 00 00 00 "]
    # "Browse" through the system's open-file dialog fills the path edit.
    steps += ["post-click|19938", "choose|Open|%s|30" % windows_path(dsp_path), "sleep|300",
              "text|19937|" + windows_path(dsp_path)]
    # An EEPROM update from the controls, paced by the ticker; a DSP Load
    # meanwhile is refused. A 4096-byte image is written as 17 pages (a
    # whole number of pages gets one more).
    steps += ["click|1192", "settext|19951|" + windows_path(eeprom_path),
              "post-click|19954", "sleep|300", "post-click|19939",
              "box|EEPROM Update Busy|An EEPROM update is running. Load the DSP image once it has completed.|30",
              "box|Elapsed Time: |DP FPGA Configuration EEPROM Update has completed.|120",
              "text|19935|4,352", "text|19936|4,352"]
    steps += ["sysmenu|16", "box|About TR52K_FlashFileLoader||30", "close|0"]

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


    check_dialog_update(CLI, linux_env, history)
    if failures:
        trace = os.path.join(WORK, "trace.txt")
        if os.path.exists(trace):
            print("trace:\n" + open(trace, errors="replace").read()[-3000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
