"""What the end-to-end scripts share: counted checks, a settings file on
loopback, the simulator program started on its port, the Wine prefix."""
import json
import os
import re
import subprocess

failures = []
last = "starting"  # the last check made, for a run that gets stuck after it


def check(ok, what):
    global last
    last = "after: " + what
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def loopback_settings(path, address="127.0.0.1"):
    """A settings file whose saved address is on loopback, so no program a
    test runs falls back to the address of a real unit."""
    with open(path, "w") as f:
        f.write('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\r\n'
                '"ETHERNET_IP_ADDR"="%s"\r\n' % address)
    return path


def start_sim(sim, port, *args):
    """tr52k-sim on 127.0.0.1:PORT (0: a free one) with the options given;
    the process and its port, or (None, the line it said) when it did not start."""
    proc = subprocess.Popen([sim, "--port", str(port)] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    m = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
    if not m:
        proc.kill()
        proc.wait(10)
        return None, line
    return proc, int(m.group(1))


def wine_prefix_set():
    """A scratch prefix must be named: the user's default one is never used."""
    if not os.environ.get("WINEPREFIX"):
        print("WINEPREFIX is not set: refusing to use the default prefix")
        return False
    return True


def write_images(folder, eeprom_size):
    """An EEPROM image of a known pattern and a DSP1 image of 700 bytes for
    a dialog's updates, in the folder; their paths."""
    os.makedirs(folder, exist_ok=True)
    eeprom = os.path.join(folder, "tr52K_e2e.bin")
    with open(eeprom, "wb") as f:
        f.write(bytes((i * 7 + 3) & 0xFF for i in range(eeprom_size)))
    dsp = os.path.join(folder, "TR52K1_DSP1_e2e.bin")
    with open(dsp, "wb") as f:
        f.write(bytes(700))
    return eeprom, dsp


def unit_info(cli, env):
    """The unit on 127.0.0.1 as the Linux tool reads it (its JSON), or {}."""
    r = subprocess.run([cli, "--target", "127.0.0.1", "--json", "info"], env=env, capture_output=True, text=True,
                       timeout=60)
    try:
        return json.loads(r.stdout)["units"][0]
    except (ValueError, KeyError, IndexError):
        print("the Linux tool could not read the unit: " + r.stdout + r.stderr)
        return {}


def check_dialog_update(cli, env, history):
    """After a dialog's update of EEPROM_3 on 127.0.0.1:5000: the unit, as the
    Linux tool reads it, has the new image there and current, and the update
    completed is the one entry of the user's history."""
    unit = unit_info(cli, env)
    check(unit.get("currentEeprom") == 3 and unit["eeproms"][3]["imageId"] != "00000000",
          "EEPROM_3 is the unit's current EEPROM and holds the new image")
    lines = [json.loads(line) for line in open(history, encoding="utf-8")] if os.path.exists(history) else []
    check(len(lines) == 1 and lines[0].get("program") == "tr52k-flash-loader" and lines[0].get("target") == "EEPROM_3"
          and lines[0].get("result") == "completed" and lines[0].get("unit") == "127.0.0.1:5000",
          "the update is in the user's history (%r)" % lines)
