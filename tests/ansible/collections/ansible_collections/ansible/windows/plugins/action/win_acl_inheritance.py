# ansible.windows.win_acl_inheritance, for a Wine host: state=absent without
# reorganize drops what the folder inherits, and with it every right Wine
# shows for others (the group's and everyone's write bits).
import os
import stat
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        if args.get("state", "absent") != "absent" or args.get("reorganize", False):
            return dict(result, failed=True, msg="the stand-in knows state=absent without reorganize only")
        path = WineHost(task_vars).unix_path(args["path"])
        mode = stat.S_IMODE(os.stat(path).st_mode)
        wanted = mode & ~(stat.S_IWGRP | stat.S_IWOTH)
        result["changed"] = wanted != mode
        if result["changed"] and not self._play_context.check_mode:
            os.chmod(path, wanted)
        return result
