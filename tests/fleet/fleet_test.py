#!/usr/bin/python3
"""The tr52k.fleet collection through ansible-playbook, with an inventory of
local hosts, each pointing at a simulator of its own on 127.0.0.1: the
example playbook updates them batch by batch. Checks "changed" only when a
unit was written, check mode writing nothing, and a failing unit failing its
own host alone while max_fail_percentage 0 stops the next batch.

Usage: fleet_test.py SOURCE_DIR BUILD_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import check, failures, loopback_settings, start_sim  # noqa: E402

SOURCE, BUILD = sys.argv[1], sys.argv[2]
SIM = os.path.join(BUILD, "sim", "tr52k-sim")
TOOL = os.path.join(BUILD, "cli", "tr52k")
PLAYBOOK = os.path.join(SOURCE, "ansible", "examples", "update_sites.yml")
HOSTS = ["site1", "site2", "site3"]
INDEX = 3


class Sim:
    """A simulator with its state and wire log in the scratch folder."""

    def __init__(self, scratch, name):
        self.state = os.path.join(scratch, name + ".json")
        self.wire = os.path.join(scratch, name + ".wire")
        self.port = 0
        self.proc = None

    def start(self, *faults):
        args = ["--state", self.state, "--erase-ms", "20", "--wire-log", self.wire]
        for f in faults:
            args += ["--fault", f]
        self.proc, self.port = start_sim(SIM, self.port, *args)
        if not self.proc:
            raise SystemExit("the simulator did not start: " + self.port)

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None

    def writes(self):
        """Requests that write, as the unit received them: erase, page, select."""
        text = open(self.wire, encoding="utf-8", errors="replace").read() if os.path.exists(self.wire) else ""
        return sum(text.count(w) for w in ("68 00 22 10", "68 00 21 10", "68 00 24 10"))

    def eeprom(self):
        with open(self.state, encoding="utf-8") as f:
            return bytes.fromhex(json.load(f)["eeproms"][INDEX]["data"])


def image(scratch, name, seed):
    data = bytes((i * 7 + seed) & 0xFF for i in range(3000))
    path = os.path.join(scratch, name)
    with open(path, "wb") as f:
        f.write(data)
    return path, data + b"\xff" * (3072 - len(data))


def play(scratch, env, sims, image_path, batch, check_mode=False):
    """Runs the example playbook; returns {host: (changed, failed, ran)} and its exit code."""
    inventory = os.path.join(scratch, "inventory.yml")
    with open(inventory, "w") as f:
        f.write("tr52k_sites:\n  hosts:\n")
        for host, sim in zip(HOSTS, sims):
            f.write("    %s:\n      ansible_connection: local\n      ansible_python_interpreter: /usr/bin/python3\n"
                    "      tr52k_unit: 127.0.0.1:%d\n" % (host, sim.port))
    cmd = ["ansible-playbook", "-i", inventory, PLAYBOOK, "-e", "tr52k_image=" + image_path, "-e",
           "tr52k_index=%d" % INDEX, "-e", "tr52k_batch=%d" % batch, "-e", "tr52k_program=" + TOOL]
    r = subprocess.run(cmd + (["--check"] if check_mode else []), capture_output=True, text=True, timeout=600,
                       env=dict(env, ANSIBLE_STDOUT_CALLBACK="fleet_results", ANSIBLE_CALLBACK_PLUGINS=os.path.join(
                           os.path.dirname(os.path.abspath(__file__)), "callback_plugins")))
    try:
        doc = json.loads(r.stdout)
    except ValueError:
        print(r.stdout[-3000:], r.stderr[-3000:])
        raise SystemExit("ansible-playbook printed no JSON")
    result = {h: (False, False, False) for h in HOSTS}
    for res in doc["results"]:
        if res["task"].startswith("EEPROM"):
            result[res["host"]] = (res["changed"], res["failed"], True)
    return result, r.returncode


def main():
    if not shutil.which("ansible-playbook"):
        print("skipped: ansible-playbook is not installed")
        return 77
    scratch = tempfile.mkdtemp(prefix="tr52k-fleet-")
    tmp = os.path.join(scratch, "tmp")
    env = dict(os.environ, TR52K_HISTORY_FILE=os.path.join(scratch, "history.jsonl"), XDG_RUNTIME_DIR=scratch,
               HOME=scratch, TR52K_REGISTRY_FILE=loopback_settings(os.path.join(scratch, "registry.reg")),
               ANSIBLE_COLLECTIONS_PATH=os.path.join(SOURCE, "ansible"), ANSIBLE_HOME=os.path.join(scratch, "ah"),
               ANSIBLE_LOCAL_TEMP=tmp, ANSIBLE_REMOTE_TEMP=tmp, ANSIBLE_LOCALHOST_WARNING="False",
               ANSIBLE_INVENTORY_UNPARSED_WARNING="False")
    # The collection builds, and its modules document themselves.
    collection = os.path.join(SOURCE, "ansible", "ansible_collections", "tr52k", "fleet")
    r = subprocess.run(["ansible-galaxy", "collection", "build", collection, "--output-path", scratch], env=env,
                       capture_output=True, text=True)
    check(r.returncode == 0 and os.path.exists(os.path.join(scratch, "tr52k-fleet-1.0.0.tar.gz")),
          "ansible-galaxy builds the collection")
    for module in ("tr52k_info", "tr52k_eeprom", "tr52k_dsp"):
        r = subprocess.run(["ansible-doc", "tr52k.fleet." + module], env=env, capture_output=True, text=True)
        check(r.returncode == 0 and "unit" in r.stdout and "check mode" in r.stdout.lower(),
              "ansible-doc shows " + module)
    sims = [Sim(scratch, h) for h in HOSTS]
    try:
        for s in sims:
            s.start()
        a, a_stored = image(scratch, "tr52K_a.bin", 1)
        # Check mode: every unit would be written, none is; then a run writes
        # them all byte for byte, and the next one writes nothing.
        res, rc = play(scratch, env, sims, a, batch=3, check_mode=True)
        check(rc == 0 and all(res[h][:2] == (True, False) for h in HOSTS), "check mode reports changed on every unit")
        check(all(s.writes() == 0 for s in sims), "check mode writes nothing")
        res, rc = play(scratch, env, sims, a, batch=1)
        check(rc == 0 and all(res[h][:2] == (True, False) for h in HOSTS), "first run: changed on every unit")
        check(all(s.eeprom() == a_stored for s in sims), "first run: every unit holds the image byte for byte")
        before = [s.writes() for s in sims]
        res, rc = play(scratch, env, sims, a, batch=1)
        check(rc == 0 and all(res[h] == (False, False, True) for h in HOSTS), "second run: ok on every unit")
        check([s.writes() for s in sims] == before, "second run: no write reached any unit")

        # The DSP module: ok when the unit reports the version, changed when written.
        dsp = os.path.join(scratch, "TR52K1_DSP1_f.bin")
        with open(dsp, "wb") as f:
            f.write(bytes(range(256)) * 3)
        for version, word in (("01020003", "SUCCESS"), ("01020009", "CHANGED")):
            r = subprocess.run(["ansible", "localhost", "-m", "tr52k.fleet.tr52k_dsp", "-a",
                                "unit=127.0.0.1:%d dsp=1 image=%s version=%s dsp_wait_step_ms=0 tr52k=%s"
                                % (sims[2].port, dsp, version, TOOL)], env=env, capture_output=True, text=True,
                               timeout=120)
            check(("localhost | " + word) in r.stdout, "tr52k_dsp with version %s: %s" % (version, word.lower()))

        # Two units a batch, the second losing its pages: it fails alone (and
        # is changed, having been erased), and no later batch starts.
        b, b_stored = image(scratch, "tr52K_b.bin", 2)
        sims[1].stop()
        sims[1].start("close:0x1021@2")
        before = sims[2].writes()
        res, rc = play(scratch, env, sims, b, batch=2)
        check(rc != 0 and res["site1"] == (True, False, True) and res["site2"][:2] == (True, True),
              "a faulty unit fails its own host alone (%r)" % res)
        check(sims[0].eeprom() == b_stored, "the other unit of its batch completes")
        check(not res["site3"][2] and sims[2].writes() == before, "max_fail_percentage 0: the next batch does not start")
    finally:
        for s in sims:
            s.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d check(s) failed" % len(failures) if failures else "all fleet checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
