# ansible.windows.win_file, for a Wine host: state=directory only, the one
# use the role makes of it.
import os
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        if args.get("state") != "directory":
            return dict(result, failed=True, msg="the stand-in knows state=directory only")
        path = WineHost(task_vars).unix_path(args["path"])
        result["changed"] = not os.path.isdir(path)
        if result["changed"] and not self._play_context.check_mode:
            os.makedirs(path)
        return result
