#!/usr/bin/python3
"""Runs a Windows googletest program that opens windows under Wine, in a
virtual desktop of its own on Xvfb.

A window needs a desktop whose Wine explorer has a display. The prefix's
default desktop may have been made without one (wineboot), or on an X
server that has gone, and a window there never appears: so each run gets
a desktop with a fresh name, made under this run's X server. A program in
a virtual desktop has no terminal; its results come back through
googletest's XML report, which is printed here and decides the exit code.

Usage: run_in_desktop.py EXE [GTEST ARGS...]
Needs WINEPREFIX (a scratch prefix) and a running wineserver.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import e2e  # noqa: E402


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_in_desktop(command, finished, env=None, width_height="1024x768", timeout=240):
    """Runs a Windows program (and its arguments) in a fresh virtual desktop
    on its own Xvfb until finished() is true, the program's session ends or
    the time runs out; then takes the X server down, and with it the
    desktop, which outlives the programs in it. True when finished."""
    desktop = "/desktop=tr52k-%d,%s" % (os.getpid(), width_height)
    session = subprocess.Popen(["xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "wine", "explorer", desktop] + command,
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    started = time.monotonic()
    done = False
    while time.monotonic() - started < timeout and session.poll() is None and not done:
        time.sleep(0.5)
        done = finished()
    time.sleep(0.5)
    try:
        os.killpg(session.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    session.wait(30)
    return done


def main():
    if not e2e.wine_prefix_set():
        return 1
    exe, args = sys.argv[1], sys.argv[2:]
    work = tempfile.mkdtemp(prefix="tr52k-desktop-")
    report = os.path.join(work, "report.xml")
    # Settings of its own, on loopback: nothing falls back to the saved
    # address of whoever runs the tests.
    registry = e2e.loopback_settings(os.path.join(work, "registry.reg"))
    env = dict(os.environ, TR52K_REGISTRY_FILE=windows_path(registry))

    def written():
        try:
            ElementTree.parse(report)  # written whole at the end of the run
            return True
        except (OSError, ElementTree.ParseError):
            return False
    started = time.monotonic()
    done = run_in_desktop([exe, "--gtest_output=xml:" + windows_path(report)] + args, written, env=env)
    if not done:
        print("no report from %s within %d s" % (exe, time.monotonic() - started))
        return 1
    root = ElementTree.parse(report).getroot()
    shutil.rmtree(work, ignore_errors=True)
    failed = 0
    for case in root.iter("testcase"):
        failures = case.findall("failure")
        print(("FAILED " if failures else "ok     ") + case.get("classname") + "." + case.get("name"))
        for f in failures:
            print("  " + (f.get("message") or "").replace("\n", "\n  "))
        failed += 1 if failures else 0
    tests = int(root.get("tests", "0"))
    print("%d tests, %d failed" % (tests, failed))
    return 1 if failed or tests == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
