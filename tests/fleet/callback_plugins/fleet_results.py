# Prints each task result of a run as one JSON document on stdout, for the
# fleet test to read (ansible-core has no JSON stdout callback of its own).
from __future__ import annotations

import json

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = r"""
name: fleet_results
type: stdout
short_description: Task results as one JSON document
description: Prints task, host, changed, failed and the module's message for every result, at the end of the run.
"""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "stdout"
    CALLBACK_NAME = "fleet_results"

    def __init__(self):
        super().__init__()
        self.results = []

    def _add(self, result, failed):
        r = result._result
        self.results.append({"task": result._task.get_name(), "host": result._host.get_name(),
                             "changed": bool(r.get("changed")), "failed": failed, "msg": r.get("msg", "")})

    def v2_runner_on_ok(self, result):
        self._add(result, False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._add(result, True)

    def v2_runner_on_unreachable(self, result):
        self._add(result, True)

    def v2_playbook_on_stats(self, stats):
        self._display.display(json.dumps({"results": self.results}))
