# ansible.windows.win_command, for a Wine host: the command line as given
# (or built from argv, quoted as win_command quotes it), run inside the
# host's prefix, its whole exit status read inside Wine.
import os
import re
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


def quoted(argument):
    """One argument as win_command's argv quotes it (the C runtime's rules:
    quotes around anything with blanks or quotes, a quote escaped with a
    backslash, backslashes doubled before a quote and at the end)."""
    if argument and not re.search(r'[\s"]', argument):
        return argument
    out = '"'
    backslashes = 0
    for char in argument:
        if char == "\\":
            backslashes += 1
            continue
        if char == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + char
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        if args.get("argv"):
            command = " ".join(quoted(str(argument)) for argument in args["argv"])
        else:
            command = " ".join(args["_raw_params"].split())
        rc, out, err = WineHost(task_vars).run(command, args.get("chdir") or "C:\\")
        result.update(changed=True, rc=rc, stdout=out, stderr=err, stdout_lines=out.splitlines(),
                      stderr_lines=err.splitlines(), cmd=command, failed=rc != 0)
        if rc != 0:
            result["msg"] = "non-zero return code"
        return result
