# ansible.windows.win_copy, for a Wine host: src on the controller (or
# content, text only, as the real module takes it), dest a Windows path;
# copied only when the contents differ; check mode honoured.
import hashlib
import os
import shutil
import sys

from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.dirname(__file__))
from wine_host import WineHost  # noqa: E402


def sha1(path):
    digest = hashlib.sha1()
    with open(path, "rb") as contents:
        for block in iter(lambda: contents.read(65536), b""):
            digest.update(block)
    return digest.hexdigest()


class ActionModule(ActionBase):
    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        host = WineHost(task_vars)
        dest = host.unix_path(args["dest"])
        if "content" in args:
            if not isinstance(args["content"], str):
                return dict(failed=True, msg="content must be text, not %s" % type(args["content"]).__name__)
            data = args["content"].encode("utf-8")
            checksum = hashlib.sha1(data).hexdigest()
            same = os.path.isfile(dest) and sha1(dest) == checksum
            result.update(changed=not same, checksum=checksum, dest=args["dest"], size=len(data))
            if not same and not self._play_context.check_mode:
                os.makedirs(os.path.dirname(dest), exist_ok=True)
                with open(dest, "wb") as out:
                    out.write(data)
            return result
        src = self._find_needle("files", args["src"]) if not os.path.isabs(args["src"]) else args["src"]
        checksum = sha1(src)
        same = os.path.isfile(dest) and sha1(dest) == checksum
        result.update(changed=not same, checksum=checksum, dest=args["dest"], size=os.path.getsize(src),
                      operation="file_copy", original_basename=os.path.basename(src))
        if not same and not self._play_context.check_mode:
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copyfile(src, dest)
        return result
