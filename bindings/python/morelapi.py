"""Python binding of morelapi, the host-side library of the USB conference
speakerphone. Pure ctypes: no compiler, no dependencies.

    import morelapi
    with morelapi.Library() as lib:        # starts, waits for the link, stops
        print(lib.get_status())
        lib.register_event(morelapi.Slot.CALL, lambda code, user, call_id: print(code.name, call_id))
        lib.make_call("5551234")

Every export of the library has a function here (snake_case names, listed in
__all__); each returns its values or raises:

  ValueError        an argument outside what the library accepts (nothing was sent)
  NoDeviceError     the library is not started or the device link is down
  DeviceTimeoutError  the device did not answer within 3 s
  RequestRefusedError the device refused or failed the request
  NotReportedError  a cached getter has nothing yet (no request was made)

Finding the library: MORELAPI_LIBRARY (a file, or a directory holding it),
then the module's own directory, then the system's search path. The library
loads its transport (libtalvo / TALVO.dll) by itself; TALVO_DEVICE=sim picks
the in-process simulated device.

Callbacks run on the library's threads (the event thread; the link report
0x0105 on the link thread). The module keeps every callback object alive
until terminate(), also after unregister_event(), because the library may be
running it at that very moment.

The module itself listens on slot 1 (the device slot: link reports and the
display) from initialize() on, and hands those events on to the callback
registered there. That is how wait_until_available() and a request that finds
the library's own display re-read in progress wait: on the events, never by
polling.
"""
import collections
import enum
import ctypes
import ctypes.util
import os
import sys
import threading
import time
import traceback

__all__ = [
    "MorelapiError", "NoDeviceError", "DeviceTimeoutError", "RequestRefusedError", "NotReportedError",
    "Library", "Slot", "Event", "CallState", "KeyAction", "Text", "CALL_END_EVENTS",
    "load", "initialize", "terminate", "is_available", "is_command_active", "is_product_default",
    "cancel_command", "error_code", "reboot", "wait_until_available",
    "register_event", "unregister_event",
    "get_status", "get_status2", "get_version", "get_cti_version", "get_destination", "get_network_info",
    "active_unicode",
    "get_key", "set_key", "get_display",
    "make_call", "end_call", "answer_call", "hold_operate", "join_call", "invite_conference", "reject_call",
    "set_mute", "get_slow_talk", "set_slow_talk", "get_sound_enhancer", "set_sound_enhancer",
    "get_ringer_volume", "set_ringer_volume", "get_receive_volume", "set_receive_volume",
    "get_system_data", "set_system_data", "get_changed_system_data", "get_call_info",
    "get_contact_count", "get_contact", "set_contact", "delete_contact",
    "get_record_count", "get_record_info", "delete_record", "delete_all_records", "start_recording",
    "stop_recording", "start_playback", "stop_playback", "pause_playback", "resume_playback",
    "get_playback_position", "get_playback_volume", "set_playback_volume", "get_record_op_status",
    "set_camera_info", "get_camera_info", "get_operating_mode",
    "set_rtcp_send", "get_rtcp_receive", "set_rtcp_version", "get_rtcp_version",
    "send_raw_data", "receive_raw_data",
    "CallInfo", "Contact", "RecordInfo", "CameraInfo", "ITEM_WIDTHS", "TEXT_ITEMS", "ACTION_ITEMS",
]

