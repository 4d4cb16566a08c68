"""Soak with the device process killed and restarted: application threads
keep calling the library (through its ctypes module, in this process) while
spphone-sim is killed and started again on the same socket. Every call must
return within 3.1 s, and the link must come back after every restart.

Run by ctest (tools.device_restarts) with SPPHONE_SIM, MORELAPI_LIBRARY and
LD_LIBRARY_PATH set; RESTART_CYCLES sets the number of kills (default 4).
"""
import os
import queue
import random
import shutil
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python"))
import morelapi  # noqa: E402

from harness import Sim  # noqa: E402

CYCLES = int(os.environ.get("RESTART_CYCLES", "4"))
LINK_TIMEOUT = 20.0  # back-off is 100 ms per attempt for the first 10 s


class DeviceRestarts(unittest.TestCase):
    def setUp(self):
        # Cleanups, not tearDown: they also run when setUp itself fails, so
        # no device process outlives the test (they run last added, first).
        self.dir = tempfile.mkdtemp(prefix="spphone-restarts-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.path.join(self.dir, "device.sock")
        self.sim = Sim("--unix", self.path)
        self.addCleanup(self.stop_sim)
        os.environ["TALVO_DEVICE"] = self.sim.endpoint
        self.links = queue.Queue()
        morelapi.initialize()
        self.addCleanup(morelapi.terminate)
        morelapi.register_event(morelapi.SLOT_DEVICE, self.on_event)

    def stop_sim(self):
        if self.sim is not None:
            self.sim.stop()

    def on_event(self, code, word, value):
        if code == morelapi.EVENT_LINK:
            self.links.put(value)

    def wait_link(self, state):
        deadline = time.monotonic() + LINK_TIMEOUT
        while True:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, "link never went %s" % ("up" if state else "down"))
            try:
                if self.links.get(timeout=left) == state:
                    return
            except queue.Empty:
                pass

    def test_calls_stay_bounded_and_the_link_returns_after_each_restart(self):
        lib = morelapi.load()
        if not morelapi.is_available():
            self.wait_link(1)
        stop = threading.Event()
        worst = [0.0]
        calls = [0]
        lock = threading.Lock()

        def worker(seed):
            rng = random.Random(seed)
            status = morelapi._buffer(1)
            item = morelapi._buffer(129)
            display = morelapi._buffer(721)
            while not stop.is_set():
                call = rng.choice([
                    lambda: lib.GetSPphoneStatus(status),
                    lambda: lib.GetRingerVol(status),
                    lambda: lib.GetSystemData(3, item),
                    lambda: lib.GetContactCount(status),
                    lambda: lib.SetReceiverVol(rng.randint(1, 8)),
                    lambda: lib.GetLCDdata(display),
                ])
                start = time.monotonic()
                call()
                took = time.monotonic() - start
                with lock:
                    worst[0] = max(worst[0], took)
                    calls[0] += 1

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
        for t in threads:
            t.start()
        try:
            rng = random.Random(7)
            for _ in range(CYCLES):
                stop.wait(rng.uniform(0.2, 0.6))  # let the threads work on a live link
                self.sim.kill()
                self.sim = None
                self.wait_link(0)
                stop.wait(rng.uniform(0.0, 0.3))  # calls meet a missing device
                self.sim = Sim("--unix", self.path)
                self.wait_link(1)
        finally:
            stop.set()
            for t in threads:
                t.join()
        print("device restarts: %d, calls: %d, worst call: %.1f ms" % (CYCLES, calls[0], worst[0] * 1000))
        self.assertLess(worst[0], 3.1)
        self.assertTrue(morelapi.is_available())


if __name__ == "__main__":
    unittest.main()
