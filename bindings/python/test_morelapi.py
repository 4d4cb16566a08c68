"""Tests of the Python binding against the in-process simulated device.

    TALVO_DEVICE=sim MORELAPI_LIBRARY=<build>/libmorelapi.so \\
    LD_LIBRARY_PATH=<build>:<build>/transport python3 -m unittest -v test_morelapi

The library is one per process: the module starts it once and the tests share
the device, so each test leaves the device as it found it where that matters.
"""
import contextlib
import gc
import io
import os
import threading
import unittest

import morelapi

WAIT = 10.0


class Events:
    """Every event of the slots registered with it, waited for with a deadline."""

    def __init__(self):
        self.cond = threading.Condition()
        self.seen = []

    def callback(self, code, user_word, value):
        with self.cond:
            self.seen.append((code, user_word, value, threading.get_ident()))
            self.cond.notify_all()

    def wait_for(self, code, value=None, timeout=WAIT):
        def found():
            return any(c == code and (value is None or v == value) for c, _, v, _ in self.seen)
        with self.cond:
            if not self.cond.wait_for(found, timeout):
                raise AssertionError("no event 0x%04x (value %r); saw %r" %
                                     (code, value, [(hex(c), v) for c, _, v, _ in self.seen]))
            return [e for e in self.seen if e[0] == code and (value is None or e[2] == value)][-1]

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
    def test_status_and_identity(self):
        self.assertTrue(morelapi.is_available())
        self.assertIsInstance(morelapi.get_status(), int)
        status, status2 = morelapi.get_status2()
        self.assertEqual(status, morelapi.get_status())
        versions = [morelapi.get_version(k) for k in range(3)]
        self.assertTrue(all(isinstance(v, int) for v in versions))
        self.assertGreaterEqual(morelapi.get_cti_version(), 0x10)
        code, value = morelapi.get_destination()
        self.assertIsInstance(value, int)
        self.assertEqual(len(morelapi.get_network_info(1)), 6)
        self.assertIsInstance(morelapi.get_network_info(7), int)
        entries = morelapi.active_unicode()
        self.assertTrue(all(len(e) == 44 for e in entries))
        self.assertIn(b"READY", morelapi.get_display())
        self.assertEqual(len(morelapi.get_display()), 721)

    def test_arguments_outside_the_accepted_values_raise_before_sending(self):
        cases = [(morelapi.get_network_info, (0,)), (morelapi.get_network_info, (8,)),
                 (morelapi.get_version, (3,)), (morelapi.set_ringer_volume, (4,)),
                 (morelapi.set_receive_volume, (0,)), (morelapi.set_receive_volume, (9,)),
                 (morelapi.set_slow_talk, (1,)), (morelapi.set_sound_enhancer, (3,)),
                 (morelapi.get_contact, (0,)), (morelapi.get_contact, (101,)),
                 (morelapi.delete_contact, (254,)), (morelapi.get_record_info, (101,)),
                 (morelapi.set_playback_volume, (9,)), (morelapi.get_system_data, (11,)),
                 (morelapi.set_system_data, (66, 1 << 32)), (morelapi.set_system_data, (131, b"x")),
                 (morelapi.make_call, ("9" * 129,)), (morelapi.send_raw_data, (b"\0" * 129,)),
                 (morelapi.set_rtcp_send, (b"", 2)), (morelapi.set_key, ("FF",)),
                 (morelapi.register_event, (8, print)), (morelapi.register_event, (2, print, -1))]
        for fn, args in cases:
            with self.subTest(fn=fn.__name__, args=args):
                with self.assertRaises(ValueError):
                    fn(*args)
        with self.assertRaises(TypeError):
            morelapi.set_ringer_volume("3")
        with self.assertRaises(TypeError):
            morelapi.make_call(5551234)
        # A bool is no number, and each kind of item takes its own type.
        for fn, args in [(morelapi.set_ringer_volume, (True,)), (morelapi.get_contact, (True,)),
                         (morelapi.register_event, (morelapi.Slot.CALL, print, False)),
                         (morelapi.set_system_data, (66, True)), (morelapi.set_system_data, (66, "5")),
                         (morelapi.set_system_data, (82, 5))]:
            with self.subTest(fn=fn.__name__, args=args):
                with self.assertRaises(TypeError):
                    fn(*args)

    def test_refusal_raises_request_refused(self):
        # Nothing rings: the device refuses to answer.
        with self.assertRaises(morelapi.RequestRefusedError) as caught:
            morelapi.answer_call()
        self.assertIn("AnswerCall", str(caught.exception))


