"""spphone-sim --replay: the device answers as a traced device did. Run by
ctest (tools.replay) with SPPHONE, SPPHONE_SIM, MORELAPI_LIBRARY_DIR and
TALVO_LIBRARY_DIR set."""
import json
import os
import socket
import struct
import subprocess
import unittest

from harness import WAIT, Case
from test_e2e import SPPHONE, host_env


def frame(cls, cmd, kind, seq, body=b"", ver=0x30, dst=3, src=1):
    body = body.ljust(44, b"\0")
    return struct.pack("<BBHHHHHII", ver, 0, cls, cmd, dst, src, kind, seq, len(body) - 44) + body


def line(t, ev, f=None, **fields):
    if f is not None:
        fields.update(hex=f.hex(), len=len(f))
    return json.dumps(dict(t=t, ev=ev, **fields), separators=(",", ":"))


class Device:
    """The host's end of the device socket, speaking frames."""

    def __init__(self, endpoint):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(WAIT)
        self.sock.connect(endpoint.split(":", 1)[1])
        self.stream = self.sock.makefile("rb")

    def read(self):
        head = self.stream.read(20)
        rest = self.stream.read(44 + struct.unpack_from("<I", head, 16)[0]) if len(head) == 20 else b""
        if len(rest) < 44:
            raise EOFError("the device closed the link")
        return head + rest


def fields(f):
    ver, _, cls, cmd, dst, src, kind, seq, _ = struct.unpack_from("<BBHHHHHII", f)
    return dict(cls=cls, cmd=cmd, kind=kind, seq=seq, dst=dst, src=src, status=f[20])


class ReplayOfAHandMadeTrace(Case):
    def test_answers_as_recorded_and_refuses_the_rest(self):
        ack, resp, tx, rx = 2, 3, "tx", "rx"
        note = frame(16, 0x104, 0, 9, b"\x00\x35", dst=1, src=2)
        trace = [
            json.dumps({"trace": "morelapi", "format": 1, "start": "2026-12-06T20:30:00.000Z", "pid": 1}),
            line(1.0, tx, frame(1, 9, 1, 5), name="Status", rc=0),
            line(1.2, rx, frame(1, 9, ack, 5, dst=1, src=3)),
            line(1.4, rx, frame(1, 9, resp, 5, b"\x00\x02", dst=1, src=3)),
            line(6.4, rx, note),  # 5 ms after the answer
            line(7.1, rx, frame(4, 2, resp, 6, b"\x00A", dst=1, src=3)),  # before the line of its request
            line(7.0, tx, frame(4, 2, 1, 6, b"\x01"), name="GetContact", rc=0),
            line(8.0, tx, frame(4, 2, 1, 7, b"\x02"), name="GetContact", rc=0),
            line(8.1, rx, frame(4, 2, resp, 7, b"\x00B", dst=1, src=3)),
            line(9.0, tx, frame(1, 13, 1, 8), name="Status2", rc=0),
            line(3009.0, "timeout", seq=8),
            line(3010.0, rx, frame(1, 13, resp, 8, dst=1, src=3)),  # too late: not the request's answer
            line(3011.0, tx, frame(1, 3, 1, 9), rc=0),
            line(3011.5, rx, frame(1, 3, resp, 9, dst=1, src=3)),
            line(3012.0, "link", up=False),
            "not a trace line",
            json.dumps({"trace": "morelapi", "format": 1}),  # a second session: not replayed
            line(1.0, tx, frame(1, 9, 1, 1), rc=0),
            line(1.2, rx, frame(1, 9, resp, 1, b"\x00\x07", dst=1, src=3)),
        ]
        path = os.path.join(self.dir, "trace.jsonl")
        with open(path, "w") as f:
            f.write("\n".join(trace) + "\n")
        sim = self.start_sim(*self.sim_args("unix"), "--replay", path)
        host = Device(sim.endpoint)
        self.addCleanup(lambda: (host.stream.close(), host.sock.close()))
        self.assertEqual(fields(host.read())["cmd"], 0x100)  # the device's version report

        host.sock.sendall(frame(1, 9, 1, 77, dst=3))
        a, r, n = host.read(), host.read(), host.read()
        self.assertEqual([fields(a)[k] for k in ("kind", "seq", "dst", "src", "status")], [ack, 77, 1, 3, 0])
        self.assertEqual(r, frame(1, 9, resp, 77, b"\x00\x02", dst=1, src=3))
        self.assertEqual(n, note)  # as recorded

        # The request of the same body first, then the next one in order.
        host.sock.sendall(frame(4, 2, 1, 78, b"\x02") + frame(4, 2, 1, 79, b"\x03"))
        self.assertEqual([host.read()[21:22] for _ in range(2)], [b"B", b"A"])

        host.sock.sendall(frame(1, 9, 1, 80))  # the trace holds no more of them
        refusal = fields(host.read())
        self.assertEqual([refusal[k] for k in ("kind", "seq", "status")], [ack, 80, 1])
        sim.out.wait_for(lambda l: l == "replay: no recorded answer for 1/9 Status seq 80 (refused)",
                         what="the refusal on the console")

        host.sock.sendall(frame(1, 13, 1, 81) + frame(1, 3, 1, 82))  # 1/13 timed out in the trace
        sim.out.wait_for(lambda l: l == "replay: 1/13 Status2 seq 81 went unanswered in the trace",
                         what="the unanswered request on the console")
        self.assertEqual(fields(host.read())["seq"], 82)
        self.assertRaises(EOFError, host.read)  # the recorded link loss
        sim.wait_host("host disconnected")
        self.assertIn("1 lines skipped", "".join(sim.err.wait_for(lambda l: "replaying 5 requests" in l)))

    def test_refuses_what_it_cannot_load(self):
        path = os.path.join(self.dir, "trace.jsonl")
        with open(path, "w") as f:
            f.write(json.dumps({"trace": "morelapi", "format": 1}) + "\n")
        for args, why in ((["--replay", path, "--session", "2"], "holds 1 trace session, not session 2"),
                          (["--replay", self.dir + "/none"], "cannot read")):
            run = subprocess.run([os.environ.get("SPPHONE_SIM", "spphone-sim"), *args], capture_output=True,
                                 text=True, timeout=WAIT)
            self.assertEqual(run.returncode, 2)
            self.assertIn(why, run.stderr)


