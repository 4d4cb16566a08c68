"""The device endpoint stopped (SIGSTOP) with its backlog full, or a device
that takes the connection and never speaks, over both socket kinds: the
library's stop still returns within a bound, and libtalvo says why its opens
fail. Run by ctest (tools.device_endpoint).
"""
import os
import signal
import socket
import subprocess
import sys
import unittest

from harness import WAIT, Case, Lines, Sim

MORELAPI_LIBRARY = os.environ.get("MORELAPI_LIBRARY", "libmorelapi.so")
HANG = 10.0  # a stop or an open that takes this long hangs

# The host: starts the library, stops it when told, says how long the stop took.
HOST = """
import ctypes, sys, time
lib = ctypes.CDLL(sys.argv[1])
lib.InitializeUsbApiLib()
sys.stdin.readline()
start = time.monotonic()
lib.TerminateUsbApiLib()
print("stopped in %.3f s" % (time.monotonic() - start), flush=True)
"""


class DeviceEndpoint(Case):
    def socket_of(self, kind):
        s = socket.socket(socket.AF_UNIX if kind == "unix" else socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(s.close)
        return s

    def start_host(self, device):
        """A host process that starts the library, with its output lines."""
        env = dict(os.environ, TALVO_DEVICE=device, TALVO_VERBOSE="1")
        host = subprocess.Popen([sys.executable, "-c", HOST, MORELAPI_LIBRARY], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(host.kill)
        for stream in (host.stdin, host.stdout, host.stderr):
            self.addCleanup(stream.close)
        return host, Lines(host.stdout), Lines(host.stderr)

    def stop_host(self, host, out):
        """Tells the host to stop; returns the line that says how long it took."""
        host.stdin.write(b"stop\n")
        host.stdin.flush()
        line = out.wait_for(lambda l: l.startswith("stopped in"), timeout=HANG, what="the stop")
        self.assertEqual(host.wait(timeout=WAIT), 0)
        return line

    def test_stop_waits_at_most_for_an_open_in_progress(self):
        # A device that takes the connection and never speaks: the stop comes
        # while the library's open waits for the first bytes.
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                listener = self.socket_of(kind)
                listener.bind(os.path.join(self.dir, "silent.sock") if kind == "unix" else ("127.0.0.1", 0))
                where = listener.getsockname()
                device = "unix:" + where if kind == "unix" else "tcp:127.0.0.1:%d" % where[1]
                listener.listen(1)
                listener.settimeout(HANG)
                host, out, _ = self.start_host(device)
                conn, _ = listener.accept()
                self.addCleanup(conn.close)
                print("%s, silent device: %s" % (kind, self.stop_host(host, out)))

    def test_stop_returns_while_the_device_is_stopped(self):
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                sim = Sim(*self.sim_args(kind), "--no-console")
                self.addCleanup(sim.stop)
                os.kill(sim.proc.pid, signal.SIGSTOP)
                self.addCleanup(os.kill, sim.proc.pid, signal.SIGCONT)
                # Fill the backlog: later connections wait for the stopped device.
                where = sim.endpoint.partition(":")[2]
                address = where if kind == "unix" else ("127.0.0.1", int(where.rpartition(":")[2]))
                for _ in range(8):
                    s = self.socket_of(kind)
                    s.setblocking(False)
                    try:
                        s.connect(address)
                    except (BlockingIOError, InterruptedError):
                        pass
                host, out, err = self.start_host(sim.endpoint)
                # The first open gives up on the stopped device, and says why.
                cause = err.wait_for(lambda l: l.startswith("talvo: "), timeout=HANG, what="a failed open")
                self.assertIn(sim.endpoint, cause)
                self.assertIn("stopped", cause)
                print("%s, stopped device: %s (first cause: %s)" % (kind, self.stop_host(host, out), cause))


if __name__ == "__main__":
    unittest.main()