class Settings(unittest.TestCase):
    def test_items_round_trip(self):
        # Numbers come back as int, texts as str with their bytes in .raw.
        cases = [(66, 123456, 123456, (123456).to_bytes(4, "little")),
                 (85, b"\x01\x02", 0x0201, b"\x01\x02"),
                 (82, "hello python", "hello python", b"hello python".ljust(128, b"\0")),
                 (93, b"abc", "abc", b"abc".ljust(32, b"\0"))]
        for item, value, read, stored in cases:
            with self.subTest(item=item):
                events.clear()
                morelapi.set_system_data(item, value)
                got = morelapi.get_system_data(item)
                self.assertIsInstance(got, morelapi.Text if isinstance(read, str) else int)
                self.assertEqual(got, read)
                self.assertEqual(morelapi.get_system_data(item, raw=True), stored)
                # The device reports the change on slot 3 with the item id.
                code, word, _, _ = events.wait_for(morelapi.Event.SYSTEM_DATA, item)
                self.assertEqual(word, 100 + morelapi.Slot.SYSTEM_DATA)
                self.assertEqual(morelapi.get_changed_system_data(), (item, read))
                self.assertEqual(morelapi.get_changed_system_data(raw=True), (item, stored))
        self.assertEqual(morelapi.get_system_data(82).raw, b"hello python".ljust(128, b"\0"))
        self.assertIsNone(morelapi.get_system_data(130))

    def test_volume_set_reaches_the_cache_through_the_event(self):
        old = morelapi.get_ringer_volume()
        new = 3 if old != 3 else 1
        events.clear()
        morelapi.set_ringer_volume(new)
        events.wait_for(morelapi.EVENT_RINGER_VOLUME, new)
        self.assertEqual(morelapi.get_ringer_volume(), new)
        morelapi.set_ringer_volume(old)
        events.wait_for(morelapi.EVENT_RINGER_VOLUME, old)

    def test_audio_modes(self):
        for mode in (0, 2, 3):
            morelapi.set_slow_talk(mode)
            self.assertEqual(morelapi.get_slow_talk(), mode)
        morelapi.set_sound_enhancer(2)
        self.assertEqual(morelapi.get_sound_enhancer(), 2)
        morelapi.set_mute(True)
        morelapi.set_mute(False)

    def test_camera_rtcp_and_raw_data(self):
        morelapi.set_camera_info(7, 554, 1, "cam", b"str\0eam", 30, 720)
        info = morelapi.get_camera_info()
        self.assertEqual((info.value1, info.value2, info.value3, info.value4, info.value5), (7, 554, 1, 30, 720))
        self.assertEqual((info.text1, info.text1.raw), ("cam", b"cam".ljust(17, b"\0")))
        self.assertEqual(info.text2.raw, b"str\0eam".ljust(17, b"\0"))  # 17 bytes as given, past the zero
        morelapi.set_rtcp_send(bytes(range(84)))
        self.assertEqual(len(morelapi.get_rtcp_receive()), 88)
        version, _ = morelapi.get_rtcp_version()
        self.assertGreater(version, 0)
        self.assertIsInstance(morelapi.get_operating_mode(), int)

        block = bytes(range(128))
        events.clear()
        morelapi.send_raw_data(block)  # the simulated device sends it back as event 0x0002
        events.wait_for(morelapi.EVENT_RAW_DATA)
        self.assertEqual(morelapi.receive_raw_data(), block)

    def test_contacts_and_recordings(self):
        count = morelapi.get_contact_count()
        answer = morelapi.set_contact("PY NAME", 9, "5550042")
        self.assertNotEqual(answer, 0)
        self.assertEqual(morelapi.get_contact_count(), count + 1)
        contact = morelapi.get_contact(count + 1)
        self.assertEqual(contact, ("PY NAME", 9, "5550042"))
        self.assertEqual(contact.data2.raw, b"5550042".ljust(129, b"\0"))
        morelapi.delete_contact(count + 1)
        self.assertEqual(morelapi.get_contact_count(), count)

        records = morelapi.get_record_count()
        if records:
            info = morelapi.get_record_info(1)
            self.assertIsInstance(info, morelapi.RecordInfo)
        self.assertIsInstance(morelapi.get_record_op_status(), int)
        self.assertIsInstance(morelapi.get_playback_volume(), int)


class Calls(unittest.TestCase):
    def test_call_placed_reported_and_ended(self):
        events.clear()
        morelapi.make_call("5551234")
        # The call events come on slot 2 with the call id as their value,
        # on the library's event thread.
        code, word, call_id, thread = events.wait_for(morelapi.Event.CALL_0201)
        self.assertIs(code, morelapi.Event.CALL_0201)
        self.assertIs(code.call_state, morelapi.CallState.DIALLING)
        self.assertEqual(word, 100 + morelapi.Slot.CALL)
        self.assertNotEqual(thread, threading.get_ident())
        info = morelapi.get_call_info(call_id)
        self.assertIsInstance(info.state, morelapi.CallState)
        self.assertNotEqual(info.state, morelapi.CallState.IDLE)
        self.assertEqual((info.text, info.text.raw), ("5551234", b"5551234".ljust(129, b"\0")))
        self.assertIsNone(morelapi.get_call_info(200))  # no such call
        morelapi.end_call(call_id)
        with events.cond:
            self.assertTrue(events.cond.wait_for(
                lambda: any(c in morelapi.CALL_END_EVENTS and v == call_id for c, _, v, _ in events.seen), WAIT))
        end_states = {c.call_state for c in morelapi.CALL_END_EVENTS}
        info = morelapi.get_call_info(call_id)
        self.assertTrue(info is None or info.state in end_states, info)


