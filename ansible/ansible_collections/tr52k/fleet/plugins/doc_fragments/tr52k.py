# The options every tr52k.fleet module takes: which unit, and how to run tr52k.
from __future__ import annotations


class ModuleDocFragment:
    DOCUMENTATION = r"""
options:
  unit:
    description: The unit, C(host) or C(host:port) (port 5000 by default).
    type: str
    required: true
  tr52k:
    description: The tr52k program.
    type: path
    default: tr52k
  timeout:
    description: Response time-out of an exchange, in milliseconds.
    type: int
  expect_serial:
    description: Refuse (and write nothing to) a unit whose serial number differs.
    type: str
  trace:
    description: Write the exchange trace to this file on the managed host.
    type: path
"""
