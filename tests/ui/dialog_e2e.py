#!/usr/bin/python3
"""The dialog program driven from outside, as a user drives it, through the
accessibility bus (AT-SPI), against the simulator program on 127.0.0.1.

Run under Xvfb and a private D-Bus session:
    xvfb-run -a dbus-run-session -- /usr/bin/python3 dialog_e2e.py BUILD_DIR
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pyatspi

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import e2e  # noqa: E402
from e2e import check, failures  # noqa: E402

BUILD = os.path.abspath(sys.argv[1])
SIM = os.path.join(BUILD, "sim", "tr52k-sim")
DIALOG = os.path.join(BUILD, "ui", "qt", "tr52k-flash-loader")
CLI = os.path.join(BUILD, "cli", "tr52k")

class Stuck(Exception):
    pass


def on_alarm(signum, frame):
    raise Stuck("no progress within the time allowed, at: " + e2e.last)


def wait_for(predicate, seconds=20.0, step=0.1):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        children = list(node)
    except Exception:
        return
    for child in children:
        yield from walk(child, depth + 1)


def nodes(root, keep):
    """The nodes under root that keep() takes, skipping any that went away."""
    for node in walk(root):
        try:
            if keep(node):
                yield node
        except Exception:
            continue


def application():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "tr52k-flash-loader"), None)


def find(name):
    return next(nodes(application(), lambda n: n.name == name), None)


def set_text(node, value):
    node.queryEditableText().setTextContents(value)


def press(node):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    action.doAction(names.index("Press") if "Press" in names else 0)


def click(node):
    # A real click: the Toggle action of a check box or radio button does
    # not run the click handler.
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(e.x + 6, e.y + e.height // 2, "b1c")


def answer_box(words, seconds):
    """Waits for a message box whose title or text holds the words and
    presses its OK; whether it came."""
    def holds(node):  # the box itself, or one of its labels
        return any(nodes(node, lambda n: words in (n.name or "")))
    box = wait_for(lambda: next(nodes(application(), lambda n: n.getRole() in (
        pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT, pyatspi.ROLE_WINDOW) and holds(n)), None), seconds)
    for button in nodes(box, lambda n: n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name in ("OK", "&OK")):
        press(button)
    return box is not None


def main():
    work = tempfile.mkdtemp(prefix="tr52k-e2e-")
    registry = e2e.loopback_settings(os.path.join(work, "registry.reg"))
    sim, said = e2e.start_sim(SIM, 5000, "--state", os.path.join(work, "unit.json"), "--erase-ms", "300")
    if not sim:
        print("the simulator did not start on 127.0.0.1:5000: " + said)
        return 1
    env = dict(os.environ, TR52K_REGISTRY_FILE=registry, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
               TR52K_TRACE_FILE=os.path.join(work, "trace.txt"), TR52K_HISTORY_FILE=os.path.join(work, "history.jsonl"))
    env.pop("QT_QPA_PLATFORM", None)
    dialog = subprocess.Popen([DIALOG, "ETHERNET_IP_ADDR=127.0.0.1"], env=env)
    # A dialog that stops answering the accessibility bus would leave every
    # query waiting: the whole run has a bound, and the programs always end.
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(120)
    try:
        check(wait_for(lambda: find("Save"), 30) is not None, "the dialog shows its controls")
        for i, part in enumerate(["127", "0", "0", "7"]):
            set_text(find("Target address field %d" % (i + 1)), part)
        press(find("Save"))
        saved = wait_for(lambda: "127.0.0.7" in open(registry, encoding="latin-1").read().replace("\0", ""))
        check(saved is not None, "Save stores the typed address")

        # An EEPROM update typed and started from the controls; a DSP Load
        # pressed meanwhile is refused.
        eeprom_path, dsp_path = e2e.write_images(work, 64 * 256 + 100)
        click(find("EEPROM_3"))
        set_text(find("EEPROM image path"), eeprom_path)
        set_text(find("DSP1 image path"), dsp_path)
        press(find("Load EEPROM"))
        press(find("Load DSP1"))
        check(answer_box("EEPROM Update Busy", 20), "DSP Load during the EEPROM update is refused with 'EEPROM Update Busy'")
        check(answer_box("DP FPGA Configuration EEPROM Update has completed.", 60), "the EEPROM update completes")
    except Stuck as e:
        check(False, str(e))
    finally:
        signal.alarm(0)
        dialog.kill()
        dialog.wait(10)
    try:
        e2e.check_dialog_update(CLI, env, os.path.join(work, "history.jsonl"))
    finally:
        sim.kill()
        sim.wait(10)
    if failures:
        print("trace:\n" + open(os.path.join(work, "trace.txt"), errors="replace").read()[-3000:])
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
