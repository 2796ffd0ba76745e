#!/usr/bin/env python3
"""rollout_test.py BUILD_DIR: the shipped rolling-update and rollback
playbooks and role, run for real against six hosts, each a Wine prefix of
its own on this machine with the real service manager, the test service and
the real tool, some of them behind a real HAProxy with a load generator
sending requests through it. Only the transport is replaced:
tests/ansible/collections shadows the ansible.windows modules the role uses
and carries each call out inside the host's prefix; community.general's
haproxy module runs for real against HAProxy's admin socket."""
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The build directory: the first argument when run as the test, the usual
# one when imported (by bench/rollout).
BUILD = (os.path.abspath(sys.argv.pop(1)) if __name__ == "__main__" and len(sys.argv) > 1
         else os.path.join(ROOT, "build", "windows-x64"))
WINE_RUN = os.path.join(ROOT, "tools", "wine-run")
WINE_SESSION = os.path.join(ROOT, "tools", "wine-session")
HELPERS = os.path.join(BUILD, "tests", "win32")
TOOL = os.path.join(BUILD, "UpdateServiceQZ.exe")
V1 = os.path.join(HELPERS, "test_service_v1.exe")
V2 = os.path.join(HELPERS, "test_service_v2.exe")
HOSTS = ["host%d" % n for n in range(1, 7)]
FLEET = os.path.join(BUILD, "ansible-hosts")
PLAYBOOK = os.path.join(ROOT, "deploy", "ansible", "playbooks", "rolling_update.yml")
ROLLBACK = os.path.join(ROOT, "deploy", "ansible", "playbooks", "rollback.yml")


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
        # Each host's HTTP endpoint, when the scenario serves requests.
        self.ports = {}

    def serve(self):
        """Every host answers HTTP on a port of its own."""
        self.ports = {host: free_port() for host in HOSTS}
        return self

    def executable(self, host, suffix="exe"):
        return drive_c(host, self.folder, "qz_%s.%s" % (self.item, suffix))

    def install(self, host, config=""):
        os.makedirs(drive_c(host, self.folder), exist_ok=True)
        with open(drive_c(host, self.folder, "test_service.cfg"), "w") as cfg:
            cfg.write(config)
            if host in self.ports:
                cfg.write("health_port=%d\n" % self.ports[host])
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

    def report(self, host):
        """The tool's last report on the host, parsed; None without one."""
        text = read(drive_c(host, self.folder, "updateServiceQZ-%s.json" % self.name))
        return json.loads(text.decode("utf-8")) if text else None

    def touched(self, host):
        return os.path.exists(self.executable(host, "new")) or os.path.exists(self.executable(host, "old"))

    def host_variables(self, host):
        return ""

    def variables(self):
        return dict(usqz_service_name=self.name, usqz_new_version=V2)

    # Where each host's programs run: its Wine prefix, through wine-run.
    wine_run = WINE_RUN

    def prefix(self, host):
        return prefix(host)

    def play(self, check=False, playbook=PLAYBOOK, **extra):
        os.makedirs(FLEET, exist_ok=True)
        inventory = os.path.join(FLEET, "inventory-%s.ini" % self.item)
        with open(inventory, "w") as hosts:
            hosts.write("localhost ansible_connection=local ansible_python_interpreter=%s\n[fleet]\n" % sys.executable)
            for host in HOSTS:
                hosts.write("%s ansible_connection=local usqz_test_prefix=%s usqz_test_wine_run=%s "
                            "usqz_test_exit_status=%s usqz_test_port=%d%s\n" % (
                                host, self.prefix(host), self.wine_run, os.path.join(HELPERS, "exit_status.exe"),
                                self.ports.get(host, 0), self.host_variables(host)))
        variables = dict(usqz_hosts="fleet", usqz_tool_source=TOOL, usqz_folder="C:\\" + self.folder,
                         usqz_busy_delay=2, usqz_busy_retries=15, usqz_health_timeout=10)
        variables.update(self.variables())
        variables.update(extra)
        with open(os.path.join(FLEET, "vars-%s.json" % self.item), "w") as out:
            json.dump(variables, out)
        environment = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(FLEET, "collections") + ":" +
                           os.path.join(ROOT, "tests", "ansible", "collections"),
                           ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0", ANSIBLE_HOST_KEY_CHECKING="0",
                           ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_INVENTORY_UNPARSED_WARNING="0")
        command = ["ansible-playbook", "-i", inventory, playbook, "-e", "@" + os.path.join(FLEET, "vars-%s.json" %
                                                                                          self.item)]
        if check:
            command.append("--check")
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment,
                              timeout=900)
        return done.returncode, done.stdout.decode("utf-8", "replace")


