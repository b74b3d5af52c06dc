#!/usr/bin/python3
"""The tr52k.fleet collection through ansible-playbook, with an inventory of
local hosts, each pointing at a simulator of its own on 127.0.0.1: the
example playbook updates them batch by batch. Checks "changed" only when a
unit was written, check mode writing nothing, a failing unit failing its own
host alone, and max_fail_percentage 0 stopping the next batch.

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
        self.proc, port = start_sim(SIM, self.port, *args)
        if not self.proc:
            raise SystemExit("the simulator did not start: " + port)
        self.port = port

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None

    def writes(self):
        """Requests that write, as the unit received them: erase, page, select."""
        if not os.path.exists(self.wire):
            return 0
        text = open(self.wire, encoding="utf-8", errors="replace").read()
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


def play(scratch, sims, image_path, batch, check_mode=False):
    """Runs the example playbook; returns {host: (changed, failed, ran)}."""
    inventory = os.path.join(scratch, "inventory.yml")
    with open(inventory, "w") as f:
        f.write("tr52k_sites:\n  hosts:\n")
        for host, sim in zip(HOSTS, sims):
            f.write("    %s:\n      ansible_connection: local\n      ansible_python_interpreter: /usr/bin/python3\n"
                    "      tr52k_unit: 127.0.0.1:%d\n" % (host, sim.port))
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(SOURCE, "ansible"),
               ANSIBLE_CALLBACK_PLUGINS=os.path.join(os.path.dirname(os.path.abspath(__file__)), "callback_plugins"),
               ANSIBLE_STDOUT_CALLBACK="fleet_results",
               ANSIBLE_LOCALHOST_WARNING="False", ANSIBLE_INVENTORY_UNPARSED_WARNING="False",
               ANSIBLE_HOME=os.path.join(scratch, "ansible-home"), ANSIBLE_LOCAL_TEMP=os.path.join(scratch, "tmp"),
               ANSIBLE_REMOTE_TEMP=os.path.join(scratch, "tmp"))
    cmd = ["ansible-playbook", "-i", inventory, PLAYBOOK, "-e", "tr52k_image=" + image_path, "-e",
           "tr52k_index=%d" % INDEX, "-e", "tr52k_batch=%d" % batch, "-e", "tr52k_program=" + TOOL]
    if check_mode:
        cmd.append("--check")
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    try:
        doc = json.loads(r.stdout)
    except ValueError:
        print(r.stdout[-3000:], r.stderr[-3000:])
        raise SystemExit("ansible-playbook printed no JSON")
    result = {}
    for res in doc["results"]:
        if res["task"].startswith("EEPROM"):
            result[res["host"]] = (res["changed"], res["failed"], True)
    for host in HOSTS:
        result.setdefault(host, (False, False, False))
    if os.environ.get("FLEET_VERBOSE"):
        print(r.stdout)
    return result, r.returncode


def main():
    if not shutil.which("ansible-playbook"):
        print("skipped: ansible-playbook is not installed")
        return 77
    scratch = tempfile.mkdtemp(prefix="tr52k-fleet-")
    os.environ.update(TR52K_HISTORY_FILE=os.path.join(scratch, "history.jsonl"),
                      TR52K_REGISTRY_FILE=os.path.join(scratch, "registry.reg"), XDG_RUNTIME_DIR=scratch,
                      HOME=scratch)
    loopback_settings(os.environ["TR52K_REGISTRY_FILE"])
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(SOURCE, "ansible"),
               ANSIBLE_HOME=os.path.join(scratch, "ansible-home"))
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

        # Check mode first: every unit would be written, none is.
        res, rc = play(scratch, sims, a, batch=3, check_mode=True)
        check(rc == 0 and all(res[h][0] and not res[h][1] for h in HOSTS), "check mode reports changed on every unit")
        check(all(s.writes() == 0 for s in sims), "check mode writes nothing")

        # First run: changed everywhere, byte-exact.
        res, rc = play(scratch, sims, a, batch=1)
        check(rc == 0 and all(res[h][0] and not res[h][1] for h in HOSTS), "first run: changed on every unit")
        check(all(s.eeprom() == a_stored for s in sims), "first run: every unit holds the image byte for byte")
        before = [s.writes() for s in sims]

        # Second run: ok everywhere, and not one write on the wire.
        res, rc = play(scratch, sims, a, batch=1)
        check(rc == 0 and all(not res[h][0] and not res[h][1] and res[h][2] for h in HOSTS),
              "second run: ok on every unit")
        check([s.writes() for s in sims] == before, "second run: no write reached any unit")
        res, rc = play(scratch, sims, a, batch=3, check_mode=True)
        check(rc == 0 and all(not res[h][0] for h in HOSTS), "check mode after it: nothing would change")

        # The DSP module: ok when the unit reports the version, changed when written.
        dsp = os.path.join(scratch, "TR52K1_DSP1_f.bin")
        with open(dsp, "wb") as f:
            f.write(bytes(range(256)) * 3)
        for version, word in (("01020003", "SUCCESS"), ("01020009", "CHANGED")):
            r = subprocess.run(["ansible", "localhost", "-m", "tr52k.fleet.tr52k_dsp", "-a",
                                "unit=127.0.0.1:%d dsp=1 image=%s version=%s dsp_wait_step_ms=0 tr52k=%s"
                                % (sims[2].port, dsp, version, TOOL)], env=dict(env, ANSIBLE_LOCALHOST_WARNING="False"),
                               capture_output=True, text=True, timeout=120)
            check(("localhost | " + word) in r.stdout, "tr52k_dsp with version %s: %s" % (version, word.lower()))

        # A unit whose pages are lost fails its own host; the others complete.
        b, b_stored = image(scratch, "tr52K_b.bin", 2)
        sims[1].stop()
        sims[1].start("close:0x1021@2")
        res, rc = play(scratch, sims, b, batch=3)
        check(rc != 0 and res["site2"][1] and not res["site1"][1] and not res["site3"][1],
              "a faulty unit fails its own host alone")
        check(sims[0].eeprom() == b_stored and sims[2].eeprom() == b_stored, "the other units complete")
        check(res["site2"][0], "the failed unit was written (erased), so it is changed too")

        # max_fail_percentage 0, one host per batch: the first fails, no later batch starts.
        c, _ = image(scratch, "tr52K_c.bin", 3)
        sims[1].stop()
        sims[1].start()
        sims[0].stop()
        sims[0].start("close:0x1021@2")
        before = [s.writes() for s in sims]
        res, rc = play(scratch, sims, c, batch=1)
        after = [s.writes() for s in sims]
        check(rc != 0 and res["site1"][1] and not res["site2"][2] and not res["site3"][2],
              "max_fail_percentage 0: the next batch does not start")
        check(after[1:] == before[1:], "max_fail_percentage 0: the later units got no write")
    finally:
        for s in sims:
            s.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all fleet checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
