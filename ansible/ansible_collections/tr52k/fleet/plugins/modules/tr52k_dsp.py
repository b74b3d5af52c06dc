#!/usr/bin/python
# Flashes a TR52K DSP.
from __future__ import annotations

DOCUMENTATION = r"""
module: tr52k_dsp
short_description: Flash a TR52K DSP
description:
  - Runs C(tr52k flash-dsp) on the managed host. With I(version), nothing is
    written when the unit reports exactly that DSP firmware version (the
    image file does not name its own version, so the task says which it is),
    and the task is C(ok).
  - The unit writes its flash during a 60 s wait after the upload; the task
    lasts that long and the unit must not be powered off meanwhile.
  - C(changed) is reported only when a request that writes went to the unit.
options:
  dsp:
    description: 1 or 2.
    type: int
    required: true
  image:
    description: The image file on the managed host (its name holds C(_DSP1_) or C(_DSP2_), and C(TR52K1_)).
    type: path
    required: true
  version:
    description: The version the image holds, in hex as C(tr52k info) shows it; when the unit reports it, nothing is written.
    type: str
  dsp_wait_step_ms:
    description: For rehearsals against the simulator on the managed host only; shortens each second of the write wait.
    type: int
extends_documentation_fragment:
  - tr52k.fleet.tr52k
notes:
  - Supports check mode through C(tr52k --dry-run).
author: TR52K Flash File Loader team
"""

EXAMPLES = r"""
- name: DSP1 runs version 01020005
  tr52k.fleet.tr52k_dsp:
    unit: "{{ tr52k_unit }}"
    dsp: 1
    image: /srv/firmware/TR52K1_DSP1_v5.bin
    version: "01020005"
"""

RETURN = r"""
tr52k:
  description: The unit's JSON result from tr52k (result, blocksAcknowledged, finishAcknowledged, proof, ...).
  returned: always
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tr52k.fleet.plugins.module_utils.tr52k import COMMON_OPTIONS, fail_from, finish_write, run_tool


def main():
    spec = dict(COMMON_OPTIONS)
    spec.update(
        dsp=dict(type="int", required=True, choices=[1, 2]),
        image=dict(type="path", required=True),
        version=dict(type="str"),
        dsp_wait_step_ms=dict(type="int"),
    )
    module = AnsibleModule(argument_spec=spec, supports_check_mode=True)
    p = module.params
    args = ["flash-dsp", str(p["dsp"]), p["image"]]
    if p["version"]:
        args += ["--skip-if-version", p["version"]]
    if p["dsp_wait_step_ms"] is not None:
        args = ["--dsp-wait-step-ms", str(p["dsp_wait_step_ms"])] + args
    rc, unit, doc = run_tool(module, args, write=True)
    finish_write(module, rc, unit, doc)


if __name__ == "__main__":
    main()
