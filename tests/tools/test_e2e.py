"""End to end: spphone drives the library, which talks through libtalvo to
spphone-sim over a Unix socket or loopback TCP. Run by ctest (tools.e2e) with
SPPHONE, SPPHONE_SIM, MORELAPI_LIBRARY_DIR and TALVO_LIBRARY_DIR set."""
import json
import os
import signal
import socket
import stat
import subprocess
import unittest

from harness import SPPHONE_SIM, WAIT, Case, Lines

SPPHONE = os.environ.get("SPPHONE", "spphone")
LIBRARY_PATH = os.pathsep.join(
    p for p in (os.environ.get("MORELAPI_LIBRARY_DIR"), os.environ.get("TALVO_LIBRARY_DIR"),
                os.environ.get("LD_LIBRARY_PATH")) if p)


def strict_json(text):
    """json.loads that fails on a key given twice in one object (a plain reader keeps the last)."""
    def pairs(items):
        if len({k for k, _ in items}) != len(items):
            raise AssertionError("a key given twice in %s" % text)
        return dict(items)
    return json.loads(text, object_pairs_hook=pairs)


def host_env(device, library_path=LIBRARY_PATH):
    return dict(os.environ, TALVO_DEVICE=device, LD_LIBRARY_PATH=library_path)


def spphone(device, *args, timeout=30, stdout=subprocess.PIPE, library_path=LIBRARY_PATH, **kw):
    return subprocess.run([SPPHONE, *args], env=host_env(device, library_path), stdout=stdout,
                          stderr=subprocess.PIPE, timeout=timeout, text=True, **kw)


class Watch:
    """spphone watch as a child of a test (killed at its end), read as events (--json) or lines."""

    def __init__(self, test, device, as_json=True):
        self.proc = subprocess.Popen([SPPHONE, *(["--json"] if as_json else []), "watch"], env=host_env(device),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        test.addCleanup(self.kill)
        self.out = Lines(self.proc.stdout)

    def wait_event(self, what, **fields):
        def match(line):
            try:
                event = strict_json(line)
            except json.JSONDecodeError:
                return False
            return all(event.get(k) == v for k, v in fields.items())
        return strict_json(self.out.wait_for(match, what=what))

    def interrupt(self):
        """SIGINT, as a person's Ctrl-C; returns the exit status."""
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout=WAIT)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