# The public header's numbers (morelapi.h): event slots, the codes the library
# gives a meaning, buffer sizes, the call events and the system data items.
# ---- generated from include/morelapi.h by generate_tables.py: do not edit ----
SLOT_RAW_DATA = 0
SLOT_DEVICE = 1
SLOT_CALL = 2
SLOT_SYSTEM_DATA = 3
SLOT_CONTACTS = 4
SLOT_RECORDS = 5
SLOT_RECORDER = 6
SLOT_RTCP = 7
SLOT_COUNT = 8
EVENT_RAW_DATA = 0x0002
EVENT_KEY = 0x0104
EVENT_LINK = 0x0105
EVENT_DISPLAY = 0x0106
EVENT_RINGER_VOLUME = 0x0107
EVENT_RECEIVE_VOLUME = 0x0108
EVENT_PLAYBACK_VOLUME = 0x0109
EVENT_SYSTEM_DATA = 0x0301
DISPLAY_BYTES = 721
UNICODE_ENTRY_BYTES = 44
UNICODE_TABLE_BYTES = 440
CALL_TEXT_BYTES = 129
CONTACT_DATA1_BYTES = 34
CONTACT_DATA2_BYTES = 129
CAMERA_TEXT_BYTES = 17
RTCP_SEND_BYTES = 84
RTCP_RECEIVE_BYTES = 88
RAW_DATA_BYTES = 128
# Slot's members; Event's members other than the call events.
_SLOTS = (
    ("RAW_DATA", 0), ("DEVICE", 1), ("CALL", 2), ("SYSTEM_DATA", 3), ("CONTACTS", 4), ("RECORDS", 5),
    ("RECORDER", 6), ("RTCP", 7),
)
_EVENTS = (
    ("RAW_DATA", 0x0002), ("KEY", 0x0104), ("LINK", 0x0105), ("DISPLAY", 0x0106), ("RINGER_VOLUME", 0x0107),
    ("RECEIVE_VOLUME", 0x0108), ("PLAYBACK_VOLUME", 0x0109), ("SYSTEM_DATA", 0x0301),
)
# The call events: (code, the call state it reports, CallState's name of that state,
# whether the call is over).
_CALL_EVENTS = (
    (0x0201, 8, "DIALLING", False), (0x0202, 9, "RINGING", False), (0x0203, 2, "CONNECTED", False),
    (0x0204, 10, "STATE_10", False), (0x0205, 0, "IDLE", True), (0x0206, 16, "ALERTING", False),
    (0x0207, 12, "HELD", False), (0x0208, 11, "ACTIVE", False), (0x0209, 13, "JOINED", False),
    (0x020A, 15, "CONFERENCE", False), (0x020C, 4, "ENDED_HERE", True), (0x020D, 5, "REJECTED", True),
    (0x020E, 6, "ENDED_BY_FAR_END", True), (0x020F, 7, "ENDED", True), (0x0210, 18, "STATE_18", False),
    (0x0211, 19, "STATE_19", False), (0x0212, 20, "STATE_20", False), (0x0213, 17, "STATE_17", False),
    (0x0214, 22, "STATE_22", False), (0x0215, 23, "STATE_23", False), (0x0216, 24, "ENDED_24", True),
    (0x0217, 25, "ENDED_25", True), (0x0218, 26, "ENDED_26", True), (0x0219, 21, "STATE_21", False),
    (0x021A, 27, "STATE_27", False), (0x021B, 28, "STATE_28", False), (0x021C, 29, "STATE_29", False),
    (0x021D, 30, "STATE_30", False), (0x021E, 31, "STATE_31", False), (0x021F, 32, "STATE_32", False),
)
# The items, the stored ones in store order, then the actions: (id, width in bytes, 0 for an
# action; whether the bytes are a zero-terminated text).
_ITEMS = (
    (1, 1, False), (2, 5, False), (3, 1, False), (4, 1, False), (5, 1, False), (6, 1, False), (7, 1, False),
    (19, 1, False), (8, 1, False), (9, 1, False), (10, 1, False), (17, 1, False), (18, 1, False), (33, 1, False),
    (34, 1, False), (49, 1, False), (50, 1, False), (51, 1, False), (52, 1, False), (53, 1, False), (65, 1, False),
    (66, 4, False), (67, 4, False), (68, 4, False), (69, 1, False), (70, 4, False), (71, 4, False), (81, 1, False),
    (82, 128, True), (83, 4, False), (84, 128, True), (85, 2, False), (86, 4, False), (87, 128, True),
    (88, 2, False), (89, 4, False), (90, 128, True), (91, 2, False), (92, 1, False), (93, 32, True), (94, 32, True),
    (95, 32, True), (97, 1, False), (98, 1, False), (101, 2, False), (102, 2, False), (103, 2, False),
    (104, 1, False), (109, 1, False), (113, 2, False), (114, 1, False), (115, 1, False), (116, 1, False),
    (117, 1, False), (118, 1, False), (129, 0, False), (130, 0, False), (131, 0, False), (132, 0, False),
)
# ---- end of the generated tables ----

Slot = enum.IntEnum("Slot", _SLOTS, module=__name__)
Slot.__doc__ = """The eight event slots of register_event()."""

CallState = enum.IntEnum("CallState", sorted(((name, state) for _, state, name, _ in _CALL_EVENTS),
                                             key=lambda member: member[1]), module=__name__)
CallState.__doc__ = """The call states the device reports (get_call_info().state)."""


class KeyAction(enum.IntEnum):
    """The actions of set_key() and get_key()."""
    PRESS = 0
    DOWN = 1
    UP = 2


# The call event codes of slot 2, each with the call state it stands for.
_CALL_EVENT_STATES = {code: state for code, state, _, _ in _CALL_EVENTS}

Event = enum.IntEnum("Event", list(_EVENTS) + [("CALL_%04X" % code, code) for code in sorted(_CALL_EVENT_STATES)],
                     module=__name__)
Event.__doc__ = """Event codes the library gives a value or a meaning; callbacks get
these members (other codes as plain ints). Event.CALL_xxxx are the call events."""
Event.call_state = property(lambda self: (CallState(_CALL_EVENT_STATES[self]) if self in _CALL_EVENT_STATES
                                          else None), doc="The call state a call event stands for, else None.")

# The call events after which the call is over.
CALL_END_EVENTS = frozenset(Event(code) for code, _, _, ended in _CALL_EVENTS if ended)

