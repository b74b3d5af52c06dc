# Running the tr52k tool for the modules: one unit, --json, its result.
from __future__ import annotations

import json
import shlex

COMMON_OPTIONS = dict(
    unit=dict(type="str", required=True),
    tr52k=dict(type="path", default="tr52k"),
    timeout=dict(type="int"),
    expect_serial=dict(type="str"),
    trace=dict(type="path"),
)


def run_tool(module, args, write=False):
    """Runs tr52k on the module's unit; returns (exit code, the unit's JSON
    object, the whole document). A command that writes gets --yes (the
    module is its confirmation) and, in check mode, --dry-run."""
    p = module.params
    cmd = [p["tr52k"], "--json", "-t", p["unit"]]
    if p.get("timeout"):
        cmd += ["--timeout", str(p["timeout"])]
    if p.get("expect_serial"):
        cmd += ["--expect-serial", p["expect_serial"]]
    if p.get("trace"):
        cmd += ["--trace", p["trace"]]
    if write:
        cmd += ["--yes"]
        if module.check_mode:
            cmd += ["--dry-run"]
    cmd += args
    rc, out, err = module.run_command(cmd)
    try:
        doc = json.loads(out)
    except ValueError:
        module.fail_json(msg="tr52k did not print its JSON result: %s" % (err or out).strip(), rc=rc,
                         cmd=" ".join(shlex.quote(c) for c in cmd))
    units = doc.get("units") or []
    unit = units[0] if units else {}
    return rc, unit, doc


def fail_from(module, rc, unit, doc, changed=False):
    """Fails with the tool's own words and exit code."""
    msg = unit.get("message") or unit.get("error") or doc.get("error") or "tr52k exited with %d" % rc
    module.fail_json(msg=msg, rc=rc, changed=changed, tr52k=unit)


def finish_write(module, rc, unit, doc):
    """Ends a module whose command writes: in check mode `changed` is what a
    real run would do; otherwise it is whether a request that writes went
    to the unit, also when the run failed after it."""
    if module.check_mode:
        if rc != 0:
            fail_from(module, rc, unit, doc)
        module.exit_json(changed=bool(unit.get("wouldWrite")), tr52k=unit)
    changed = bool(unit.get("writeSent"))
    if rc != 0:
        fail_from(module, rc, unit, doc, changed=changed)
    module.exit_json(changed=changed, tr52k=unit)
