#!/usr/bin/env python3
"""rollout_test.py BUILD_DIR: the shipped rolling-update playbook and role,
run for real against six hosts, each a Wine prefix of its own on this
machine with the real service manager, the test service and the real tool.
Only the transport is replaced: tests/ansible/collections shadows the
ansible.windows modules the role uses and carries each call out inside the
host's prefix."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "windows-x64")
WINE_RUN = os.path.join(ROOT, "tools", "wine-run")
WINE_SESSION = os.path.join(ROOT, "tools", "wine-session")
HELPERS = os.path.join(BUILD, "tests", "win32")
TOOL = os.path.join(BUILD, "UpdateServiceQZ.exe")
V1 = os.path.join(HELPERS, "test_service_v1.exe")
V2 = os.path.join(HELPERS, "test_service_v2.exe")
HOSTS = ["host%d" % n for n in range(1, 7)]
FLEET = os.path.join(BUILD, "ansible-hosts")
PLAYBOOK = os.path.join(ROOT, "deploy", "ansible", "playbooks", "rolling_update.yml")


def prefix(host):
    return os.path.join(FLEET, host, "prefix")


def wine(host, *arguments, check=True):
    return subprocess.run([WINE_RUN, prefix(host), *arguments], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          check=check, timeout=300).stdout.decode("latin-1")


def drive_c(host, *parts):
    return os.path.join(prefix(host), "drive_c", *parts)


def read(path):
    try:
        with open(path, "rb") as contents:
            return contents.read()
    except OSError:
        return None


class Scenario:
    """One rollout's service on every host: its own name and folder."""

    counter = 0

    def __init__(self, title):
        Scenario.counter += 1
        # Unique to this run too, should the prefixes be kept from an earlier one.
        self.item = "%s%d%d" % (re.sub(r"[^a-z]", "", title.lower())[:6], Scenario.counter, os.getpid() % 1000)
        self.name = "QZ" + self.item
        self.folder = "svc-" + self.item

    def executable(self, host, suffix="exe"):
        return drive_c(host, self.folder, "qz_%s.%s" % (self.item, suffix))

    def install(self, host, config=""):
        os.makedirs(drive_c(host, self.folder), exist_ok=True)
        with open(drive_c(host, self.folder, "test_service.cfg"), "w") as cfg:
            cfg.write(config)
        shutil.copyfile(V1, self.executable(host))
        path = "C:\\%s\\qz_%s.exe" % (self.folder, self.item)
        wine(host, "sc", "create", self.name, "binPath=", '"%s"' % path, "start=", "auto")
        wine(host, "sc", "start", self.name)
        for _ in range(100):
            if self.state(host) == "RUNNING":
                return
            time.sleep(0.2)
        raise AssertionError("%s did not start on %s" % (self.name, host))

    def state(self, host):
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", wine(host, "sc", "query", self.name, check=False))
        return found.group(1) if found else "MISSING"

    def running(self, host):
        """Which build runs there: v1, v2, or down."""
        if self.state(host) != "RUNNING":
            return "down"
        current = read(self.executable(host))
        return "v2" if current == read(V2) else "v1" if current == read(V1) else "other"

    def started(self, host, build):
        log = (read(drive_c(host, self.folder, "events.log")) or b"").decode()
        ticks = [int(line.split()[0]) for line in log.splitlines() if line.endswith(build + " started")]
        return ticks[-1] if ticks else None

    def touched(self, host):
        return os.path.exists(self.executable(host, "new")) or os.path.exists(self.executable(host, "old"))

    def play(self, check=False, **extra):
        inventory = os.path.join(FLEET, "inventory-%s.ini" % self.item)
        with open(inventory, "w") as hosts:
            hosts.write("localhost ansible_connection=local ansible_python_interpreter=%s\n[fleet]\n" % sys.executable)
            for host in HOSTS:
                hosts.write("%s ansible_connection=local usqz_test_prefix=%s usqz_test_wine_run=%s "
                            "usqz_test_exit_status=%s\n" % (host, prefix(host), WINE_RUN,
                                                           os.path.join(HELPERS, "exit_status.exe")))
        variables = dict(usqz_hosts="fleet", usqz_service_name=self.name, usqz_new_version=V2,
                         usqz_tool_source=TOOL, usqz_folder="C:\\" + self.folder, usqz_busy_delay=2,
                         usqz_busy_retries=15, usqz_health_timeout=10)
        variables.update(extra)
        with open(os.path.join(FLEET, "vars-%s.json" % self.item), "w") as out:
            json.dump(variables, out)
        environment = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(FLEET, "collections") + ":" +
                           os.path.join(ROOT, "tests", "ansible", "collections"),
                           ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0", ANSIBLE_HOST_KEY_CHECKING="0",
                           ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_INVENTORY_UNPARSED_WARNING="0")
        command = ["ansible-playbook", "-i", inventory, PLAYBOOK, "-e", "@" + os.path.join(FLEET, "vars-%s.json" %
                                                                                          self.item)]
        if check:
            command.append("--check")
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment,
                              timeout=900)
        return done.returncode, done.stdout.decode("utf-8", "replace")


def recap(output):
    """PLAY RECAP's counts, by host."""
    counts = {}
    for host, ok, changed, failed in re.findall(r"^(host\d)\s*:\s*ok=(\d+)\s+changed=(\d+)\s+unreachable=\d+\s+"
                                                r"failed=(\d+)", output, re.M):
        counts[host] = dict(ok=int(ok), changed=int(changed), failed=int(failed))
    return counts