UNICODE_TABLE_ENTRIES = UNICODE_TABLE_BYTES // UNICODE_ENTRY_BYTES

# The device's numbered settings as the library stores them: id -> width.
ITEM_WIDTHS = {item: width for item, width, _ in _ITEMS if width}
TEXT_ITEMS = frozenset(item for item, _, text in _ITEMS if text)
ACTION_ITEMS = frozenset(item for item, width, _ in _ITEMS if not width)  # sent without a value


class MorelapiError(Exception):
    """A call of the library failed."""


class NoDeviceError(MorelapiError):
    """The library is not started or the device link is down."""


class DeviceTimeoutError(MorelapiError):
    """The device did not answer within 3 s."""


class RequestRefusedError(MorelapiError):
    """The device refused or failed the request."""


class NotReportedError(MorelapiError):
    """A cached getter has nothing to give yet (e.g. no change reported
    yet); no request was made."""


class Text(str):
    """A text field: the decoded text (trailing NULs stripped); .raw holds
    the field's bytes as the device gave them."""
    __slots__ = ("raw",)

    def __new__(cls, raw):
        raw = bytes(raw)
        text = super().__new__(cls, raw.rstrip(b"\0").decode("utf-8", "replace"))
        text.raw = raw
        return text


CallInfo = collections.namedtuple("CallInfo", "state text value")
Contact = collections.namedtuple("Contact", "data1 byte data2")
RecordInfo = collections.namedtuple("RecordInfo", "a1 a2 a3 value b1 b2 b3 b4")
CameraInfo = collections.namedtuple("CameraInfo", "value1 value2 value3 text1 text2 value4 value5")

_u8, _u16, _u32, _i8, _int, _vp = (ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int8,
                                   ctypes.c_int, ctypes.c_void_p)
_pu8, _pu16, _pu32 = ctypes.POINTER(_u8), ctypes.POINTER(_u16), ctypes.POINTER(_u32)

# __stdcall on 32-bit Windows, the platform's C convention elsewhere.
_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
_FUNCTYPE = ctypes.WINFUNCTYPE if _STDCALL else ctypes.CFUNCTYPE
_Callback = _FUNCTYPE(None, _u32, _u32, _vp)

# name: (result, argument types) of every export.
_PROTOTYPES = {
    "InitializeUsbApiLib": (_int, []), "TerminateUsbApiLib": (None, []),
    "IsSPphoneAvailable": (_int, []), "IsCommandActive": (_int, []), "IsProductDefault": (_int, []),
    "DoCancelCommand": (_int, []), "ErrorCode": (_u16, []), "Reboot": (_int, []),
    "RegisterEvent": (_u32, [_u16, _Callback, _u32, _vp]), "UnregisterEvent": (_u32, [_u16]),
    "GetSPphoneStatus": (_int, [_pu8]), "GetSPphoneStatus2": (_int, [_pu8, _pu8]),
    "GetVersionSpeakerphone": (_int, [_u8, _pu16]), "GetCTIVersion": (_int, [_pu8]),
    "GetDestination": (_int, [_pu8, _pu16]), "GetIPnetworkInfo": (_int, [_u8, _vp]),
    "ActiveUnicode": (_int, [_vp, _pu8]),
    "GetKey": (_int, [_pu8, _pu8]), "SetKey": (_int, [_u8, _u8]), "GetLCDdata": (_int, [_vp]),
    "MakeCall": (_int, [_u8, _u8, _vp]), "EndCall": (_int, [_u8]), "AnswerCall": (_int, []),
    "HoldOperate": (_int, [_u8]), "JoinCall": (_int, []), "InviteConference": (_int, []),
    "RejectCall": (_int, []),
    "SetMute": (_int, [_u8]), "GetSlowTalk": (_int, [_pu8]), "SetSlowTalk": (_int, [_u8]),
    "GetSoundEnhancer": (_int, [_pu8]), "SetSoundEnhancer": (_int, [_u8]), "GetRingerVol": (_int, [_pu8]),
    "SetRingerVol": (_int, [_u8]), "GetReceiveVol": (_int, [_pu8]), "SetReceiverVol": (_int, [_u8]),
    "GetSystemData": (_int, [_u16, _vp]), "SetSystemData": (_int, [_u16, _vp]),
    "GetChangedSystemData": (_int, [_pu16, _vp]), "GetCallInfo": (_int, [_u8, _pu8, _vp, _pu32]),
    "GetContactCount": (_int, [_pu8]), "GetContact": (_int, [_u8, _vp, _pu8, _vp]),
    "SetContact": (_u8, [_vp, _pu8, _vp]), "DeleteContact": (_int, [_u8]),
    "GetRecordCount": (_int, [_pu8]), "GetRecordInfo": (_int, [_u8, _vp, _pu32, _vp]),
    "DeleteRecord": (_int, [_u8]), "DeleteAllRecords": (_int, []), "StartRecording": (_int, []),
    "StopRecording": (_int, []), "StartPlayback": (_int, [_u8]), "StopPlayback": (_int, []),
    "PausePlayback": (_int, []), "ResumePlayback": (_int, [_u32]), "GetCurrentPlaybackPos": (_int, [_pu32]),
    "GetPlaybackVol": (_int, [_pu8]), "SetPlaybackVol": (_int, [_u8]), "GetRecordOpStatus": (_int, [_pu32]),
    "SetNwCameraInfo": (_int, [_u32, _u16, _u8, _vp, _vp, _u32, _u16]),
    "GetNwCameraInfo": (_int, [_pu32, _pu16, _pu8, _vp, _vp, _pu32, _pu16]), "GetOpeMode": (_i8, []),
    "SetRtcpSend": (_int, [_u16, _vp]), "GetRtcpReceive": (_int, [_u16, _vp]),
    "SetRtcpVer": (_u16, [_u16, _u32, _u8]), "GetRtcpVer": (_u16, [_u32, _u32, _pu8]),
    "SendFixed128RawData": (_int, [_vp]), "ReceiveFixed128RawData": (_int, [_vp]),
}

