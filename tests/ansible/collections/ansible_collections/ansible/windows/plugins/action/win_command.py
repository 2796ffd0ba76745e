# ansible.windows.win_command, for a Wine host: the command line as given,
# run inside the host's prefix, its whole exit status read inside Wine.
import os
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        command = " ".join(args["_raw_params"].split())
        rc, out, err = WineHost(task_vars).run(command, args.get("chdir") or "C:\\")
        result.update(changed=True, rc=rc, stdout=out, stderr=err, stdout_lines=out.splitlines(),
                      stderr_lines=err.splitlines(), cmd=command, failed=rc != 0)
        if rc != 0:
            result["msg"] = "non-zero return code"
        return result