class ReleaseScenario(Scenario):
    """A release of three services in one folder on every host: the first
    serves the balancer's requests, each answers its own health check."""

    def __init__(self, title):
        super().__init__(title)
        self.members = [Scenario.__new__(Scenario) for _ in range(3)]
        for letter, member in zip("abc", self.members):
            member.item = self.item + letter
            member.name = "QZ" + member.item
            member.folder = self.folder
            member.ports = {}
        self.health = {}

    def serve(self):
        super().serve()
        self.health = {host: [self.ports[host], free_port(), free_port()] for host in HOSTS}
        return self

    def install(self, host, config=""):
        os.makedirs(drive_c(host, self.folder), exist_ok=True)
        with open(drive_c(host, self.folder, "test_service.cfg"), "w") as cfg:
            cfg.write(config)
            for member, port in zip(self.members, self.health.get(host, [])):
                cfg.write("qz_%s.exe:health_port=%d\n" % (member.item, port))
        for member in self.members:
            shutil.copyfile(V1, member.executable(host))
            path = "C:\\%s\\qz_%s.exe" % (self.folder, member.item)
            wine(host, "sc", "create", member.name, "binPath=", '"%s"' % path, "start=", "auto")
            wine(host, "sc", "start", member.name)
        for member in self.members:
            for _ in range(100):
                if member.state(host) == "RUNNING":
                    break
                time.sleep(0.2)
            else:
                raise AssertionError("%s did not start on %s" % (member.name, host))

    def running(self, host):
        return [member.running(host) for member in self.members]

    def touched(self, host):
        return any(member.touched(host) for member in self.members)

    def host_variables(self, host):
        return "".join(" usqz_test_port_%s=%d" % (letter, port) for letter, port in zip("abc", self.health.get(host, [])))

    def variables(self):
        return dict(usqz_services=[dict(name=member.name, new_version=V2,
                                        health_urls=["http://127.0.0.1:{{ usqz_test_port_%s }}/" % letter])
                                   for letter, member in zip("abc", self.members)])


RECORDER = """#!/usr/bin/env python3
# A host's programs written down instead of run: each command line, one a
# line, in the host's commands.log; status 0, after the pause its "pause"
# file asks for.
import os
import sys
import time

host, _, rc_file, _, command_file = sys.argv[1:6]
unix = lambda path: path[2:].replace("\\\\", "/")  # noqa: E731
with open(unix(command_file), encoding="utf-8") as given:
    line = given.read()
with open(os.path.join(host, "commands.log"), "a", encoding="utf-8") as log:
    log.write(line + "\\n")
try:
    with open(os.path.join(host, "pause")) as pause:
        time.sleep(float(pause.read()))
except OSError:
    pass
with open(unix(rc_file), "w") as rc:
    rc.write("0")
"""