_TIMED_OUT_AFTER = 2.9  # the library gives up on the device after 3000 ms
_BUSY_WAIT = 3.5        # how long to let the library's own request finish first

_lock = threading.Lock()
_lib = None
_callbacks = {}  # slot -> (ctypes callback, python callable)
_retired = []    # callbacks replaced or unregistered while the library runs
_device_events = threading.Condition()  # notified on every event of slot 1
_device_slot_user = None  # (python callable) registered on slot 1, or None
_device_slot_word = 0     # its user word
_watching = False         # the module's slot 1 callback is registered
_requests = threading.Lock()  # one request of this module at a time


def _candidates():
    names = {"win32": ["MORELAPI.dll"], "darwin": ["libmorelapi.dylib"]}.get(
        sys.platform, ["libmorelapi.so", "libmorelapi.so.1"])
    given = os.environ.get("MORELAPI_LIBRARY")
    if given:
        if os.path.isdir(given):
            for name in names:
                yield os.path.join(given, name)
        else:
            yield given
        return  # an explicit choice is not second-guessed
    here = os.path.dirname(os.path.abspath(__file__))
    for name in names:
        path = os.path.join(here, name)
        if os.path.exists(path):
            yield path
    found = ctypes.util.find_library("morelapi")
    if found:
        yield found
    for name in names:
        yield name  # the loader's own search path


def load():
    """Loads the library (once) and returns the ctypes handle."""
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL
        errors = []
        for path in _candidates():
            try:
                lib = loader(path)
                break
            except OSError as e:
                errors.append("%s: %s" % (path, e))
        else:
            raise MorelapiError("cannot load the morelapi library (set MORELAPI_LIBRARY): " + "; ".join(errors))
        for name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _lib = lib
        return lib


def _buffer(size):
    return (ctypes.c_uint8 * size)()


def _bytes_arg(value, size, what, max_text=None):
    """bytes (at most size) or str (at most max_text bytes in UTF-8), zero-padded to size."""
    if isinstance(value, str):
        data = value.encode("utf-8")
        limit = size if max_text is None else max_text
        if len(data) > limit:
            raise ValueError("%s: text of %d bytes, at most %d fit" % (what, len(data), limit))
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        if len(data) > size:
            raise ValueError("%s: %d bytes, at most %d fit" % (what, len(data), size))
    else:
        raise TypeError("%s: bytes or str expected, got %s" % (what, type(value).__name__))
    buf = _buffer(size)
    ctypes.memmove(buf, data, len(data))
    return buf


def _check_range(value, allowed, what, accepted=None):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s: an integer expected, got %s" % (what, type(value).__name__))
    if value not in allowed:
        raise ValueError("%s: %r is not accepted (%s)" % (what, value, accepted or _describe(allowed)))
    return value


def _describe(allowed):
    if isinstance(allowed, range) and allowed.step == 1:
        return "%d..%d" % (allowed.start, allowed.stop - 1)
    return ", ".join(str(v) for v in allowed)


def _cached(name, *args):
    """Calls a cached getter, which answers at once; raises the error that
    fits a failure."""
    lib = load()
    if getattr(lib, name)(*args):
        return
    if not lib.IsSPphoneAvailable():
        raise NoDeviceError("%s: no device (the library is not started or the link is down)" % name)
    raise NotReportedError("%s: nothing reported yet" % name)


