"""spphone trace on a hand-made protocol trace and on a capture of the demo (ctest tools.trace_reader)."""
import json
import os
import re
import subprocess
import tempfile
import unittest

SPPHONE = os.environ.get("SPPHONE", "spphone")
HEADER = '{"trace":"morelapi","format":1,"start":"2026-12-06T20:30:00.123Z","pid":%d}'


def ev(t, event, /, **fields):
    return json.dumps(dict(t=t, ev=event, **fields), separators=(",", ":"))


def frame(t, d, cmd, name, kind, seq, **more):
    host, dev = {"dst": 3, "src": 1}, {"dst": 1, "src": 3}
    return ev(t, d, **{"class": cmd[0], "command": cmd[1]}, name=name, kind=kind,
              **(host if d == "tx" else dev), ver=48, seq=seq, **more, len=64, hex="00")


STATUS, CALLINFO = (1, 9), (2, 20)
TRACE = [
    HEADER % 1, ev(0.05, "link", up=False), ev(0.2, "open", rc=0, handle=1),
    frame(1.234, "tx", STATUS, "Status", "request", 5, rc=0),
    frame(1.5, "rx", STATUS, "Status", "ack", 5, status=0),
    frame(1.734, "rx", STATUS, "Status", "response", 5, status=0),
    ev(2.1, "link", up=True),
    frame(5.0, "tx", CALLINFO, "CallInfo", "request", 6, rc=0),
    frame(6.0, "tx", STATUS, "Status", "request", 8, rc=0),
    ev(3005.0, "timeout", **{"class": 2, "command": 20}, name="CallInfo", seq=6),
    "this is not json",
    frame(3010.0, "rx", (16, 0x20F), "event 0x020f", "notification", 9),  # reaches the application as 0x020c
    ev(3020.0, "flush", dropped=300, hex="00"),
    ev(3030.0, "unmatched", **{"class": 1, "command": 9}, name="Status", kind="ack", seq=7),
    ev(3040.0, "link", up=False), ev(3060.0, "lost", lines=12), ev(3090.0, "chunk", dropped=5000),
    ev(3100.0, "end"),
    # A new library start: times restart, and seq 8 of the first session is no longer open.
    HEADER % 2,
    frame(1.0, "rx", STATUS, "Status", "response", 8, status=0),
    frame(10.0, "tx", STATUS, "Status", "request", 10, rc=0),
    frame(11.0, "rx", STATUS, "Status", "response", 10, status=0),
    # A quick answer written before its request's line, which has the time its write returned.
    frame(20.0, "rx", STATUS, "Status", "response", 12, status=0),
    frame(21.0, "tx", STATUS, "Status", "request", 12, rc=0),
]
ROW = re.compile(r"^\s+(\d+\.\d{3})  (->|<-|--)  (\S+)\s+(.*)$")


