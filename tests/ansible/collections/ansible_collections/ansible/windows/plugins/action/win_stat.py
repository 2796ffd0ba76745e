# ansible.windows.win_stat, for a Wine host.
import hashlib
import os
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        path = WineHost(task_vars).unix_path(args["path"])
        stat = {"exists": os.path.exists(path)}
        if stat["exists"]:
            stat.update(isdir=os.path.isdir(path), size=os.path.getsize(path), path=args["path"])
            if args.get("get_checksum", True) and not stat["isdir"]:
                digest = hashlib.new(args.get("checksum_algorithm", "sha1"))
                with open(path, "rb") as contents:
                    digest.update(contents.read())
                stat["checksum"] = digest.hexdigest()
        result.update(changed=False, stat=stat)
        return result