class CaptureAndReplay(Case):
    """A scripted session captured with the library's trace, replayed: the same results and events."""

    SCRIPT = ["status", "call dial 5551234", "wait call", "wait call", "wait call", "audio ringer 2",
              "wait ringer-volume", "contact get 1", "key 5", "wait key", "item get 82", "call end 1", "wait call"]

    def session(self, device, trace=None):
        """The results and the events (their times left out) of the script, each in order: how the
        events' lines fall between the results' lines depends on the threads' timing."""
        script = os.path.join(self.dir, "script.txt")
        with open(script, "w") as f:
            f.write("\n".join(self.SCRIPT) + "\n")
        env = dict(host_env(device), **({"MORELAPI_TRACE": trace} if trace else {}))
        run = subprocess.run([SPPHONE, "--json", "shell", script], env=env, capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        results, events = [], []
        for text in run.stdout.splitlines():
            obj = json.loads(text)
            obj.pop("time", None)
            (results if "command" in obj else events).append(obj)
        return results, events

    def test_a_captured_session_replays_to_the_same_behaviour(self):
        trace = os.path.join(self.dir, "session.jsonl")
        captured = self.session(self.start_sim(*self.sim_args("unix")).endpoint, trace)
        with open(trace) as f:
            self.assertTrue(any('"ev":"tx"' in l for l in f), "the library wrote no trace")
        sim = self.start_sim("--unix", os.path.join(self.dir, "replay.sock"), "--replay", trace)
        replayed = self.session(sim.endpoint)
        self.assertEqual(replayed, captured)
        self.assertEqual(len(captured[0]), len(self.SCRIPT))
        sim.command("log")  # every line before this reply has been read
        self.assertEqual([l for l in sim.out.seen if l.startswith("replay:")], [])


if __name__ == "__main__":
    unittest.main()
