#!/usr/bin/python
# Reads what a TR52K unit reports about itself. Never writes.
from __future__ import annotations

DOCUMENTATION = r"""
module: tr52k_info
short_description: Read a TR52K unit's facts
description:
  - Runs C(tr52k --json info) on the managed host and returns what the unit
    answered, that is its serial number, firmware versions, operational mode,
    current configuration EEPROM and the EEPROM directory.
  - Only values the unit answered in its own replies are returned.
extends_documentation_fragment:
  - tr52k.fleet.tr52k
notes:
  - Supports check mode; it never writes.
author: TR52K Flash File Loader team
"""

EXAMPLES = r"""
- name: Read the unit
  tr52k.fleet.tr52k_info:
    unit: 10.0.0.5
  register: unit
"""

RETURN = r"""
tr52k:
  description: The unit's facts as tr52k reported them (serialNumber, dsp1FwVersion, currentEeprom, eeproms, ...).
  returned: always
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tr52k.fleet.plugins.module_utils.tr52k import COMMON_OPTIONS, fail_from, run_tool


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_OPTIONS), supports_check_mode=True)
    rc, unit, doc = run_tool(module, ["info"])
    if rc != 0:
        fail_from(module, rc, unit, doc)
    module.exit_json(changed=False, tr52k=unit)


if __name__ == "__main__":
    main()