def _call(name, *args, ok=lambda r: r != 0):
    """Calls a device export; raises the error that fits a failure."""
    lib = load()
    fn = getattr(lib, name)
    with _requests:
        # Our own threads take turns on _requests. A request of the
        # library's own (the display re-read on its event thread) makes ours
        # fail at once: let it finish first. It ends with a display event
        # on slot 1, or it timed out on the device.
        if lib.IsCommandActive():
            _watch_device_slot()
            with _device_events:
                _device_events.wait_for(lambda: not lib.IsCommandActive(), _BUSY_WAIT)
        start = time.monotonic()
        result = fn(*args)
    if ok(result):
        return result
    if not lib.IsSPphoneAvailable():
        raise NoDeviceError("%s: no device (the library is not started or the link is down)" % name)
    if time.monotonic() - start >= _TIMED_OUT_AFTER:
        raise DeviceTimeoutError("%s: timed out (no answer from the device within 3 s)" % name)
    raise RequestRefusedError("%s: refused (the device rejected or failed the request)" % name)


# ---- lifecycle and status ----

def initialize():
    """Starts the library; the device link comes up by itself (see
    wait_until_available and event 0x0105 on slot 1)."""
    if not load().InitializeUsbApiLib():
        raise MorelapiError("InitializeUsbApiLib failed")
    _watch_device_slot()


def terminate():
    """Stops the library (its threads are joined) and drops the callbacks."""
    global _device_slot_user, _device_slot_word, _watching
    load().TerminateUsbApiLib()
    with _lock:
        _callbacks.clear()
        del _retired[:]
        _device_slot_user = None
        _device_slot_word = 0
        _watching = False


def is_available():
    return load().IsSPphoneAvailable() == 1


def is_command_active():
    return load().IsCommandActive() == 1


def is_product_default():
    return load().IsProductDefault() == 1


def cancel_command():
    return load().DoCancelCommand() == 1


def wait_until_available(timeout=10.0):
    """Waits up to timeout seconds for the device link; True when it is up."""
    _watch_device_slot()
    with _device_events:
        return _device_events.wait_for(is_available, timeout)


class Library:
    """The library for the length of a with-block:

        with morelapi.Library(timeout=10) as lib:
            print(lib.get_status())

    Entering starts the library and waits up to timeout seconds for the
    device link (the module listens on slot 1 first, then asks whether the
    link is up, then waits for the link report), raising NoDeviceError (with
    the library stopped again) when it does not come up. Leaving stops the
    library. Inside, lib.<function> is the module's function of that name."""

    def __init__(self, timeout=10.0):
        self.timeout = timeout

    def __enter__(self):
        initialize()
        if not wait_until_available(self.timeout):
            terminate()
            raise NoDeviceError("no device link within %g s" % self.timeout)
        return self

    def __exit__(self, *exc):
        terminate()
        return False

    def __getattr__(self, name):
        if name in _LIBRARY_FUNCTIONS:
            return globals()[name]
        raise AttributeError(name)


def error_code():
    """The device's own error code (0 also when the request failed)."""
    return load().ErrorCode()


def reboot():
    _call("Reboot")


# ---- events ----

# Events whose callback data is a value: one byte, or the item id (u16).
_BYTE_EVENTS = frozenset((EVENT_LINK, EVENT_RINGER_VOLUME, EVENT_RECEIVE_VOLUME, EVENT_PLAYBACK_VOLUME))


def _event_value(slot, code, data):
    if not data:
        return None
    if code == EVENT_SYSTEM_DATA:
        return ctypes.cast(data, _pu16)[0]
    if code in _BYTE_EVENTS or slot == SLOT_CALL:
        return ctypes.cast(data, _pu8)[0]
    return None


def _deliver(slot, callback, code, word, data):
    try:
        known = Event(code) if code in Event._value2member_map_ else code
        callback(known, word, _event_value(slot, code, data))
    except BaseException:  # never let an exception unwind into the library
        traceback.print_exc()


def _on_device_slot(code, word, data):
    with _device_events:
        _device_events.notify_all()
    user = _device_slot_user
    if user is not None:
        _deliver(SLOT_DEVICE, user, code, word, data)


_device_slot_callback = _Callback(_on_device_slot)


def _watch_device_slot():
    """Registers the module's slot 1 callback, once per start of the library.
    Never under _lock: registering waits for a running slot 1 callback, which
    may itself be waiting for _lock."""
    global _watching
    if _watching:
        return
    ok = load().RegisterEvent(SLOT_DEVICE, _device_slot_callback, _device_slot_word, None) == 1
    with _lock:
        _watching = _watching or ok


def register_event(slot, callback, user_word=0):
    """Registers callback(code, user_word, value) on a Slot. code is an Event
    (or an int for codes without a name); value is the event's value (link
    state, volume, call id, item id) or None."""
    global _device_slot_user, _device_slot_word, _watching
    _check_range(slot, range(SLOT_COUNT), "slot")
    _check_range(user_word, range(1 << 32), "user word")
    if not callable(callback):
        raise TypeError("callback must be callable")
    if slot == SLOT_DEVICE:
        # Slot 1 stays the module's; the callback is called from there.
        if not load().RegisterEvent(slot, _device_slot_callback, user_word, None):
            raise NoDeviceError("RegisterEvent: the library is not started")
        with _lock:
            _watching = True
            _device_slot_user = callback
            _device_slot_word = user_word
        return
    c_callback = _Callback(lambda code, word, data: _deliver(slot, callback, code, word, data))
    with _lock:
        if slot in _callbacks:
            _retired.append(_callbacks[slot])
        _callbacks[slot] = (c_callback, callback)
    if not load().RegisterEvent(slot, c_callback, user_word, None):
        raise NoDeviceError("RegisterEvent: the library is not started")


