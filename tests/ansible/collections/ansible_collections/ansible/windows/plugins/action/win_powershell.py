# ansible.windows.win_powershell, for a Wine host: the role's one script,
# which gives a folder to Administrators with full control for SYSTEM and
# Administrators alone, and read and run to Users. Wine shows every file
# as its user's, with the group and Everyone allowed what the Unix mode
# gives them: the script's effect there is the folder's group and other
# write bits dropped, and their read and run bits set.
import os
import stat
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402

ADMINISTRATORS_CHANGE_USERS_READ = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        if ADMINISTRATORS_CHANGE_USERS_READ not in str(args.get("script", "")):
            return dict(result, failed=True, msg="the stand-in knows the role's folder script only")
        path = WineHost(task_vars).unix_path(args["parameters"]["Path"])
        if not os.path.isdir(path):
            return dict(result, failed=True, msg="%s is not a folder" % args["parameters"]["Path"])
        mode = stat.S_IMODE(os.stat(path).st_mode)
        readers = stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH
        wanted = (mode & ~(stat.S_IWGRP | stat.S_IWOTH)) | readers
        result["changed"] = wanted != mode
        if result["changed"] and not self._play_context.check_mode:
            os.chmod(path, wanted)
        result.update(output=[], error=[], host_out="", host_err="")
        return result
