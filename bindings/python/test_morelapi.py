"""Tests of the Python binding against the in-process simulated device (see docs/python.md). The library is
one per process: the tests share the device, so each leaves it as it found it where that matters."""
import contextlib
import gc
import io
import os
import subprocess
import sys
import threading
import unittest
from unittest import mock

import morelapi

WAIT = 10.0


class Events:
    """Every event of the slots registered with it, waited for with a deadline."""

    def __init__(self):
        self.cond, self.seen = threading.Condition(), []

    def callback(self, code, user_word, value):
        with self.cond:
            self.seen.append((code, user_word, value))
            self.cond.notify_all()

    def wait_for(self, codes, value=None, timeout=WAIT):
        codes = codes if isinstance(codes, frozenset) else frozenset((codes,))

        def matching():
            return [e for e in self.seen if e[0] in codes and (value is None or e[2] == value)]
        with self.cond:
            if not self.cond.wait_for(matching, timeout):
                raise AssertionError("no event %r (value %r); saw %r" % (codes, value, self.seen))
            return matching()[-1]

    def clear(self):
        with self.cond:
            self.seen.clear()


events = Events()


def setUpModule():
    os.environ.setdefault("TALVO_DEVICE", "sim")
    morelapi.initialize()
    if not morelapi.wait_until_available(WAIT):
        raise RuntimeError("the simulated device did not link up")
    for slot in range(morelapi.SLOT_COUNT):
        morelapi.register_event(slot, events.callback, user_word=100 + slot)


def tearDownModule():
    morelapi.terminate()


