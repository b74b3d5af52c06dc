#!/usr/bin/python
# Programs a TR52K configuration EEPROM, or makes one current.
from __future__ import annotations

DOCUMENTATION = r"""
module: tr52k_eeprom
short_description: Program or select a TR52K configuration EEPROM
description:
  - With I(state=programmed), runs C(tr52k program-eeprom) on the managed host.
    By default (I(skip_if_current=true)) nothing is written when the unit
    provably holds the image already, that is when its serial number, its
    current EEPROM (this one) and that EEPROM's image id match the last
    completed update of it with the same file in the managed host's update
    history. The task is then C(ok).
  - With I(state=selected), makes EEPROM I(index) the unit's current one,
    unless the unit already reports it current.
  - C(changed) is reported only when a request that writes went to the unit.
    A failed update that erased the EEPROM is both C(changed) and failed.
options:
  index:
    description: The configuration EEPROM, 0 to 11.
    type: int
    required: true
  state:
    description: C(programmed) writes I(image) to the EEPROM and makes it current; C(selected) only makes it current.
    type: str
    choices: [programmed, selected]
    default: programmed
  image:
    description: The image file on the managed host (its name holds C(tr52K)). Required for I(state=programmed).
    type: path
  skip_if_current:
    description: Write nothing when the unit provably holds the image already.
    type: bool
    default: true
  pace:
    description: C(dialog) is the safe rhythm of 64 pages per 100 ms; C(none) writes pages back to back, for a unit known to keep up.
    type: str
    choices: [dialog, none]
    default: dialog
extends_documentation_fragment:
  - tr52k.fleet.tr52k
notes:
  - Supports check mode through C(tr52k --dry-run); nothing is written, and
    C(changed) says whether a real run would write.
author: TR52K Flash File Loader team
"""

EXAMPLES = r"""
- name: EEPROM 3 holds the new image and is current
  tr52k.fleet.tr52k_eeprom:
    unit: "{{ tr52k_unit }}"
    index: 3
    image: /srv/firmware/tr52K_dp_v7.bin

- name: Make EEPROM 5 current
  tr52k.fleet.tr52k_eeprom:
    unit: "{{ tr52k_unit }}"
    index: 5
    state: selected
"""

RETURN = r"""
tr52k:
  description: The unit's JSON result from tr52k (result, pagesAcknowledged, currentEeprom, imageId, proof, ...).
  returned: always
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tr52k.fleet.plugins.module_utils.tr52k import COMMON_OPTIONS, fail_from, finish_write, run_tool


def selected(module, index):
    rc, info, doc = run_tool(module, ["info"])
    if rc != 0:
        fail_from(module, rc, info, doc)
    if info.get("currentEeprom") == index:
        module.exit_json(changed=False, tr52k=info)
    if module.check_mode:
        module.exit_json(changed=True, tr52k=info)
    rc, unit, doc = run_tool(module, ["select-eeprom", str(index)], write=True)
    if rc != 0:
        fail_from(module, rc, unit, doc, changed=True)
    module.exit_json(changed=True, tr52k=unit)


def programmed(module, index):
    p = module.params
    if not p["image"]:
        module.fail_json(msg="image is required when state is programmed")
    args = ["program-eeprom", str(index), p["image"], "--pace", p["pace"]]
    if p["skip_if_current"]:
        args.append("--skip-if-current")
    rc, unit, doc = run_tool(module, args, write=True)
    finish_write(module, rc, unit, doc)


def main():
    spec = dict(COMMON_OPTIONS)
    spec.update(
        index=dict(type="int", required=True),
        state=dict(type="str", choices=["programmed", "selected"], default="programmed"),
        image=dict(type="path"),
        skip_if_current=dict(type="bool", default=True),
        pace=dict(type="str", choices=["dialog", "none"], default="dialog"),
    )
    module = AnsibleModule(argument_spec=spec, supports_check_mode=True)
    index = module.params["index"]
    if not 0 <= index <= 11:
        module.fail_json(msg="index must be 0 to 11, not %d" % index)
    if module.params["state"] == "selected":
        selected(module, index)
    programmed(module, index)


if __name__ == "__main__":
    main()