def unregister_event(slot):
    global _device_slot_user
    _check_range(slot, range(SLOT_COUNT), "slot")
    if slot == SLOT_DEVICE:
        # The module keeps listening; the callback is no longer called.
        with _lock:
            started = _watching
            _device_slot_user = None
        if not started and not load().UnregisterEvent(slot):
            raise NoDeviceError("UnregisterEvent: the library is not started")
        return
    if not load().UnregisterEvent(slot):
        raise NoDeviceError("UnregisterEvent: the library is not started")
    with _lock:
        if slot in _callbacks:
            _retired.append(_callbacks.pop(slot))


# ---- status and identity ----

def get_status():
    s = _u8()
    _call("GetSPphoneStatus", ctypes.byref(s))
    return s.value


def get_status2():
    s, s2 = _u8(), _u8()
    _call("GetSPphoneStatus2", ctypes.byref(s), ctypes.byref(s2))
    return s.value, s2.value


def get_version(which):
    _check_range(which, range(3), "which")
    v = _u16()
    _cached("GetVersionSpeakerphone", which, ctypes.byref(v))
    return v.value


def get_cti_version():
    v = _u8()
    _cached("GetCTIVersion", ctypes.byref(v))
    return v.value


def get_destination():
    code, value = _u8(), _u16()
    _call("GetDestination", ctypes.byref(code), ctypes.byref(value))
    return code.value, value.value


def get_network_info(item):
    """Item 1: its 6 bytes; items 2..7: the 32-bit value."""
    _check_range(item, range(1, 8), "item")
    buf = _buffer(6)
    _call("GetIPnetworkInfo", item, buf)
    if item == 1:
        return bytes(buf)
    return int.from_bytes(bytes(buf[:4]), "little")


def active_unicode():
    """The 44-byte entries, as a list of bytes."""
    table = _buffer(UNICODE_ENTRY_BYTES * UNICODE_TABLE_ENTRIES)
    count = _u8()
    _cached("ActiveUnicode", table, ctypes.byref(count))
    n = min(count.value, UNICODE_TABLE_ENTRIES)
    raw = bytes(table)
    return [raw[k * UNICODE_ENTRY_BYTES:(k + 1) * UNICODE_ENTRY_BYTES] for k in range(n)]


# ---- keys and display ----

def _key_code(key):
    if isinstance(key, str):
        if len(key) != 1 or ord(key) > 255:
            raise ValueError("key: one character expected, got %r" % key)
        return ord(key)
    return _check_range(key, range(256), "key")


def _key_action(action):
    return KeyAction(action) if action in KeyAction._value2member_map_ else action


def get_key():
    """(key code, action) of the last key the device reported; the action as
    a KeyAction when it is one."""
    code, action = _u8(), _u8()
    _cached("GetKey", ctypes.byref(code), ctypes.byref(action))
    return code.value, _key_action(action.value)


def set_key(key, action=KeyAction.PRESS):
    """key: a character ('F') or a code; action a KeyAction (PRESS, DOWN, UP)
    or another byte, passed through."""
    _call("SetKey", _key_code(key), _check_range(action, range(256), "action"))


def get_display():
    image = _buffer(DISPLAY_BYTES)
    _cached("GetLCDdata", image)
    return bytes(image)


# ---- calls ----

def make_call(number, param1=0, param2=0):
    buf = _bytes_arg(number, CALL_TEXT_BYTES, "number", max_text=CALL_TEXT_BYTES - 1)
    _call("MakeCall", _check_range(param1, range(256), "param1"), _check_range(param2, range(256), "param2"), buf)


def end_call(param=0):
    _call("EndCall", _check_range(param, range(256), "param"))


def answer_call():
    _call("AnswerCall")


def hold_operate(param=0):
    _call("HoldOperate", _check_range(param, range(256), "param"))


def join_call():
    _call("JoinCall")


def invite_conference():
    _call("InviteConference")


def reject_call():
    _call("RejectCall")


def _call_state(state):
    return CallState(state) if state in CallState._value2member_map_ else state


def get_call_info(call_id):
    """CallInfo(state, text, value) of the call with that id: the state as a
    CallState, the text as Text (its 129 bytes in .raw). None when the
    library follows no call of that id."""
    state, value = _u8(), _u32()
    text = _buffer(CALL_TEXT_BYTES)
    _call("GetCallInfo", _check_range(call_id, range(256), "call id"), ctypes.byref(state), text,
          ctypes.byref(value))
    if state.value == 0 and text[0] == 0 and value.value == 0:
        return None
    return CallInfo(_call_state(state.value), Text(text), value.value)