class Identity(unittest.TestCase):
    def test_module_tables_are_what_the_header_gives(self):
        generator = os.path.join(os.path.dirname(os.path.abspath(__file__)), "generate_tables.py")
        if not os.path.exists(generator):
            self.skipTest("the installed module: no header to compare with")
        run = subprocess.run([sys.executable, generator, "--check"], stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_status_identity_and_getters(self):
        self.assertEqual(morelapi.get_status2()[0], morelapi.get_status())
        self.assertEqual((len(morelapi.get_network_info(1)), len(morelapi.get_display())), (6, 721))
        self.assertIn(b"READY", morelapi.get_display())
        self.assertTrue(all(len(e) == 44 for e in morelapi.active_unicode()))
        for value in [morelapi.get_version(2), morelapi.get_cti_version(), morelapi.get_destination()[1],
                      morelapi.get_network_info(7), morelapi.get_operating_mode(), morelapi.get_record_op_status()]:
            self.assertIsInstance(value, int)

    def test_arguments_outside_the_accepted_values_raise_before_sending(self):
        m = morelapi
        value_errors = [(m.get_network_info, (0,)), (m.get_network_info, (8,)), (m.get_version, (3,)),
                        (m.set_ringer_volume, (4,)), (m.set_receive_volume, (0,)), (m.set_receive_volume, (9,)),
                        (m.set_slow_talk, (1,)), (m.set_sound_enhancer, (3,)), (m.get_contact, (0,)),
                        (m.get_contact, (101,)), (m.delete_contact, (254,)), (m.get_record_info, (101,)),
                        (m.set_playback_volume, (9,)), (m.get_system_data, (11,)), (m.set_system_data, (66, 1 << 32)),
                        (m.set_system_data, (131, b"x")), (m.make_call, ("9" * 129,)),
                        (m.send_raw_data, (b"\0" * 129,)), (m.set_rtcp_send, (b"", 2)), (m.set_key, ("FF",)),
                        (m.register_event, (8, print)), (m.register_event, (2, print, -1))]
        # A bool is no number, and each kind of item takes its own type.
        type_errors = [(m.set_ringer_volume, ("3",)), (m.make_call, (5551234,)), (m.set_ringer_volume, (True,)),
                       (m.get_contact, (True,)), (m.register_event, (m.Slot.CALL, print, False)),
                       (m.set_system_data, (66, True)), (m.set_system_data, (66, "5")), (m.set_system_data, (82, 5))]
        for error, cases in [(ValueError, value_errors), (TypeError, type_errors)]:
            for fn, args in cases:
                with self.subTest(fn=fn.__name__, args=args), self.assertRaises(error):
                    fn(*args)


class Settings(unittest.TestCase):
    def test_items_round_trip(self):
        # Numbers come back as int, texts as str with their bytes in .raw.
        cases = [(66, 123456, 123456, (123456).to_bytes(4, "little")), (85, b"\x01\x02", 0x0201, b"\x01\x02"),
                 (82, "hello python", "hello python", b"hello python".ljust(128, b"\0")),
                 (93, b"abc", "abc", b"abc".ljust(32, b"\0"))]
        for item, value, read, stored in cases:
            with self.subTest(item=item):
                events.clear()
                morelapi.set_system_data(item, value)
                got = morelapi.get_system_data(item)
                self.assertEqual((got, got.raw if isinstance(read, str) else stored), (read, stored))
                self.assertEqual(morelapi.get_system_data(item, raw=True), stored)
                # The device reports the change on slot 3 with the item id.
                events.wait_for(morelapi.Event.SYSTEM_DATA, item)
                self.assertEqual([morelapi.get_changed_system_data(), morelapi.get_changed_system_data(raw=True)],
                                 [(item, read), (item, stored)])
        self.assertIsNone(morelapi.get_system_data(130))

    def test_camera_rtcp_and_contacts(self):
        morelapi.set_camera_info(7, 554, 1, "cam", b"str\0eam", 30, 720)
        info = morelapi.get_camera_info()
        self.assertEqual(info, (7, 554, 1, "cam", "str\0eam", 30, 720))  # 17 bytes as given, past the zero
        self.assertEqual((info.text1.raw, info.text2.raw), (b"cam".ljust(17, b"\0"), b"str\0eam".ljust(17, b"\0")))
        morelapi.set_rtcp_send(bytes(range(84)))
        self.assertEqual(len(morelapi.get_rtcp_receive()), 88)
        self.assertGreater(morelapi.get_rtcp_version()[0], 0)

        count = morelapi.get_contact_count()
        self.assertNotEqual(morelapi.set_contact("PY NAME", 9, "5550042"), 0)
        contact = morelapi.get_contact(count + 1)
        self.assertEqual((contact, contact.data2.raw), (("PY NAME", 9, "5550042"), b"5550042".ljust(129, b"\0")))
        morelapi.delete_contact(count + 1)
        self.assertEqual(morelapi.get_contact_count(), count)


class Calls(unittest.TestCase):
    def test_call_placed_reported_and_ended(self):
        # Nothing rings yet: the device refuses to answer.
        with self.assertRaisesRegex(morelapi.RequestRefusedError, "AnswerCall"):
            morelapi.answer_call()
        events.clear()
        morelapi.make_call("5551234")
        # The call events come on slot 2 as Event members with the call id as their value.
        code, word, call_id = events.wait_for(morelapi.Event.CALL_0201)
        self.assertIs(code.call_state, morelapi.CallState.DIALLING)
        self.assertEqual(word, 100 + morelapi.Slot.CALL)
        info = morelapi.get_call_info(call_id)
        self.assertTrue(isinstance(info.state, morelapi.CallState) and info.state != morelapi.CallState.IDLE, info)
        self.assertEqual((info.text, info.text.raw), ("5551234", b"5551234".ljust(129, b"\0")))
        self.assertIsNone(morelapi.get_call_info(200))  # no such call
        morelapi.end_call(call_id)
        events.wait_for(morelapi.CALL_END_EVENTS, call_id)


class Callbacks(unittest.TestCase):
    def tearDown(self):
        morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)

    def test_raising_callback_without_a_reference_of_the_caller_keeps_being_called(self):
        heard = threading.Semaphore(0)
        # Counts the event, then raises; the caller keeps no reference to it.
        morelapi.register_event(morelapi.SLOT_RAW_DATA, lambda *event: (heard.release(), 1 // 0))
        gc.collect()
        with contextlib.redirect_stderr(io.StringIO()):
            for block in (b"one", b"two"):
                morelapi.send_raw_data(block)
                self.assertTrue(heard.acquire(timeout=WAIT), block)
            self.assertEqual(morelapi.receive_raw_data(), b"two".ljust(128, b"\0"))
            # Registering waits for the running callback: its traceback is printed by then.
            morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)

    def test_device_slot_callback_gets_its_word_and_values_until_unregistered(self):
        # Slot 1 is shared with the module, which waits on its events.
        mine = Events()
        volume = morelapi.get_ringer_volume()
        other = 1 if volume != 1 else 2
        morelapi.register_event(morelapi.SLOT_DEVICE, mine.callback, user_word=7)
        try:
            morelapi.set_ringer_volume(other)
            self.assertEqual(mine.wait_for(morelapi.EVENT_RINGER_VOLUME, other)[1], 7)
            self.assertEqual(morelapi.get_ringer_volume(), other)
            morelapi.unregister_event(morelapi.SLOT_DEVICE)
            mine.clear()
            events.clear()
            morelapi.set_ringer_volume(volume)
            # Events are handled in arrival order: once the raw data event
            # that follows has come, the volume event has been handled too.
            morelapi.send_raw_data(b"after")
            events.wait_for(morelapi.EVENT_RAW_DATA)
            self.assertEqual(morelapi.get_ringer_volume(), volume)
            self.assertEqual(mine.seen, [])
        finally:
            morelapi.register_event(morelapi.SLOT_DEVICE, events.callback, 101)


class Lifecycle(unittest.TestCase):
    def test_stopped_library_raises_no_device_and_a_library_block_starts_it(self):
        morelapi.terminate()
        try:
            for fn, args in [(morelapi.get_status, ()), (morelapi.get_changed_system_data, ()),
                             (morelapi.register_event, (morelapi.SLOT_DEVICE, print))]:
                with self.subTest(fn=fn.__name__), self.assertRaises(morelapi.NoDeviceError):
                    fn(*args)
            with morelapi.Library(timeout=WAIT) as lib:
                # A fresh library holds no reported change: no request was made.
                with self.assertRaisesRegex(morelapi.NotReportedError, "nothing reported yet"):
                    lib.get_changed_system_data()
                self.assertIs(lib.get_key()[1], morelapi.KeyAction.PRESS)  # no key yet: code and action 0
            self.assertFalse(morelapi.is_available())
            # No device to link with: the block is not entered and the library is stopped.
            with mock.patch.dict(os.environ, TALVO_DEVICE="unix:/nonexistent/morelapi-test.sock"), \
                    self.assertRaises(morelapi.NoDeviceError), morelapi.Library(timeout=0.5):
                self.fail("entered without a link")
            self.assertFalse(morelapi.is_available())
        finally:
            setUpModule()
        self.assertIsInstance(morelapi.get_status(), int)


if __name__ == "__main__":
    unittest.main()
