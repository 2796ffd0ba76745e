# ansible.windows.slurp, for a Wine host.
import base64
import os
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        src = self._task.args["src"]
        path = WineHost(task_vars).unix_path(src)
        try:
            with open(path, "rb") as contents:
                result.update(content=base64.b64encode(contents.read()).decode(), encoding="base64", source=src)
        except OSError as error:
            result.update(failed=True, msg="Path %s is not found: %s" % (src, error))
        return result