class CliOverUnixSocket(Case):
    """The CLI's families against one device on a Unix socket."""

    def setUp(self):
        super().setUp()
        self.sim = self.start_sim(*self.sim_args("unix"))
        self.device = self.sim.endpoint

    def cli(self, *args, **kw):
        return spphone(self.device, *args, **kw)

    def json_of(self, *args):
        r = self.cli("--json", *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return strict_json(r.stdout)

    def ok(self, *args):
        r = self.cli(*args)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_changes_reach_the_device(self):
        self.ok("call", "dial", "5551234")
        calls = self.json_of("call", "info")["calls"]
        self.assertEqual([c["text"] for c in calls], ["5551234"])
        self.assertIn("outgoing 5551234", self.sim.command("state"))
        self.ok("call", "end", str(calls[0]["id"]))
        self.assertEqual(self.json_of("call", "info")["calls"], [])
        self.ok("audio", "ringer", "1")
        self.ok("audio", "mute", "on")
        self.assertRegex(self.sim.command("state"), "ringer 1 .*mute 1 [^|]*$")  # and no call left
        self.ok("contact", "set", "E2E NAME", "7", "5559876")
        self.assertIn("E2E NAME", [c["data1"] for c in self.json_of("contact")["contacts"]])

    def test_items_set_and_read_back(self):
        # A text item, a 4-byte number and raw bytes, read back and seen by the device.
        cases = [("82", "hello e2e", "hello e2e", None),
                 ("66", "123456", 123456, "40e20100"),
                 ("2", "hex:0a0b0c0d0e", None, "0a0b0c0d0e")]
        for item, given, value, hex_bytes in cases:
            with self.subTest(item=item):
                self.ok("item", "set", item, given)
                got = self.json_of("item", "get", item)
                if value is not None:
                    self.assertEqual(got["value"], value)
                if hex_bytes is not None:
                    self.assertEqual(got["hex"], hex_bytes)
                    self.assertTrue(self.sim.command("item " + item).endswith("hex " + hex_bytes))

    def test_every_json_result_is_one_object_without_duplicate_keys(self):
        commands = [("status",), ("versions",), ("version",), ("network",), ("network", "3"), ("destination",),
                    ("entries",), ("display",), ("display", "--text"), ("audio",), ("audio", "ringer"), ("camera",),
                    ("call", "info"), ("call", "info", "1"), ("item", "get", "82"), ("item", "list"), ("contact",),
                    ("contact", "count"), ("contact", "get", "1"), ("rec",), ("rec", "count"), ("rec", "info", "1"),
                    ("rec", "pos"), ("rec", "volume"), ("rec", "status"), ("opmode",), ("rtcp", "receive"),
                    ("audio", "ringer", "1"), ("contact", "set", "JSON", "1", "5550001"), ("key", "5"),
                    ("call", "dial", "5550002"), ("call", "end")]
        results = {}
        for args in commands:
            with self.subTest(args=args):
                results[args] = self.json_of(*args)  # one line, one object, no key twice
                self.assertIsInstance(results[args], dict)
        self.assertTrue(results[("status",)]["available"])
        self.assertEqual(results[("contact", "count")]["count"], len(results[("contact",)]["contacts"]))
        version = results[("version",)]
        self.assertEqual(version["library"], version["spphone"])
        self.assertIn("libmorelapi", version["libraryFile"])

    def test_watch_shows_device_events_then_stops_on_sigint(self):
        watch = Watch(self, self.device)
        watch.wait_event("link up", name="link", state="up")
        for line, fields in [("ring 5550100", dict(name="call", code="0x0202", slot=2, state=9)),
                             ("key 5", dict(name="key", code="0x0104", keyCode=53, key="5")),
                             ("volume ringer 3", dict(name="ringer-volume", value=3)),
                             ("item 66 4242", dict(name="item")), ("raw hex:0102", dict(name="raw-data")),
                             ("redraw", dict(name="display"))]:
            reply = self.sim.command(line)
            self.assertTrue(reply.startswith("ok"), reply)
            if reply.startswith("ok call "):
                fields["id"] = int(reply.split()[2])
            shown = watch.wait_event(line, **fields)
        self.assertEqual(watch.interrupt(), 0)
        # display shows the image as watch showed its last change.
        self.assertEqual(self.cli("display", "--text").stdout, shown["text"] + "\n")

    def test_watch_text_form_keeps_each_event_on_one_line(self):
        out = Watch(self, self.device, as_json=False).out
        out.wait_for(lambda l: "link" in l and l.endswith("up"), what="link up")
        self.sim.command("key 5")
        line = out.wait_for(lambda l: " key " in l, what="the key event")
        for words in ("slot 1", "0x0104", "key=5"):
            self.assertIn(words, line)
        self.assertEqual(self.sim.command("item 82 hex:6c696e65310a6c696e6532"), "ok")  # "line1\nline2"
        line = out.wait_for(lambda l: " item " in l, what="the item event")
        self.assertTrue(line.endswith("id=82 value=line1|line2"), line)

    def test_watch_starts_with_the_link_coming_up(self):
        # Whether the library's initial link-down report comes before or
        # after watch registers, the first line is the link coming up.
        for device in (self.device, "sim"):
            for _ in range(3):
                with self.subTest(device=device):
                    r = spphone(device, "--json", "watch", "--count", "1")
                    self.assertEqual(r.returncode, 0, r.stderr)
                    events = [strict_json(line) for line in r.stdout.splitlines()]
                    self.assertEqual([(e["name"], e["state"]) for e in events], [("link", "up")])

    def test_key_hold_decides_short_or_long_press(self):
        # The library times the hold of key F: below 750 ms the device gets a
        # short press (action 0), from 750 ms a long one (actions 1, then 2).
        for hold, last in [("0.1s", "key 70/0"), ("0.8s", "key 70/2")]:
            with self.subTest(hold=hold):
                self.ok("key", "F", "--hold", hold)
                self.assertIn(last, self.sim.command("state"))

    def test_failures_name_what_failed(self):
        # (arguments, exit status, what the one error line names); cached
        # values this fresh process has not been sent (status 5) are no refusal.
        cases = [(("call", "answer"), 1, "AnswerCall: refused"), (("audio", "ringer", "9"), 2, "0..3"),
                 (("item", "get", "11"), 2, "item 11"), (("call", "dial"), 2, "usage"),
                 (("frobnicate",), 2, "unknown command"), (("key", "F", "--down"), 2, "--hold"),
                 (("key", "F", "--up"), 2, "shell"), (("item", "changed"), 5, "no change reported yet"),
                 (("key",), 5, "no key reported yet"), (("raw", "receive"), 5, "no raw block received yet"),
                 (("contact", "get", "99"), 1, "no such contact 99"), (("rec", "info", "9"), 1, "no such recording 9"),
                 (("call", "end", "1"), 1, "EndCall"), (("destination",), 4, "GetDestination")]
        for args, status, words in cases:
            with self.subTest(args=args):
                if args == ("destination",):  # a device that never answers it
                    self.assertTrue(self.sim.command("fault no-answer class=1 cmd=10").startswith("ok"))
                r = self.cli(*args)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                self.assertIn(words, r.stderr)

    def test_output_that_cannot_be_written_is_a_failure(self):
        for args in (("status",), ("--json", "status"), ("display",), ("--help",)):
            with self.subTest(args=args), open("/dev/full", "w") as full:
                r = spphone(self.device, *args, stdout=full)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("cannot write", r.stderr.strip().splitlines()[-1])


class DeviceComesAndGoes(Case):
    """Devices that refuse, stop, or are not there."""

    def test_one_host_at_a_time(self):
        sim = self.start_sim("--unix", os.path.join(self.dir, "d.sock"))
        watch = Watch(self, sim.endpoint)
        watch.wait_event("link up", name="link", state="up")
        # Said at once, not after --wait (the subprocess time-out catches a wait).
        r = spphone(sim.endpoint, "--wait", "60s", "status", timeout=30)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertRegex(r.stderr.strip().splitlines()[-1], "serves another host|refused this host")
        sim.wait_host("host refused")
        self.assertEqual(watch.interrupt(), 0)

    def test_stops_while_the_host_reads_nothing(self):
        # The device's output piles up in front of a host that never reads,
        # until its delivery blocks; stopping the device must not wait for it.
        path = os.path.join(self.dir, "d.sock")
        sim = self.start_sim("--unix", path)
        host = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(host.close)
        host.connect(path)
        sim.wait_host()
        for _ in range(100):
            self.assertEqual(sim.command("garbage 4096"), "ok")
        self.assertEqual(sim.stop(), 0)

    def test_no_device_names_the_cause(self):
        stale = os.path.join(self.dir, "stale.sock")
        left = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        left.bind(stale)  # a socket file nobody listens on, as a killed device leaves
        left.close()
        for device, words in [("unix:" + os.path.join(self.dir, "nothing.sock"), "no socket at"),
                              ("unix:" + stale, "nobody listens on"), ("tcp:127.0.0.1:1", "nobody listens on")]:
            with self.subTest(device=device):
                r = spphone(device, "--wait", "0.5s", "status")
                self.assertEqual(r.returncode, 3, r.stderr)
                self.assertRegex(r.stderr.strip().splitlines()[-1], "no device.*" + words)

    def test_what_can_never_link_is_refused_at_once(self):
        # With --wait 60s, only an answer without waiting ends within the subprocess time-out.
        cases = [("bogus", LIBRARY_PATH, 2, "TALVO_DEVICE: 'bogus' is no device address")]
        if os.environ.get("MORELAPI_LIBRARY_DIR") and os.environ.get("TALVO_LIBRARY_DIR") != \
                os.environ.get("MORELAPI_LIBRARY_DIR"):
            cases.append(("sim", os.environ["MORELAPI_LIBRARY_DIR"], 3, "libtalvo.so cannot be loaded"))
        for device, library_path, status, words in cases:
            with self.subTest(device=device):
                r = spphone(device, "--wait", "60s", "status", library_path=library_path)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(words, r.stderr)

    def test_scripted_device(self):
        # --command lines run at start, without a console; wait-host holds
        # the script until a host has read the device.
        sim = self.start_sim("--unix", os.path.join(self.dir, "d.sock"), "--no-console",
                             "--command", "ring 5550199; wait-host 20s; state")
        r = spphone(sim.endpoint, "--json", "call", "info")
        self.assertEqual(r.returncode, 0, r.stderr)
        calls = strict_json(r.stdout)["calls"]
        self.assertEqual([(c["state"], c["text"]) for c in calls], [(9, "5550199")])
        sim.out.wait_for(lambda l: l.startswith("ok call"), what="the ring's reply")
        first = sim.out.wait_for(lambda l: l.startswith("ok") or l.startswith("host"), what="host or reply")
        self.assertEqual(first, "host connected")
        sim.out.wait_for(lambda l: l.startswith("ok protocol"), what="the held reply")


class ShellOnTheInProcessDevice(Case):
    """spphone shell with TALVO_DEVICE=sim: one process, one library."""

    def test_script_from_a_file(self):
        script = os.path.join(self.dir, "session.txt")
        with open(script, "w") as f:
            f.write("# set, press and dial; each wait takes the event its command brings\n"
                    "audio ringer 2\nwait ringer-volume\n\nkey 5\nwait display\n"
                    "call dial 5550123\nwait call\ncall info\nhelp\nquit\nstatus\n")
        r = spphone("sim", "--json", "shell", script)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = [strict_json(l) for l in r.stdout.splitlines()]
        self.assertEqual((lines[0]["name"], lines[0]["state"]), ("link", "up"))
        replies = [l for l in lines if "command" in l]
        # Comments and blank lines are no commands; nothing runs after quit.
        self.assertEqual((len(replies), replies[-1]["command"]), (8, "help"))
        self.assertEqual({l["exit"] for l in replies}, {0})
        self.assertEqual(replies[-2]["result"]["calls"][0]["text"], "5550123")
        names = {l["name"] for l in lines if "name" in l}
        self.assertTrue({"ringer-volume", "key", "display", "call"} <= names, names)

    def test_exit_status_for_scripts(self):
        # The first failing command's status is the shell's; the session goes on.
        r = spphone("sim", "shell", input="item changed\nkey F --down\nkey F --up\nwait key\nkey\n")
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertIn("keyCode: 70", r.stdout)
        # --stop-on-error ends the session at the first failure.
        r = spphone("sim", "--json", "shell", "--stop-on-error", input="status\nwait key 0.1s\nstatus\n")
        self.assertEqual(r.returncode, 4, r.stderr)
        replies = [strict_json(l) for l in r.stdout.splitlines() if '"command"' in l]
        self.assertEqual([(l["command"], l["exit"]) for l in replies], [("status", 0), ("wait key 0.1s", 4)])


class Endpoints(Case):
    """Who can reach the device."""

    def test_default_socket_is_private(self):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.dir)
        sim = self.start_sim(env=env)
        self.assertTrue(sim.endpoint.startswith("unix:" + self.dir + "/"))
        path = sim.endpoint[len("unix:"):]
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode), 0o700)
        sim.stop()
        self.assertFalse(os.path.exists(os.path.dirname(path)), "the private directory is removed at exit")

    def test_refused_endpoints(self):
        cases = [(["--tcp", "0.0.0.0:0"], "--listen-any"),
                 (["--tcp", "127.0.0.1:0", "--unix", os.path.join(self.dir, "d.sock")], "not both"),
                 (["--script", self.dir], "cannot read")]
        for args, words in cases:
            with self.subTest(args=args):
                r = subprocess.run([SPPHONE_SIM, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, timeout=WAIT)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(words, r.stderr)
                self.assertEqual(r.stdout, "")


if __name__ == "__main__":
    unittest.main()