# ---- audio ----

def set_mute(mute):
    _call("SetMute", 1 if mute else 0)


def get_slow_talk():
    v = _u8()
    _call("GetSlowTalk", ctypes.byref(v))
    return v.value


def set_slow_talk(mode):
    _call("SetSlowTalk", _check_range(mode, (0, 2, 3), "slow-talk mode"))


def get_sound_enhancer():
    v = _u8()
    _call("GetSoundEnhancer", ctypes.byref(v))
    return v.value


def set_sound_enhancer(mode):
    _call("SetSoundEnhancer", _check_range(mode, range(3), "sound-enhancer mode"))


def get_ringer_volume():
    v = _u8()
    _cached("GetRingerVol", ctypes.byref(v))
    return v.value


def set_ringer_volume(volume):
    _call("SetRingerVol", _check_range(volume, range(4), "ringer volume"))


def get_receive_volume():
    v = _u8()
    _cached("GetReceiveVol", ctypes.byref(v))
    return v.value


def set_receive_volume(volume):
    _call("SetReceiverVol", _check_range(volume, range(1, 9), "receive volume"))


# ---- system data ----

def _item_width(item_id):
    if item_id in ACTION_ITEMS:
        return 0
    if item_id not in ITEM_WIDTHS:
        raise ValueError("item %r is not a setting the library knows" % (item_id,))
    return ITEM_WIDTHS[item_id]


def _item_value(item_id, data):
    """A stored item as Python sees it: Text for the text items, int
    (little-endian) for the others, None for the action items."""
    if item_id in TEXT_ITEMS:
        return Text(data)
    if item_id in ACTION_ITEMS:
        return None
    return int.from_bytes(data, "little")


def get_system_data(item_id, raw=False):
    """The item's value: Text for the text items, int for the numeric ones,
    None for the action items; with raw=True its bytes (its width)."""
    width = _item_width(item_id)
    buf = _buffer(width + 1)
    _call("GetSystemData", item_id, buf)
    data = bytes(buf[:width])
    return data if raw else _item_value(item_id, data)


def set_system_data(item_id, value=None):
    """value: an int for the numeric items (little-endian in the item's
    width), a str for the text items (UTF-8, zero-padded), bytes for either
    (at most the width, zero-padded), nothing for the action items."""
    width = _item_width(item_id)
    what = "item %d" % item_id
    if width == 0:
        if value is not None:
            raise ValueError("item %d is an action and takes no value" % item_id)
        buf = _buffer(1)
    elif isinstance(value, (bytes, bytearray, memoryview)):
        buf = _bytes_arg(value, width, what)
    elif item_id in TEXT_ITEMS:
        if not isinstance(value, str):
            raise TypeError("%s is a text: str or bytes expected, got %s" % (what, type(value).__name__))
        buf = _bytes_arg(value, width, what)
    else:
        _check_range(value, range(1 << (8 * width)), what, "a number of %d bytes" % width)
        buf = _bytes_arg(value.to_bytes(width, "little"), width, what)
    _call("SetSystemData", item_id, buf)


def get_changed_system_data(raw=False):
    """(item id, value) of the item the device last reported as changed, its
    value as get_system_data() gives it. Raises NotReportedError before the
    device has reported any change."""
    item = _u16()
    buf = _buffer(129)
    _cached("GetChangedSystemData", ctypes.byref(item), buf)
    data = bytes(buf[:ITEM_WIDTHS.get(item.value, 0)])
    return item.value, data if raw else _item_value(item.value, data)


# ---- contacts ----

def get_contact_count():
    v = _u8()
    _call("GetContactCount", ctypes.byref(v))
    return v.value


def get_contact(index):
    _check_range(index, range(1, 101), "contact index")
    d1, d2, b = _buffer(CONTACT_DATA1_BYTES), _buffer(CONTACT_DATA2_BYTES), _u8()
    _call("GetContact", index, d1, ctypes.byref(b), d2)
    return Contact(Text(d1), b.value, Text(d2))


def set_contact(data1, byte, data2):
    """Adds a contact; returns the device's answer byte."""
    d1 = _bytes_arg(data1, CONTACT_DATA1_BYTES, "data1", max_text=CONTACT_DATA1_BYTES - 1)
    d2 = _bytes_arg(data2, CONTACT_DATA2_BYTES, "data2", max_text=CONTACT_DATA2_BYTES - 1)
    b = _u8(_check_range(byte, range(256), "byte"))
    return _call("SetContact", d1, ctypes.byref(b), d2)


def delete_contact(index):
    """index 1..100, or "all"."""
    if index == "all":
        index = 255
    _call("DeleteContact", _check_range(index, list(range(1, 101)) + [255], "contact index", "1..100 or 'all'"))