class RecordedScenario(Scenario):
    """The shipped role and playbooks against hosts that only write down
    the command lines they are given: what the role asks of the tool, with
    neither Wine nor a build."""

    def __init__(self, title):
        super().__init__(title)
        self.hosts = os.path.join(FLEET, "recorded-" + self.item)
        self.wine_run = os.path.join(self.hosts, "record")
        os.makedirs(self.hosts)
        with open(self.wine_run, "w") as out:
            out.write(RECORDER)
        os.chmod(self.wine_run, 0o755)
        self.tool = os.path.join(self.hosts, "UpdateServiceQZ.exe")
        self.new_version = os.path.join(self.hosts, "qz_%s.new" % self.item)
        for path, contents in ((self.tool, b"tool"), (self.new_version, b"new version")):
            with open(path, "wb") as out:
                out.write(contents)
        for host in HOSTS:
            os.makedirs(self.prefix(host))

    def prefix(self, host):
        return os.path.join(self.hosts, host)

    def pause(self, host, seconds):
        with open(os.path.join(self.prefix(host), "pause"), "w") as out:
            out.write(str(seconds))

    def commands(self, host):
        """The command lines the host was given, and forgets them."""
        log = os.path.join(self.prefix(host), "commands.log")
        lines = (read(log) or b"").decode("utf-8").splitlines()
        if os.path.exists(log):
            os.remove(log)
        return lines

    def variables(self):
        return dict(usqz_service_name=self.name, usqz_new_version=self.new_version, usqz_tool_source=self.tool,
                    usqz_hosts="host1")

    def command_line(self, *options):
        """The run's command line for this scenario's service, with these
        options after the ones every update has."""
        folder = "C:\\" + self.folder
        sha256 = hashlib.sha256(b"new version").hexdigest()
        return " ".join(["%s\\UpdateServiceQZ.exe --service-name %s --exit-code --report "
                         "%s\\updateServiceQZ-%s.json --sha256 %s --no-downgrade" % (
                             folder, self.name, folder, self.name, sha256)] + list(options))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Balancer:
    """HAProxy on loopback in front of the hosts' endpoints, as a fleet's
    balancer would be: round robin, its own health checks, an admin socket
    for Ansible. Without draining, a host that goes down is taken out only
    once its checks fail; requests sent to it meanwhile fail (no redispatch,
    as for requests a balancer may not send twice)."""

    def __init__(self, ports, name="fleet"):
        self.folder = tempfile.mkdtemp(prefix="haproxy-", dir=FLEET)
        self.socket = os.path.join(self.folder, "admin.sock")
        self.port = free_port()
        self.backend = name
        config = os.path.join(self.folder, "haproxy.cfg")
        with open(config, "w") as out:
            out.write("global\n  stats socket %s mode 600 level admin\n  maxconn 4000\n"
                      "defaults\n  mode http\n  timeout connect 2s\n  timeout client 30s\n  timeout server 30s\n"
                      "  retries 2\n"
                      "frontend front\n  bind 127.0.0.1:%d\n  default_backend %s\n"
                      "backend %s\n  balance roundrobin\n  option httpchk GET /\n"
                      "  default-server inter 500ms fall 2 rise 1\n" % (self.socket, self.port, name, name))
            for host, port in sorted(ports.items()):
                out.write("  server %s 127.0.0.1:%d check\n" % (host, port))
        self.process = subprocess.Popen(["haproxy", "-db", "-f", config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(self.socket):
                break
            time.sleep(0.1)

    def command(self, line):
        with socket.socket(socket.AF_UNIX) as admin:
            admin.connect(self.socket)
            admin.sendall(line.encode() + b"\n")
            answer = b""
            while True:
                chunk = admin.recv(65536)
                if not chunk:
                    return answer.decode()
                answer += chunk

    def states(self):
        """Each server's status as HAProxy sees it: UP, DOWN, MAINT, DRAIN..."""
        states = {}
        for line in self.command("show stat").splitlines():
            fields = line.split(",")
            if len(fields) > 17 and fields[0] == self.backend and fields[1] not in ("BACKEND", "FRONTEND"):
                states[fields[1]] = fields[17]
        return states

    def wait_all_up(self, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if set(self.states().values()) == {"UP"}:
                return True
            time.sleep(0.2)
        return False

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)


class Load:
    """Requests through the balancer at a steady rate, from a few
    connections kept open, for as long as it runs: how many were sent, how
    many failed (anything but a 200, or no answer), how long each took, and
    which builds answered."""

    def __init__(self, port, rate=300, connections=6):
        self.port = port
        self.interval = connections / rate
        self.sent = 0
        self.failed = 0
        self.builds = {}
        self.failures = []
        self.latencies = []
        self.lock = threading.Lock()
        self.running = True
        self.threads = [threading.Thread(target=self.send, daemon=True) for _ in range(connections)]
        for thread in self.threads:
            thread.start()

    def send(self):
        connection = None
        next_at = time.monotonic()
        while self.running:
            next_at += self.interval
            began = time.monotonic()
            try:
                if connection is None:
                    connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
                connection.request("GET", "/")
                answer = connection.getresponse()
                body = answer.read().decode("latin-1")
                ok = answer.status == 200
                outcome = body if ok else "HTTP %d" % answer.status
            except (OSError, http.client.HTTPException) as error:
                ok, outcome = False, type(error).__name__
                if connection is not None:
                    connection.close()
                connection = None
            with self.lock:
                self.sent += 1
                self.latencies.append(time.monotonic() - began)
                if ok:
                    self.builds[outcome] = self.builds.get(outcome, 0) + 1
                else:
                    self.failed += 1
                    self.failures.append((time.time(), outcome))
            pause = next_at - time.monotonic()
            if pause > 0:
                time.sleep(pause)

    def stop(self):
        self.running = False
        for thread in self.threads:
            thread.join(timeout=30)
        return self


def link_collection():
    """The collection found by its name, as an installed one is."""
    os.makedirs(os.path.join(FLEET, "collections", "ansible_collections", "updateserviceqz"), exist_ok=True)
    link = os.path.join(FLEET, "collections", "ansible_collections", "updateserviceqz", "deploy")
    if not os.path.islink(link):
        os.symlink(os.path.join(ROOT, "deploy", "ansible"), link)


def start_fleet():
    """Six prefixes, set up side by side, each kept alive for its services."""
    link_collection()
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


def stop_fleet():
    for host in HOSTS:
        subprocess.run([WINE_SESSION, "stop", prefix(host)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def install_everywhere(title, configs=None, serve=False):
    """A new scenario's service installed and running v1 on every host, in
    parallel; each answering HTTP on a port of its own when `serve`."""
    scenario = Scenario(title)
    if serve:
        scenario.serve()
    threads = [threading.Thread(target=scenario.install, args=(host, (configs or {}).get(host, "")))
               for host in HOSTS]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return scenario


def install_release(title, configs=None):
    """A release's three services installed and running v1 on every host,
    the first answering the balancer's requests. `configs` may name the
    second service's executable as "%sb"."""
    scenario = ReleaseScenario(title).serve()
    configs = {host: config.replace("%sb", scenario.item + "b") for host, config in (configs or {}).items()}
    threads = [threading.Thread(target=scenario.install, args=(host, configs.get(host, ""))) for host in HOSTS]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return scenario


def under_load(scenario, *actions, rate=300):
    """Each action(balancer) run in turn while requests go through a
    balancer in front of the scenario's hosts: what each returned, the load,
    and the balancer's view of the hosts at the end."""
    balancer = Balancer(scenario.ports)
    try:
        if not balancer.wait_all_up():
            raise AssertionError("HAProxy never found every host up: %s" % balancer.states())
        load = Load(balancer.port, rate=rate)
        time.sleep(1)
        results = [action(balancer) for action in actions]
        time.sleep(1)
        load.stop()
        return results, load, balancer.states()
    finally:
        balancer.stop()


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
        start_fleet()

    @classmethod
    def tearDownClass(cls):
        stop_fleet()

    def installed(self, title, configs=None, serve=False):
        return install_everywhere(title, configs, serve)

    def test_1_every_host_updated_canary_first_then_again_nothing_changes(self):
        scenario = self.installed("all")
        # A folder that lets others write (as one made under C:\ inherits)
        # is made one only administrators may write, and everyone read and
        # run, before anything is copied in.
        for host in HOSTS:
            os.chmod(drive_c(host, scenario.folder), 0o777)
        rc, output = scenario.play()
        self.assertEqual(rc, 0, output)
        for host in HOSTS:
            self.assertEqual(os.stat(drive_c(host, scenario.folder)).st_mode & 0o077, 0o055, host)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v2"] * 6)
        started = [scenario.started(host, "v2") for host in HOSTS]
        # serial 1, 25 % (one of six), the rest: host1, then host2, then the others.
        self.assertLess(started[0], started[1], output)
        self.assertLess(started[1], min(started[2:]), output)
        self.assertEqual({host: counts["changed"] > 0 for host, counts in recap(output).items()},
                         {host: True for host in HOSTS})
        self.assertRegex(output, r"host6: 0 Atualizado com sucesso! \(1\.0\.0\.0 -> 2\.0\.0\.0, \d+ ms down\)")
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
        staged = HOSTS[:3]  # the new version staged ahead of the change window there
        for host in HOSTS:
            shutil.copyfile(TOOL, drive_c(host, scenario.folder, "UpdateServiceQZ.exe"))
        for host in staged:
            shutil.copyfile(V2, scenario.executable(host, "new"))
        rc, output = scenario.play(check=True)
        self.assertEqual(rc, 0, output)
        for host in HOSTS:
            self.assertEqual(scenario.running(host), "v1")
            self.assertEqual(read(scenario.executable(host, "new")), read(V2) if host in staged else None)
            self.assertFalse(os.path.exists(drive_c(host, scenario.folder, "updateServiceQZ-%s.txt" % scenario.name)))
        # Every host answers for the version being rolled out: the tool's
        # own check where it is staged, the hashes where it is not.
        for host in staged:
            self.assertRegex(output, r"%s: 0 check-passed \(1\.0\.0\.0 -> 2\.0\.0\.0\)" % host)
        for host in HOSTS[3:]:
            self.assertRegex(output, r"%s: 0 would stage the new version \(SHA-256 [0-9a-f]{64}\) and update it" % host)
        self.assertIn("ativaria a nova vers", output)

    def test_7_a_drained_rollout_and_rollback_under_load_lose_no_request(self):
        scenario = self.installed("drained", serve=True)
        (update, rollback), load, states = under_load(
            scenario, lambda balancer: scenario.play(**self.drained(balancer)),
            lambda balancer: scenario.play(playbook=ROLLBACK, **self.drained(balancer)))
        (rc, output), (rolled_back_rc, rolled_back) = update, rollback
        self.assertEqual(rc, 0, output)
        self.assertEqual(rolled_back_rc, 0, rolled_back)
        self.assertEqual(load.failed, 0, "%s\n%s\n%s" % (load.failures[:20], output, rolled_back))
        self.assertGreater(load.sent, 1000)
        self.assertEqual(set(load.builds), {"v1", "v2"}, load.builds)
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v1"] * 6)
        self.assertRegex(output, r"host6: 0 Atualizado com sucesso! \(1\.0\.0\.0 -> 2\.0\.0\.0, \d+ ms down\)")
        self.assertRegex(rolled_back, r"host6: 0 Revertido para a vers\S+ anterior com sucesso! "
                                      r"\(2\.0\.0\.0 -> 1\.0\.0\.0, \d+ ms down\)")

    def test_8_the_load_does_see_a_host_that_goes_down_undrained(self):
        scenario = self.installed("undrained", serve=True)

        def host3_goes_down(_):
            wine("host3", "sc", "stop", scenario.name)
            time.sleep(3)

        _, load, _ = under_load(scenario, host3_goes_down)
        self.assertGreater(load.failed, 0, load.builds)

    def test_9_an_unhealthy_canary_stays_out_and_no_request_fails(self):
        scenario = self.installed("unhealthy", {"host1": "v2:health_status=503\n"}, serve=True)
        ((rc, output),), load, states = under_load(scenario, lambda balancer: scenario.play(**self.drained(balancer)))
        self.assertNotEqual(rc, 0)
        self.assertIn("host1: 11 Erro:", output)
        self.assertEqual(load.failed, 0, "%s\n%s" % (load.failures[:20], output))
        # The new version never served: the canary came back on v1 only.
        self.assertEqual(set(load.builds), {"v1"}, load.builds)
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v1"] * 6)
        for host in HOSTS[1:]:
            self.assertFalse(scenario.touched(host), host)

    def test_10_values_the_tool_cannot_carry_or_draining_unchecked_are_refused(self):
        scenario = Scenario("refused")
        rc, output = scenario.play(usqz_signers=['QZ "Publisher"'])
        self.assertNotEqual(rc, 0)
        self.assertIn("cannot carry it", output)
        rc, output = scenario.play(usqz_balancer="haproxy")
        self.assertNotEqual(rc, 0)
        self.assertIn("nothing would say when to let the host into the balancer again", output)
        for host in HOSTS:
            self.assertFalse(os.path.exists(drive_c(host, scenario.folder)), host)

    def test_12_a_host_the_tool_would_refuse_is_never_taken_out(self):
        scenario = self.installed("stayin", serve=True)

        def play(balancer):
            variables = self.drained(balancer)
            # The new version is not signed: every host would refuse it.
            variables.update(usqz_signers=["QZ Publisher"])
            return scenario.play(**variables)

        ((rc, output),), load, states = under_load(scenario, play)
        self.assertNotEqual(rc, 0)
        self.assertIn("host1: 10 Erro: A nova vers", output)
        # Refused while out, it would have stayed out (MAINT).
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual(load.failed, 0)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v1"] * 6)

    def test_11_a_balancer_of_ones_own_is_driven_by_task_files(self):
        scenario = self.installed("tasks")
        log = os.path.join(FLEET, "balancer-%s.log" % scenario.item)
        tasks = {}
        for step in ("out", "in"):
            tasks[step] = os.path.join(FLEET, "%s-%s.yml" % (step, scenario.item))
            with open(tasks[step], "w") as out:
                out.write("- name: Say the host goes %s\n"
                          "  ansible.builtin.shell: echo %s {{ inventory_hostname }} >> %s\n"
                          "  delegate_to: localhost\n"
                          "  changed_when: true\n" % (step, step, log))
        rc, output = scenario.play(usqz_balancer="tasks", usqz_drain_tasks=tasks["out"],
                                   usqz_undrain_tasks=tasks["in"],
                                   usqz_health_commands=["C:\\windows\\system32\\cmd.exe /c exit 0"])
        self.assertEqual(rc, 0, output)
        events = (read(log) or b"").decode().split("\n")
        # Each host out before its update and in after it, the canary first.
        self.assertEqual(events[:2], ["out host1", "in host1"], events)
        for host in HOSTS:
            self.assertLess(events.index("out " + host), events.index("in " + host), events)
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v2"] * 6)

    def test_13_a_drained_host_comes_back_whenever_its_service_runs(self):
        """Under load through HAProxy, the canary is taken out and then: its
        run is refused although its --check had passed (the staged file
        replaced in between), it stays busy past its retries, or the play
        fails right after the drain. Each time it comes back UP, its
        service never stopped, and no request is lost."""
        scenario = self.installed("comeback", serve=True)
        tasks = {}

        def task_file(step, extra=""):
            path = os.path.join(FLEET, "%s-%s.yml" % (step, scenario.item))
            with open(path, "w") as out:
                out.write("- name: Take the host %s\n"
                          "  community.general.haproxy:\n"
                          "    socket: \"{{ usqz_haproxy_socket }}\"\n"
                          "    backend: \"{{ usqz_haproxy_backend }}\"\n"
                          "    host: \"{{ inventory_hostname }}\"\n"
                          "    state: %s\n"
                          "    wait: %s\n"
                          "  delegate_to: localhost\n%s" % (
                              "out" if step.startswith("out") else "in",
                              "disabled" if step.startswith("out") else "enabled",
                              "false" if step.startswith("out") else "true", extra))
            return path

        tasks["in"] = task_file("in")
        # The staged file replaced once the host is out: the run's pin no
        # longer matches what is there.
        tasks["out-replaced"] = task_file("out-replaced", (
            "- name: Replace what was staged\n"
            "  ansible.builtin.copy:\n"
            "    src: %s\n"
            "    dest: \"{{ usqz_test_prefix }}/drive_c/%s/qz_%s.new\"\n"
            "    mode: \"0644\"\n"
            "  delegate_to: localhost\n") % (V1, scenario.folder, scenario.item))
        # The play fails right after the drain (a lost connection, a timeout).
        tasks["out-failing"] = task_file("out-failing", (
            "- name: Lose the connection\n"
            "  ansible.builtin.fail:\n"
            "    msg: the connection to the host was lost\n"))

        def own_tasks(balancer, out):
            variables = self.drained(balancer)
            variables.update(usqz_balancer="tasks", usqz_drain_tasks=tasks[out], usqz_undrain_tasks=tasks["in"])
            return scenario.play(**variables)

        def busy(balancer):
            holder = subprocess.Popen([WINE_RUN, prefix("host1"), os.path.join(HELPERS, "hold_lock.exe"),
                                       "C:\\%s\\qz_%s.exe" % (scenario.folder, scenario.item), "25"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                time.sleep(3)
                variables = self.drained(balancer)
                variables.update(usqz_busy_retries=1, usqz_busy_delay=1)
                return scenario.play(**variables)
            finally:
                holder.wait(timeout=60)

        states_after = []

        def then_states(action):
            def run(balancer):
                result = action(balancer)
                time.sleep(2)
                states_after.append(balancer.states())
                return result
            return run

        results, load, states = under_load(
            scenario, then_states(lambda balancer: own_tasks(balancer, "out-replaced")), then_states(busy),
            then_states(lambda balancer: own_tasks(balancer, "out-failing")))
        (refused_rc, refused), (busy_rc, busy_out), (failed_rc, failed) = results
        self.assertNotEqual(refused_rc, 0, refused)
        self.assertIn("host1: 10 Erro: A nova vers", refused)
        self.assertNotEqual(busy_rc, 0, busy_out)
        self.assertIn("host1: 1618 ", busy_out)
        self.assertNotEqual(failed_rc, 0, failed)
        self.assertIn("the connection to the host was lost", failed)
        for after in states_after + [states]:
            self.assertEqual(after, {host: "UP" for host in HOSTS}, "%s\n%s\n%s" % (refused, busy_out, failed))
        self.assertEqual(load.failed, 0, "%s" % load.failures[:20])
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v1"] * 6)
        self.assertEqual(scenario.started("host1", "v2"), None)

    def test_14_a_release_of_three_services_rolls_out_under_load_and_a_canary_rolls_back_as_one(self):
        """Each host's three services updated as one release, drained
        through HAProxy under load, no request lost; then a second rollout
        whose canary's second service answers 503 with its new version:
        all three of its services back on v1, the rollout stopped there."""
        release = install_release("release")
        canary = install_release("relcanary", {"host1": "qz_%s.exe:v2:health_status=503\n" % ("%sb")})

        def play(scenario, **extra):
            def run(balancer):
                variables = self.drained(balancer)
                for key in ("usqz_health_urls", "usqz_health_commands"):
                    variables.pop(key)
                variables.update(extra)
                return scenario.play(**variables)
            return run

        # Two batches of three hosts: half the fleet serves while the other
        # half is out.
        ((rc, output),), load, states = under_load(release, play(release, usqz_serial=[3, "100%"]))
        self.assertEqual(rc, 0, output)
        self.assertEqual(load.failed, 0, "%s\n%s" % (load.failures[:20], output))
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual([release.running(host) for host in HOSTS], [["v2"] * 3] * 6, output)
        self.assertRegex(output, r"host6: 0 QZ\w+a: Atualizado com sucesso!; QZ\w+b: Atualizado")

        ((rc, output),), load, states = under_load(canary, play(canary))
        self.assertNotEqual(rc, 0, output)
        self.assertIn("host1: 11 ", output)
        self.assertEqual(load.failed, 0, "%s\n%s" % (load.failures[:20], output))
        self.assertEqual(set(load.builds), {"v1"}, load.builds)
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual(canary.running("host1"), ["v1"] * 3, output)
        for host in HOSTS[1:]:
            self.assertEqual(canary.running(host), ["v1"] * 3)
            self.assertFalse(canary.touched(host), host)

    def test_15_a_canary_that_dies_in_its_watch_stops_the_rollout_and_no_request_fails(self):
        """Its new version passes its health checks, then dies four seconds
        after its start, inside an eight-second watch: rolled back (11)
        while still out of the balancer, every host on v1, none other
        touched, no request lost. The play's limit on the run is shorter
        than the run itself: the watch's length is added to it."""
        scenario = self.installed("watched", {"host1": "v2:die_after_ms=4000\n"}, serve=True)

        def play(balancer):
            variables = self.drained(balancer)
            variables.update(usqz_watch="8s", usqz_health_interval="1s", usqz_run_timeout=3)
            return scenario.play(**variables)

        ((rc, output),), load, states = under_load(scenario, play)
        self.assertNotEqual(rc, 0, output)
        self.assertRegex(output, r"host1: 11 Erro: A nova vers\S+ parou durante a observa")
        self.assertEqual(load.failed, 0, "%s\n%s" % (load.failures[:20], output))
        # Out for its whole window: the new version never served.
        self.assertEqual(set(load.builds), {"v1"}, load.builds)
        self.assertEqual(states, {host: "UP" for host in HOSTS})
        self.assertEqual([scenario.running(host) for host in HOSTS], ["v1"] * 6, output)
        for host in HOSTS[1:]:
            self.assertFalse(scenario.touched(host), host)

    @staticmethod
    def drained(balancer):
        """The play's variables for draining through this balancer, each
        host checked on its own endpoint, and by a command line with
        blanks that must reach the tool as one argument."""
        return dict(usqz_balancer="haproxy", usqz_haproxy_socket=balancer.socket,
                    usqz_haproxy_backend=balancer.backend, usqz_drain_timeout=30,
                    usqz_health_urls=["http://127.0.0.1:{{ usqz_test_port }}/"],
                    usqz_health_commands=["C:\\windows\\system32\\cmd.exe /c exit 0"])


class CommandLine(unittest.TestCase):
    """What the role asks of the tool, read from hosts that write their
    command lines down: no Wine, a few seconds a play."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        link_collection()

    def test_a_watch_is_passed_as_written_and_without_one_the_line_is_as_before(self):
        scenario = RecordedScenario("watchline")
        health = dict(usqz_health_urls=["http://127.0.0.1:8080/"])
        checked = ("--health-url", "http://127.0.0.1:8080/", "--health-timeout", "10")
        cases = [
            (dict(), ()),
            (dict(health, usqz_watch=""), checked),
            (dict(health, usqz_watch=None, usqz_health_interval=None, usqz_health_failures=None), checked),
            (dict(usqz_watch="8s"), ("--watch", "8s")),
            (dict(health, usqz_watch="10m", usqz_health_interval="30s", usqz_health_failures=5),
             checked + ("--watch", "10m", "--health-interval", "30s", "--health-failures", "5")),
            (dict(health, usqz_watch=900, usqz_health_failures="2"),
             checked + ("--watch", "900", "--health-failures", "2")),
            (dict(health, usqz_watch="24h", usqz_health_interval="1h"),
             checked + ("--watch", "24h", "--health-interval", "1h")),
        ]
        for variables, options in cases:
            rc, output = scenario.play(**variables)
            self.assertEqual(rc, 0, output)
            self.assertEqual(scenario.commands("host1"), [scenario.command_line(*options)], variables)
        # Behind a balancer, the tool's own --check first: with the watch too.
        rc, output = scenario.play(usqz_watch="2m", usqz_balancer="tasks", usqz_drain_tasks=os.devnull,
                                   usqz_undrain_tasks=os.devnull, **health)
        self.assertEqual(rc, 0, output)
        watched = scenario.command_line(*checked, "--watch", "2m")
        self.assertEqual(scenario.commands("host1"), [watched + " --check", watched])
        # A release: one window for all of its services.
        member = dict(name="QZ%sa" % scenario.item, new_version=scenario.new_version,
                      health_urls=["http://127.0.0.1:8080/"])
        rc, output = scenario.play(usqz_service_name="", usqz_watch="15m", usqz_services=[member])
        self.assertEqual(rc, 0, output)
        self.assertEqual(scenario.commands("host1"), [
            "C:\\{0}\\UpdateServiceQZ.exe --release C:\\{0}\\updateServiceQZ-release.json --exit-code --report "
            "C:\\{0}\\updateServiceQZ-release-report.json --no-downgrade --health-timeout 10 --watch 15m".format(
                scenario.folder)])
        # A rollback is never watched: the line is the rollback's own.
        rc, output = scenario.play(playbook=ROLLBACK, usqz_watch="10m", usqz_health_failures=5)
        self.assertEqual(rc, 0, output)
        self.assertEqual(scenario.commands("host1"), [
            "C:\\{0}\\UpdateServiceQZ.exe --service-name {1} --exit-code --report "
            "C:\\{0}\\updateServiceQZ-{1}.json --rollback".format(scenario.folder, scenario.name)])

    def test_b_a_watch_the_tool_would_refuse_is_refused_before_anything_is_touched(self):
        scenario = RecordedScenario("watchrefused")
        for variables in (dict(usqz_watch="0"), dict(usqz_watch="0s"), dict(usqz_watch="86401"),
                          dict(usqz_watch="25h"), dict(usqz_watch="10 m"), dict(usqz_watch="10min"),
                          dict(usqz_watch="-5"), dict(usqz_watch="1.5m"), dict(usqz_watch="m"),
                          dict(usqz_watch="10m", usqz_health_interval="0"),
                          dict(usqz_watch="10m", usqz_health_interval="61m"),
                          dict(usqz_watch="10m", usqz_health_failures=0),
                          dict(usqz_watch="10m", usqz_health_failures=101),
                          dict(usqz_watch="10m", usqz_health_failures="3x"),
                          dict(usqz_health_interval="30s"), dict(usqz_health_failures=3),
                          dict(usqz_watch="10m", usqz_run_timeout=-1),
                          # More digits than the tool reads, whatever they add up to.
                          dict(usqz_watch="0000000015s"),
                          dict(usqz_watch="10m", usqz_health_failures="0000000003")):
            rc, output = scenario.play(**variables)
            self.assertNotEqual(rc, 0, variables)
            self.assertIn("must be a whole number of seconds", output, variables)
            self.assertEqual(scenario.commands("host1"), [], variables)
            self.assertFalse(os.path.exists(os.path.join(scenario.prefix("host1"), "drive_c")), variables)

    def test_c_the_plays_time_limit_on_a_run_grows_by_its_watch(self):
        scenario = RecordedScenario("watchlimit")
        scenario.pause("host1", 3)
        # A limit shorter than the run gives up on the host...
        rc, output = scenario.play(usqz_run_timeout=1)
        self.assertNotEqual(rc, 0, output)
        self.assertIn("in the expected time frame (1)", output)
        # ...and the same limit with a watch of one second is 72 s.
        rc, output = scenario.play(usqz_run_timeout=1, usqz_watch="1s")
        self.assertEqual(rc, 0, output)
        self.assertEqual(scenario.commands("host1")[-1], scenario.command_line("--watch", "1s"))


class Counting(unittest.TextTestResult):
    pass


if __name__ == "__main__":
    # The command lines first: they need neither Wine nor the fleet.
    suite = unittest.TestSuite([test for case in (CommandLine, Rollout)
                                for test in unittest.defaultTestLoader.loadTestsFromTestCase(case)])
    only = os.environ.get("USQZ_ROLLOUT_ONLY")
    if only:
        suite = unittest.TestSuite(test for test in suite if only in test.id())
    result = unittest.TextTestRunner(verbosity=2, resultclass=Counting).run(suite)
    failed = len(result.failures) + len(result.errors)
    print("rollout: %d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