class Rollout(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        os.makedirs(os.path.join(FLEET, "collections", "ansible_collections", "updateserviceqz"), exist_ok=True)
        link = os.path.join(FLEET, "collections", "ansible_collections", "updateserviceqz", "deploy")
        if not os.path.islink(link):
            os.symlink(os.path.join(ROOT, "deploy", "ansible"), link)
        # Six prefixes, set up side by side, each kept alive for its services.
        threads = [threading.Thread(target=subprocess.run, args=([WINE_RUN, "--prepare", prefix(host)],),
                                    kwargs=dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                   for host in HOSTS]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for host in HOSTS:
            subprocess.run([WINE_SESSION, "start", prefix(host), os.path.join(HELPERS, "wine_keepalive.exe")],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        for host in HOSTS:
            subprocess.run([WINE_SESSION, "stop", prefix(host)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def installed(self, title, configs=None):
        scenario = Scenario(title)
        threads = [threading.Thread(target=scenario.install, args=(host, (configs or {}).get(host, "")))
                   for host in HOSTS]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return scenario

    def test_1_every_host_updated_canary_first_then_again_nothing_changes(self):
        scenario = self.installed("all")
        # A folder that lets others write (as one made under C:\ inherits)
        # is made one only administrators may write before anything is
        # copied in.
        for host in HOSTS:
            os.chmod(drive_c(host, scenario.folder), 0o777)
        rc, output = scenario.play()
        self.assertEqual(rc, 0, output)
        for host in HOSTS:
            self.assertEqual(os.stat(drive_c(host, scenario.folder)).st_mode & 0o022, 0, host)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v2"] * 6)
        started = [scenario.started(host, "v2") for host in HOSTS]
        # serial 1, 25 % (one of six), the rest: host1, then host2, then the others.
        self.assertLess(started[0], started[1], output)
        self.assertLess(started[1], min(started[2:]), output)
        self.assertEqual({host: counts["changed"] > 0 for host, counts in recap(output).items()},
                         {host: True for host in HOSTS})
        self.assertRegex(output, r"host6: 0 Atualizado com sucesso!")
        # The same rollout again: every host ok, none changed.
        rc, output = scenario.play()
        self.assertEqual(rc, 0, output)
        self.assertEqual({host: counts["changed"] for host, counts in recap(output).items()},
                         {host: 0 for host in HOSTS}, output)
        self.assertRegex(output, r"host1: 3 N")

    def test_2_a_canary_that_fails_stops_the_rollout(self):
        scenario = self.installed("canary", {"host1": "v2:die_after_ms=300\n"})
        rc, output = scenario.play()
        self.assertNotEqual(rc, 0)
        self.assertEqual(scenario.running("host1"), "v1", output)
        self.assertIn("host1: 11 Erro:", output)
        for host in HOSTS[1:]:
            self.assertEqual(scenario.running(host), "v1")
            self.assertFalse(scenario.touched(host), host)

    def test_3_a_host_rolled_back_in_the_second_batch_lets_it_finish(self):
        scenario = self.installed("batch", {"host3": "v2:die_after_ms=300\n"})
        rc, output = scenario.play(usqz_serial=[1, 2, "100%"])
        self.assertNotEqual(rc, 0)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v2", "v2", "v1", "v1", "v1", "v1"], output)
        self.assertIn("host3: 11 Erro:", output)
        for host in HOSTS[3:]:
            self.assertFalse(scenario.touched(host), host)

    def test_4_a_host_left_down_ends_the_play_at_once(self):
        scenario = self.installed("down")
        # From now on neither version keeps running there: the rollback's
        # restart of v1 fails too.
        with open(drive_c("host2", scenario.folder, "test_service.cfg"), "w") as cfg:
            cfg.write("die_after_ms=300\n")
        rc, output = scenario.play(usqz_serial=[1, 2, "100%"])
        self.assertNotEqual(rc, 0)
        self.assertIn("host2: 12 Erro:", output)
        self.assertIn("NO MORE HOSTS LEFT", output)
        for host in HOSTS[3:]:
            self.assertFalse(scenario.touched(host), host)

    def test_5_a_busy_host_is_tried_again(self):
        scenario = self.installed("busy")
        holder = subprocess.Popen([WINE_RUN, prefix("host2"), os.path.join(HELPERS, "hold_lock.exe"),
                                   "C:\\%s\\qz_%s.exe" % (scenario.folder, scenario.item), "30"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            rc, output = scenario.play()
        finally:
            holder.wait(timeout=60)
        self.assertEqual(rc, 0, output)
        self.assertIn("FAILED - RETRYING", output)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v2"] * 6)

    def test_6_check_mode_changes_nothing_and_says_what_it_would_do(self):
        scenario = self.installed("check")
        for host in HOSTS:  # the tool and the new version staged ahead of the change window
            shutil.copyfile(V2, scenario.executable(host, "new"))
            shutil.copyfile(TOOL, drive_c(host, scenario.folder, "UpdateServiceQZ.exe"))
        rc, output = scenario.play(check=True)
        self.assertEqual(rc, 0, output)
        for host in HOSTS:
            self.assertEqual(scenario.running(host), "v1")
            self.assertEqual(read(scenario.executable(host, "new")), read(V2))
            self.assertFalse(os.path.exists(drive_c(host, scenario.folder, "updateServiceQZ-%s.txt" % scenario.name)))
            self.assertRegex(output, r"%s: 0" % host)
        self.assertIn("ativaria a nova vers", output)


class Counting(unittest.TextTestResult):
    pass


if __name__ == "__main__":
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Rollout)
    only = os.environ.get("USQZ_ROLLOUT_ONLY")
    if only:
        suite = unittest.TestSuite(test for test in suite if only in test.id())
    result = unittest.TextTestRunner(verbosity=2, resultclass=Counting).run(suite)
    failed = len(result.failures) + len(result.errors)
    print("rollout: %d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
