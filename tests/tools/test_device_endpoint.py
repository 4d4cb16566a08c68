"""The device endpoint stopped (SIGSTOP) with its backlog full, over both socket
kinds: the library's stop returns within a bound, also while an open waits on
the stopped device, and libtalvo says why its opens fail (tools.device_endpoint)."""
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
                    s = socket.socket(socket.AF_UNIX if kind == "unix" else socket.AF_INET, socket.SOCK_STREAM)
                    self.addCleanup(s.close)
                    s.setblocking(False)
                    try:
                        s.connect(address)
                    except (BlockingIOError, InterruptedError):
                        pass
                host = subprocess.Popen([sys.executable, "-c", HOST, MORELAPI_LIBRARY],
                                        env=dict(os.environ, TALVO_DEVICE=sim.endpoint, TALVO_VERBOSE="1"),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.addCleanup(host.kill)
                for stream in (host.stdin, host.stdout, host.stderr):
                    self.addCleanup(stream.close)
                out, err = Lines(host.stdout), Lines(host.stderr)
                # The first open gives up on the stopped device, and says why.
                cause = err.wait_for(lambda l: l.startswith("talvo: "), timeout=HANG, what="a failed open")
                self.assertIn(sim.endpoint, cause)
                self.assertIn("stopped", cause)
                host.stdin.write(b"stop\n")
                host.stdin.flush()
                took = out.wait_for(lambda l: l.startswith("stopped in"), timeout=HANG, what="the stop")
                self.assertEqual(host.wait(timeout=WAIT), 0)
                print("%s, stopped device: %s (first cause: %s)" % (kind, took, cause))


if __name__ == "__main__":
    unittest.main()