class TraceReader(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.path = os.path.join(self.dir.name, "t.jsonl")
        with open(self.path, "w") as f:
            f.write("\n".join(TRACE) + "\n")

    def run_trace(self, *args, stdin=None):
        # A malformed device address fails any command that starts the library: trace must not.
        return subprocess.run([SPPHONE, *args], input=stdin, capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, TALVO_DEVICE="bogus"))

    def rows(self, *args):
        r = self.run_trace("trace", self.path, *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return [ROW.match(l).groups() for l in r.stdout.splitlines() if ROW.match(l)]

    @staticmethod
    def summary(stdout):
        out = stdout.splitlines()
        return {l.split()[0]: l.split()[1:] for l in out[out.index("summary") + 2:-1]}

    def test_pairing_round_trips_and_summary(self):
        r = self.run_trace("trace", self.path)
        self.assertEqual(r.stderr, "spphone: %s:11: bad trace line: not a JSON object\n" % self.path)
        out = r.stdout.splitlines()
        self.assertEqual(len([l for l in out if l.startswith("--- session ")]), 2)
        rows = [ROW.match(l).groups() for l in out if ROW.match(l)]
        by_kind = {(row[0], row[2]): row[3] for row in rows}
        for key, pattern in {("1.500", "ack"): r" 0\.266 ms$", ("1.734", "response"): r" 0\.500 ms$",
                             ("3005.000", "timeout"): r"no answer after 3000\.000 ms$",
                             ("3010.000", "notification"): r"^16/0x020f  0x020c call ended here ",
                             ("3040.000", "link"): r"^link down \(dropped\)$",
                             ("1.000", "response"): r" 64$",  # seq 8 was a request of the earlier session
                             ("11.000", "response"): r" 1\.000 ms$",
                             ("21.000", "request"): r"answered above: -$"}.items():
            self.assertRegex(by_kind[key], pattern)
        self.assertEqual(len(rows), len(TRACE) - 3)  # every line but the headers and the bad one
        summary = self.summary(r.stdout)
        self.assertEqual(summary["Status"], ["1/9", "4", "3", "0", "0.750", "1.000"])
        self.assertEqual(summary["CallInfo"], ["2/20", "1", "0", "1", "-", "-"])
        self.assertEqual(summary["all"], ["5", "3", "1", "0.750", "1.000"])
        self.assertEqual(out[-1], "time-outs 1, link drops 1, discarded bytes 5300, lost trace lines 12, "
                                  "unmatched answers 1, bad lines 1")

    def test_a_capture_of_the_demo_reads_whole(self):
        if not os.environ.get("DEMO"):
            self.skipTest("DEMO names no demo program")
        path = os.path.join(self.dir.name, "demo.jsonl")
        subprocess.run([os.environ["DEMO"]], env=dict(os.environ, TALVO_DEVICE="sim", MORELAPI_TRACE=path),
                       capture_output=True, timeout=60, check=True)
        if not os.path.exists(path):
            self.skipTest("this library writes no trace")
        with open(path) as f:
            requests = sum('"ev":"tx"' in l and '"kind":"request"' in l for l in f)
        r = self.run_trace("trace", path)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(self.summary(r.stdout)["all"][:3], [str(requests), str(requests), "0"])

    def test_filters_select_lines_and_the_summary(self):
        for args, keep in [
            (["--command", "status"], lambda r: "Status" in r[3]),
            (["--command", "2/20"], lambda r: "CallInfo" in r[3]),
            (["--class", "2"], lambda r: r[3].startswith("2/")),
            (["--command", "call"], lambda r: "call ended here" in r[3]),
            (["--command", "0x020C"], lambda r: "call ended here" in r[3]),
            (["--dir", "tx"], lambda r: r[1] == "->"),
            (["--dir", "rx,step", "--from", "3000", "--to", "3040"],
             lambda r: r[1] != "->" and 3000 <= float(r[0]) <= 3040),
        ]:
            with self.subTest(args=args):
                rows = self.rows(*args)
                self.assertTrue(rows)
                self.assertEqual([r for r in rows if not keep(r)], [])
                self.assertEqual(len(rows), len([r for r in self.rows() if keep(r)]))
        self.assertEqual(self.summary(self.run_trace("trace", self.path, "--dir", "tx").stdout)["all"],
                         ["5", "0", "0", "-", "-"])

    def test_json_passes_the_selected_lines_through(self):
        r = self.run_trace("--json", "trace", self.path, "--dir", "rx")
        self.assertEqual(r.returncode, 0, r.stderr)
        expected = [l for l in TRACE if l.startswith('{"trace"') or '"ev":"rx"' in l]
        self.assertEqual(r.stdout, "\n".join(expected) + "\n")

    def test_bad_lines_are_skipped_and_bad_files_fail(self):
        bad = ['{"t":1,"ev":"tx","class":1,"command":9}', '{"t":0x10,"ev":"end"}', '{"t":-inf,"ev":"end"}',
               '{"t":1,"ev":"end","x":{"a":1}}', '{"t":1,"ev":"end"', '{"t":1,"ev":"end"} x', '{"ev":"end"}',
               '{"t":1,"ev":"queue-full","id":"zz"}', '{"t":"1' + "0" * 70000 + '","ev":"end"}']
        r = self.run_trace("trace", "-", stdin="\n".join([TRACE[0], *bad, ev(2.5, "end")]) + "\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        reported = [int(m) for m in re.findall(r"^spphone: stdin:(\d+): bad trace line: ", r.stderr, re.M)]
        self.assertEqual(reported, list(range(2, 2 + len(bad))))
        self.assertIn("bad lines %d" % len(bad), r.stdout)
        self.assertEqual([m.group(1) for m in map(ROW.match, r.stdout.splitlines()) if m], ["2.500"])
        for args in (["trace", os.path.join(self.dir.name, "none")], ["trace", self.path, "--dir", "up"],
                     ["trace", self.path, "--command", "1/x"], ["trace"]):
            r = self.run_trace(*args)
            self.assertEqual((r.returncode, r.stdout, r.stderr[:9]), (2, "", "spphone: "), args)


if __name__ == "__main__":
    unittest.main()