# ---- recorder ----

def get_record_count():
    v = _u8()
    _call("GetRecordCount", ctypes.byref(v))
    return v.value


def get_record_info(index):
    _check_range(index, range(1, 101), "recording")
    a, b, value = _buffer(8), _buffer(12), _u32()
    _call("GetRecordInfo", index, a, ctypes.byref(value), b)
    a, b = bytes(a), bytes(b)
    le = lambda s: int.from_bytes(s, "little")
    return RecordInfo(le(a[0:4]), le(a[4:6]), a[6], value.value, le(b[0:4]), le(b[4:8]), le(b[8:10]), b[10])


def delete_record(index):
    _call("DeleteRecord", _check_range(index, range(1, 101), "recording"))


def delete_all_records():
    _call("DeleteAllRecords")


def start_recording():
    _call("StartRecording")


def stop_recording():
    _call("StopRecording")


def start_playback(index):
    _call("StartPlayback", _check_range(index, range(1, 101), "recording"))


def stop_playback():
    _call("StopPlayback")


def pause_playback():
    _call("PausePlayback")


def resume_playback(value=0):
    _call("ResumePlayback", _check_range(value, range(1 << 32), "value"))


def get_playback_position():
    v = _u32()
    _call("GetCurrentPlaybackPos", ctypes.byref(v))
    return v.value


def get_playback_volume():
    v = _u8()
    _cached("GetPlaybackVol", ctypes.byref(v))
    return v.value


def set_playback_volume(volume):
    _call("SetPlaybackVol", _check_range(volume, range(1, 9), "playback volume"))


def get_record_op_status():
    v = _u32()
    _call("GetRecordOpStatus", ctypes.byref(v))
    return v.value


# ---- network camera and operating mode ----

def set_camera_info(value1, value2, value3, text1, text2, value4, value5):
    t1 = _bytes_arg(text1, CAMERA_TEXT_BYTES, "text1", max_text=CAMERA_TEXT_BYTES - 1)
    t2 = _bytes_arg(text2, CAMERA_TEXT_BYTES, "text2", max_text=CAMERA_TEXT_BYTES - 1)
    _call("SetNwCameraInfo", _check_range(value1, range(1 << 32), "value1"),
          _check_range(value2, range(1 << 16), "value2"), _check_range(value3, range(256), "value3"), t1, t2,
          _check_range(value4, range(1 << 32), "value4"), _check_range(value5, range(1 << 16), "value5"))


def get_camera_info():
    v1, v2, v3, v4, v5 = _u32(), _u16(), _u8(), _u32(), _u16()
    t1, t2 = _buffer(CAMERA_TEXT_BYTES), _buffer(CAMERA_TEXT_BYTES)
    _call("GetNwCameraInfo", ctypes.byref(v1), ctypes.byref(v2), ctypes.byref(v3), t1, t2, ctypes.byref(v4),
          ctypes.byref(v5))
    return CameraInfo(v1.value, v2.value, v3.value, Text(t1), Text(t2), v4.value, v5.value)


def get_operating_mode():
    """The operating mode byte as a signed number (-1 is also a mode, 0xFF)."""
    mode = load().GetOpeMode()
    if mode == -1 and not is_available():
        raise NoDeviceError("GetOpeMode: no device (the library is not started or the link is down)")
    return mode


# ---- RTCP and raw data ----

def set_rtcp_send(data, block_id=1):
    buf = _bytes_arg(data, RTCP_SEND_BYTES, "data")
    _call("SetRtcpSend", _check_range(block_id, (1,), "block id"), buf)


def get_rtcp_receive(block_id=1):
    _check_range(block_id, (1,), "block id")
    buf = _buffer(RTCP_RECEIVE_BYTES)
    _call("GetRtcpReceive", block_id, buf)
    return bytes(buf)


def set_rtcp_version(arg1, arg2, arg3):
    """Returns the version the device answers (a failure and version 0 look
    the same to the library; both raise)."""
    return _call("SetRtcpVer", _check_range(arg1, range(1 << 16), "arg1"),
                 _check_range(arg2, range(1 << 32), "arg2"), _check_range(arg3, range(256), "arg3"))


def get_rtcp_version():
    """(version, byte); version 0 raises like a failure."""
    b = _u8()
    version = _call("GetRtcpVer", 0, 0, ctypes.byref(b))
    return version, b.value


def send_raw_data(data):
    _call("SendFixed128RawData", _bytes_arg(data, RAW_DATA_BYTES, "data"))


def receive_raw_data():
    """The last raw block the device sent (128 zero bytes before the first)."""
    buf = _buffer(RAW_DATA_BYTES)
    _cached("ReceiveFixed128RawData", buf)
    return bytes(buf)


# What Library instances offer: the module's functions.
_LIBRARY_FUNCTIONS = frozenset(name for name in __all__ if name[0].islower() and name not in ("load",))
