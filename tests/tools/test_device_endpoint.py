"""The device endpoint misbehaving or misused, over both socket kinds:
- spphone-sim stopped (SIGSTOP) with its backlog full, or a device that
  takes the connection and never speaks: the library's stop still returns
  within a bound, and libtalvo says why its opens fail;
- a second host is refused at once, and is told so;
- a host that floods requests and reads nothing: spphone-sim's memory stays
  bounded, it drops that host and serves the next one.

Run by ctest (tools.device_endpoint) with SPPHONE_SIM, MORELAPI_LIBRARY and
LD_LIBRARY_PATH (for libtalvo) set.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from test_e2e import WAIT, Lines, Sim

MORELAPI_LIBRARY = os.environ.get("MORELAPI_LIBRARY", "libmorelapi.so")
HANG = 10.0  # a stop or an open that takes this long hangs

# A host process: starts the library, stops it when told, says how long the stop took.
HOST = """
import ctypes, sys, time
lib = ctypes.CDLL(sys.argv[1])
lib.InitializeUsbApiLib()
sys.stdin.readline()
start = time.monotonic()
lib.TerminateUsbApiLib()
print("stopped in %.3f s" % (time.monotonic() - start), flush=True)
"""


def status_request(seq):
    """A status request (class 1 command 9), as the library writes it."""
    frame = bytearray(64)
    frame[0:12] = bytes([0x30, 0xFF, 1, 0, 9, 0, 3, 0, 1, 0, 1, 0])
    frame[12:16] = struct.pack("<I", seq)
    return bytes(frame)


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def connect(endpoint):
    kind, _, where = endpoint.partition(":")
    if kind == "unix":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(where)
    else:
        host, _, port = where.rpartition(":")
        s = socket.create_connection((host, int(port)))
    s.settimeout(WAIT)
    return s


def read_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise AssertionError("connection closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


class DeviceEndpoint(unittest.TestCase):
    def start_sim(self, kind):
        if kind == "unix":
            d = tempfile.mkdtemp(prefix="spphone-endpoint-")
            self.addCleanup(shutil.rmtree, d, True)
            sim = Sim("--unix", os.path.join(d, "device.sock"), "--no-console")
        else:
            sim = Sim("--tcp", "0", "--no-console")
        self.addCleanup(sim.stop)
        return sim

    def start_host(self, device):
        """The host process, with its output lines."""
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
                if kind == "unix":
                    d = tempfile.mkdtemp(prefix="spphone-endpoint-")
                    self.addCleanup(shutil.rmtree, d, True)
                    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    listener.bind(os.path.join(d, "device.sock"))
                    device = "unix:" + listener.getsockname()
                else:
                    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    listener.bind(("127.0.0.1", 0))
                    device = "tcp:127.0.0.1:%d" % listener.getsockname()[1]
                self.addCleanup(listener.close)
                listener.listen(1)
                listener.settimeout(HANG)
                host, out, _ = self.start_host(device)
                conn, _ = listener.accept()
                self.addCleanup(conn.close)
                line = self.stop_host(host, out)
                print("%s, silent device: %s" % (kind, line))

    def test_stop_returns_while_the_device_is_stopped(self):
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                sim = self.start_sim(kind)
                os.kill(sim.proc.pid, signal.SIGSTOP)
                self.addCleanup(os.kill, sim.proc.pid, signal.SIGCONT)
                # Fill the backlog: later connections wait for the stopped device.
                fillers = []
                for _ in range(8):
                    s = socket.socket(socket.AF_UNIX if kind == "unix" else socket.AF_INET, socket.SOCK_STREAM)
                    s.setblocking(False)
                    fillers.append(s)
                    where = sim.endpoint.partition(":")[2]
                    address = where if kind == "unix" else ("127.0.0.1", int(where.rpartition(":")[2]))
                    try:
                        s.connect(address)
                    except (BlockingIOError, InterruptedError):
                        pass
                for s in fillers:
                    self.addCleanup(s.close)
                host, out, err = self.start_host(sim.endpoint)
                # The first open gives up on the stopped device, and says why.
                cause = err.wait_for(lambda l: l.startswith("talvo: "), timeout=HANG, what="a failed open")
                self.assertIn(sim.endpoint, cause)
                self.assertIn("stopped", cause)
                line = self.stop_host(host, out)
                print("%s, stopped device: %s (first cause: %s)" % (kind, line, cause))

    def test_a_second_host_is_refused_at_once_and_told_why(self):
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                sim = self.start_sim(kind)
                first = connect(sim.endpoint)
                self.addCleanup(first.close)
                read_exactly(first, 64)  # the device speaks first
                second = connect(sim.endpoint)
                self.addCleanup(second.close)
                line = b""
                while not line.endswith(b"\n"):
                    chunk = second.recv(256)
                    self.assertTrue(chunk, "closed without a word: %r" % line)
                    line += chunk
                self.assertEqual(line, b"refused: another host is connected\n")
                self.assertEqual(second.recv(1), b"", "the refused connection is closed")

    def test_a_host_that_reads_nothing_is_dropped_and_memory_is_freed(self):
        limit_kib = 3 * 1024  # three times the unread bound, see kHostUnreadLimit
        margin_kib = 8 * 1024
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                sim = self.start_sim(kind)
                pid = sim.proc.pid
                flood = connect(sim.endpoint)
                read_exactly(flood, 64)
                base = resident_kib(pid)
                peak = [base]
                failed = threading.Event()

                def write_forever():
                    seq = 0
                    try:
                        while True:
                            flood.sendall(b"".join(status_request(seq + k) for k in range(64)))
                            seq += 64
                            if seq % 4096 == 0:
                                peak[0] = max(peak[0], resident_kib(pid))
                    except OSError:
                        failed.set()

                writer = threading.Thread(target=write_forever, daemon=True)
                writer.start()
                sim.wait_host("host dropped")
                sim.wait_host("host disconnected")
                self.assertTrue(failed.wait(WAIT), "the flooding host was not cut off")
                writer.join(WAIT)
                flood.close()
                peak[0] = max(peak[0], resident_kib(pid))
                print("%s: resident %d KiB at the start, %d KiB at most while flooded, %d KiB after"
                      % (kind, base, peak[0], resident_kib(pid)))
                self.assertLess(peak[0], base + limit_kib + margin_kib)
                # The next host is served.
                host = connect(sim.endpoint)
                self.addCleanup(host.close)
                sim.wait_host("host connected")
                read_exactly(host, 64)
                host.sendall(status_request(7))
                answer = read_exactly(host, 128)
                self.assertEqual(answer[64 + 10], 3, "a response")
                self.assertEqual(answer[64 + 12], 7)
                self.assertLess(resident_kib(pid), base + margin_kib)


if __name__ == "__main__":
    unittest.main()
