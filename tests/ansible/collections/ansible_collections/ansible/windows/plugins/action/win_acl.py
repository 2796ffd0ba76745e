# ansible.windows.win_acl, for a Wine host. Wine shows every file as its
# user's, with Everyone allowed what the Unix mode gives others: a rule
# that lets anyone but SYSTEM or Administrators write becomes o+w; theirs
# change nothing that Wine shows.
import os
import stat
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402

ADMINISTRATORS = {"S-1-5-18", "S-1-5-32-544", "SYSTEM", "NT AUTHORITY\\SYSTEM", "Administrators",
                  "BUILTIN\\Administrators"}
WRITING = {"FullControl", "Modify", "Write", "WriteData", "AppendData", "Delete", "ChangePermissions",
           "TakeOwnership", "CreateFiles", "CreateDirectories", "DeleteSubdirectoriesAndFiles"}


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        path = WineHost(task_vars).unix_path(args["path"])
        if not os.path.exists(path):
            return dict(result, failed=True, msg="%s does not exist" % args["path"])
        rights = {right.strip() for right in str(args["rights"]).split(",")}
        writes = bool(rights & WRITING) and args.get("type") == "allow" and args["user"] not in ADMINISTRATORS
        mode = os.stat(path).st_mode
        wanted = mode | stat.S_IWOTH if writes and args.get("state", "present") == "present" else mode
        result["changed"] = wanted != mode
        if result["changed"] and not self._play_context.check_mode:
            os.chmod(path, stat.S_IMODE(wanted))
        return result
