# The host a task runs on, as the rollout tests make it: a Wine prefix on
# this machine (host variable usqz_test_prefix), programs run in it through
# tools/wine-run (usqz_test_wine_run), and whole exit statuses read inside
# Wine by a helper (usqz_test_exit_status), since wine passes on only the
# low 8 bits.
import os
import subprocess
import tempfile


class WineHost:
    def __init__(self, task_vars):
        self.prefix = task_vars["usqz_test_prefix"]
        self.wine_run = task_vars["usqz_test_wine_run"]
        self.exit_status = task_vars["usqz_test_exit_status"]

    def unix_path(self, windows_path):
        drive, _, rest = windows_path.partition(":")
        if drive.lower() != "c":
            raise ValueError("only C: paths are mapped: %s" % windows_path)
        parts = [part for part in rest.replace("/", "\\").split("\\") if part]
        return os.path.join(self.prefix, "drive_c", *parts)

    def run(self, command_line, directory, timeout=900):
        with tempfile.TemporaryDirectory() as scratch:
            rc_file = os.path.join(scratch, "rc.txt")
            command_file = os.path.join(scratch, "command.txt")
            with open(command_file, "w", encoding="utf-8") as out:
                out.write(command_line)
            windows = lambda path: "Z:" + path.replace("/", "\\")  # noqa: E731
            process = subprocess.run(
                [self.wine_run, self.prefix, self.exit_status, windows(rc_file), directory, windows(command_file)],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
            try:
                with open(rc_file) as status:
                    rc = int(status.read().strip())
            except (OSError, ValueError):
                rc = 255 if process.returncode == 0 else process.returncode
        return rc, process.stdout.decode("latin-1"), process.stderr.decode("latin-1")
