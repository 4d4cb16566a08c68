"""Application threads keep calling the library (its ctypes module, in this
process) while spphone-sim is killed and started again on the same Unix socket
or TCP port: every call returns within 3.1 s, and the link comes back after
every restart. Run by ctest (tools.device_restarts); RESTART_CYCLES kills (4)."""
import os
import queue
import random
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python"))
import morelapi  # noqa: E402

from harness import Case, Sim  # noqa: E402

CYCLES = int(os.environ.get("RESTART_CYCLES", "4"))
LINK_TIMEOUT = 20.0  # back-off is 100 ms per attempt for the first 10 s


class DeviceRestarts(Case):
    def wait_link(self, state):
        deadline = time.monotonic() + LINK_TIMEOUT
        try:
            while self.links.get(timeout=max(0.0, deadline - time.monotonic())) != state:
                pass
        except queue.Empty:
            self.fail("link never went %s" % ("up" if state else "down"))

    def test_calls_stay_bounded_and_the_link_returns_after_each_restart(self):
        for kind in ("unix", "tcp"):
            with self.subTest(kind):
                self.sim = Sim(*self.sim_args(kind))
                # Started again on the same socket path (a killed device leaves
                # its socket file behind; the new one replaces it) or TCP port.
                self.args = self.sim_args(kind) if kind == "unix" else ["--tcp", self.sim.endpoint.split(":", 1)[1]]
                self.links = queue.Queue()
                os.environ["TALVO_DEVICE"] = self.sim.endpoint
                try:
                    morelapi.initialize()
                    morelapi.register_event(morelapi.SLOT_DEVICE, lambda code, word, value:
                                            code == morelapi.EVENT_LINK and self.links.put(value))
                    self.calls_during_restarts()
                    self.assertEqual(morelapi.load().GetSPphoneStatus(morelapi._buffer(1)), 1)
                finally:
                    morelapi.terminate()
                    self.sim.stop()  # the one running now, also when a step failed

    def calls_during_restarts(self):
        lib = morelapi.load()
        if not morelapi.is_available():
            self.wait_link(1)
        stop = threading.Event()
        took = [[0, 0.0] for _ in range(3)]  # per thread: calls, worst duration

        def worker(seed):
            rng = random.Random(seed)
            status, item, display = morelapi._buffer(1), morelapi._buffer(129), morelapi._buffer(721)
            calls = [lambda: lib.GetSPphoneStatus(status), lambda: lib.GetRingerVol(status),
                     lambda: lib.GetSystemData(3, item), lambda: lib.GetContactCount(status),
                     lambda: lib.SetReceiverVol(rng.randint(1, 8)), lambda: lib.GetLCDdata(display)]
            while not stop.is_set():
                start = time.monotonic()
                rng.choice(calls)()
                took[seed] = [took[seed][0] + 1, max(took[seed][1], time.monotonic() - start)]

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
        for t in threads:
            t.start()
        try:
            rng = random.Random(7)
            for _ in range(CYCLES):
                stop.wait(rng.uniform(0.2, 0.6))  # let the threads work on a live link
                self.sim.kill()
                self.wait_link(0)
                stop.wait(rng.uniform(0.0, 0.3))  # calls meet a missing device
                self.sim = Sim(*self.args)
                self.wait_link(1)
        finally:
            stop.set()
            for t in threads:
                t.join()
        worst = max(w for _, w in took)
        print("device restarts: %d, calls: %d, worst call: %.1f ms" % (CYCLES, sum(n for n, _ in took), worst * 1000))
        self.assertLess(worst, 3.1)


if __name__ == "__main__":
    unittest.main()
