"""What the tools' end-to-end tests share: a child's output lines read with
deadlines, spphone-sim as a child process, a test case with its own directory."""
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

SPPHONE_SIM = os.environ.get("SPPHONE_SIM", "spphone-sim")
WAIT = 10.0  # seconds any single expected happening may take


class Lines:
    """A child's output lines, queued by a thread: a test waits for a line with a deadline."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            self.queue.put(raw.decode(errors="replace").rstrip("\n"))
        self.queue.put(None)  # end of output

    def wait_for(self, pred, timeout=WAIT, what="a line"):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("timed out waiting for %s; saw %r" % (what, self.seen[-20:])) from None
            if line is None:
                raise AssertionError("output ended while waiting for %s; saw %r" % (what, self.seen[-20:]))
            self.seen.append(line)
            if pred(line):
                return line


class Sim:
    """spphone-sim as a child process, its console on a pipe."""

    def __init__(self, *args, env=None):
        self.proc = subprocess.Popen([SPPHONE_SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.out = Lines(self.proc.stdout)
        self.err = Lines(self.proc.stderr)
        first = self.out.wait_for(lambda l: True, what="the endpoint line")
        if not first.startswith("listening "):
            raise AssertionError("spphone-sim did not start: %r" % first)
        self.endpoint = first.split(" ", 1)[1]

    def command(self, line):
        """Runs a console line; returns its reply ("ok ..." or "error: ...")."""
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return self.out.wait_for(lambda l: l.startswith("ok") or l.startswith("error"),
                                 what="the reply to %r" % line)

    def wait_host(self, text="host connected"):
        return self.out.wait_for(lambda l: l.startswith(text), what=text)

    def stop(self, sig=signal.SIGTERM):
        """SIGTERM, as at the end of a session (or SIGKILL); returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        return self.proc.returncode

    def kill(self):
        return self.stop(signal.SIGKILL)


class Case(unittest.TestCase):
    """A test with its own directory (mode 0700), removed at the end, and the
    devices it starts, each of which must end cleanly when told to stop."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="spphone-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def start_sim(self, *args, env=None):
        sim = Sim(*args, env=env)
        self.addCleanup(lambda: self.assertEqual(sim.stop(), 0, "spphone-sim did not end cleanly"))
        return sim

    def sim_args(self, kind):
        """spphone-sim's arguments for a device on a socket in this test's directory or a free loopback port."""
        return ["--unix", os.path.join(self.dir, "device.sock")] if kind == "unix" else ["--tcp", "127.0.0.1:0"]