class Callbacks(unittest.TestCase):
    def test_callbacks_stay_alive_without_a_reference_of_the_caller(self):
        got = threading.Event()
        morelapi.register_event(morelapi.SLOT_RAW_DATA,
                                lambda code, word, value: got.set() if code == morelapi.EVENT_RAW_DATA else None)
        gc.collect()
        try:
            morelapi.send_raw_data(b"keep me alive")
            self.assertTrue(got.wait(WAIT))
        finally:
            morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)

    def test_a_raising_callback_does_not_stop_later_events(self):
        def boom(code, word, value):
            raise RuntimeError("a callback that fails")
        morelapi.register_event(morelapi.SLOT_RAW_DATA, boom)
        try:
            with contextlib.redirect_stderr(io.StringIO()):
                morelapi.send_raw_data(b"one")
                # The next registration still hears the next event.
                morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)
                events.clear()
                morelapi.send_raw_data(b"two")
                events.wait_for(morelapi.EVENT_RAW_DATA)
        finally:
            morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)

    def test_unregistered_slot_is_silent_but_the_cache_follows(self):
        morelapi.unregister_event(morelapi.SLOT_RAW_DATA)
        try:
            events.clear()
            block = b"\x55" * 128
            morelapi.send_raw_data(block)
            # Events are handled in arrival order: once the volume event that
            # follows has come, the raw data event has been handled too.
            volume = morelapi.get_ringer_volume()
            morelapi.set_ringer_volume(volume)
            events.wait_for(morelapi.EVENT_RINGER_VOLUME, volume)
            self.assertEqual(morelapi.receive_raw_data(), block)
            self.assertFalse([e for e in events.seen if e[0] == morelapi.EVENT_RAW_DATA])
        finally:
            morelapi.register_event(morelapi.SLOT_RAW_DATA, events.callback, 100)


class DeviceSlot(unittest.TestCase):
    """Slot 1 is shared with the module, which waits on its events."""

    def test_callback_gets_its_word_until_unregistered(self):
        mine = Events()
        volume = morelapi.get_ringer_volume()
        other = 1 if volume != 1 else 2
        morelapi.register_event(morelapi.SLOT_DEVICE, mine.callback, user_word=7)
        try:
            morelapi.set_ringer_volume(other)
            code, word, value, _ = mine.wait_for(morelapi.EVENT_RINGER_VOLUME, other)
            self.assertEqual(word, 7)
            morelapi.unregister_event(morelapi.SLOT_DEVICE)
            self.assertTrue(morelapi.wait_until_available(0))
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
    def test_library_block_starts_waits_for_the_link_and_stops(self):
        morelapi.terminate()
        try:
            with morelapi.Library(timeout=WAIT) as lib:
                self.assertTrue(lib.is_available())
                self.assertIsInstance(lib.get_status(), int)
                # A fresh library holds no reported change: no request was made.
                with self.assertRaises(morelapi.NotReportedError) as caught:
                    lib.get_changed_system_data()
                self.assertIn("nothing reported yet", str(caught.exception))
                self.assertIn(lib.get_key()[1], list(morelapi.KeyAction) + list(range(3, 256)))
            self.assertFalse(morelapi.is_available())
            # No device to link with: the block is not entered and the library is stopped.
            os.environ["TALVO_DEVICE"] = "unix:/nonexistent/morelapi-test.sock"
            try:
                with self.assertRaises(morelapi.NoDeviceError):
                    with morelapi.Library(timeout=0.5):
                        self.fail("entered without a link")
            finally:
                os.environ["TALVO_DEVICE"] = "sim"
            self.assertFalse(morelapi.is_available())
            with self.assertRaises(morelapi.NoDeviceError):
                morelapi.get_changed_system_data()
        finally:
            setUpModule()

    def test_stopped_library_raises_no_device_and_starts_again(self):
        morelapi.terminate()
        try:
            self.assertFalse(morelapi.is_available())
            with self.assertRaises(morelapi.NoDeviceError):
                morelapi.get_status()
            with self.assertRaises(morelapi.NoDeviceError):
                morelapi.register_event(morelapi.SLOT_DEVICE, print)
            self.assertTrue(morelapi.cancel_command())
        finally:
            setUpModule()
        self.assertTrue(morelapi.is_available())
        self.assertIsInstance(morelapi.get_status(), int)


if __name__ == "__main__":
    unittest.main()
