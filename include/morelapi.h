/**
 * @file morelapi.h
 * @brief morelapi: host-side API of the USB conference speakerphone.
 *
 * Call InitializeUsbApiLib() once. The library then finds the device by
 * itself, reads its whole state into its cache and reports the link through
 * #MORELAPI_EVENT_LINK on slot #MORELAPI_SLOT_DEVICE.
 *
 * Two kinds of function:
 * - **Device requests** (marked "Waits for the device") send one request and
 *   block the calling thread until the device has answered or 3000 ms have
 *   passed. They return 1 on success and 0 on failure, and write their
 *   out-parameters only on success unless their entry says otherwise. Only one
 *   request is in flight at a time: while one waits, another application
 *   thread's request returns 0 at once (IsCommandActive() tells). They return
 *   0 at once while the link is down.
 * - **Cached getters** (marked "Answers from the cache") copy what the
 *   library holds and return at once, also while a request is in flight. They
 *   return 0 while the link is down.
 *
 * Setters never change the cached values themselves: the cache changes when
 * the device answers or reports a change through an event. Pointer arguments
 * that must be valid make the function return 0 when null, before anything is
 * sent. The library gives the device's values no meaning (status codes, key
 * codes, call states, item bytes pass through unchanged); it checks only the
 * ranges documented here.
 *
 * Threading: notification callbacks run on the library's event thread, one at
 * a time, in the order the device sent them; the link report
 * (#MORELAPI_EVENT_LINK) runs on the link thread. A callback may call any
 * function of this header, TerminateUsbApiLib() included.
 */
#ifndef MORELAPI_H
#define MORELAPI_H

#include <stdint.h>

/** Major version of this header and library; changes break the ABI. */
#define MORELAPI_VERSION_MAJOR 1
/** Minor version: additions that keep the ABI. */
#define MORELAPI_VERSION_MINOR 0
/** Patch version: fixes only. */
#define MORELAPI_VERSION_PATCH 0
/** The whole version as one number, 0xMMmmpp (major, minor, patch). */
#define MORELAPI_VERSION ((MORELAPI_VERSION_MAJOR << 16) | (MORELAPI_VERSION_MINOR << 8) | MORELAPI_VERSION_PATCH)

#if defined(_WIN32) && !defined(_WIN64)
#define MORELAPI_CALL __stdcall
#else
/** Calling convention of every export and of ::SPphoneEventCallback:
 *  `__stdcall` on 32-bit Windows, the platform's default elsewhere. */
#define MORELAPI_CALL
#endif

#if defined(_WIN32)
#if defined(MORELAPI_BUILDING)
#define MORELAPI_EXPORT __declspec(dllexport)
#else
#define MORELAPI_EXPORT __declspec(dllimport)
#endif
#elif defined(MORELAPI_BUILDING)
#define MORELAPI_EXPORT __attribute__((visibility("default")))
#else
/** Marks an exported function: dllexport/dllimport on Windows, default
 *  visibility when the library itself is built, nothing for applications
 *  elsewhere. */
#define MORELAPI_EXPORT
#endif

/** Declares an export returning @p type with #MORELAPI_EXPORT and
 *  #MORELAPI_CALL. */
#define MORELAPI_API(type) MORELAPI_EXPORT type MORELAPI_CALL

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @brief The application's event callback, one per slot (RegisterEvent()).
 *
 * Runs on the library's event thread, one notification at a time, in the
 * order the device sent them, each exactly once; the link report
 * (#MORELAPI_EVENT_LINK) runs on the link thread and may run at the same time
 * as another slot 1 callback. It may call any function of this header.
 *
 * @param eventCode One of the event codes of its slot (see the slot
 *                  constants, #MORELAPI_SLOT_RAW_DATA and following).
 * @param userWord  The slot's userWord, as registered.
 * @param data      For value events (#MORELAPI_EVENT_LINK, the three volume
 *                  events, #MORELAPI_EVENT_SYSTEM_DATA and every call event):
 *                  a pointer to the value, which lies in the slot's
 *                  dataBuffer or, when that is NULL, in a temporary valid
 *                  until the callback returns. For every other event: the
 *                  slot's dataBuffer exactly as registered, NULL included.
 */
typedef void(MORELAPI_CALL *SPphoneEventCallback)(uint32_t eventCode, uint32_t userWord, void *data);

/**
 * @defgroup slots Event slots
 * @brief The eight slots of RegisterEvent(), one per family of events.
 * @{
 */
/** Slot 0: #MORELAPI_EVENT_RAW_DATA. `data` is the slot's dataBuffer. */
#define MORELAPI_SLOT_RAW_DATA 0
/** Slot 1: the device: #MORELAPI_EVENT_KEY, #MORELAPI_EVENT_DISPLAY and the
 *  signal events 0x0111..0x0117, 0x0121..0x0128, 0x0131, 0x0132, 0x0141..0x0147,
 *  0x0151, 0x0152, 0x0161, 0x0162 (`data` is the slot's dataBuffer); the value
 *  events #MORELAPI_EVENT_LINK, #MORELAPI_EVENT_RINGER_VOLUME,
 *  #MORELAPI_EVENT_RECEIVE_VOLUME and #MORELAPI_EVENT_PLAYBACK_VOLUME (`data`
 *  points to the value byte). */
#define MORELAPI_SLOT_DEVICE 1
/** Slot 2: the call events (#MORELAPI_EVENT_CALL_0201 and following); `data`
 *  points to the call id byte, to pass to GetCallInfo(). */
#define MORELAPI_SLOT_CALL 2
/** Slot 3: #MORELAPI_EVENT_SYSTEM_DATA; `data` points to the changed item id
 *  (uint16_t, little-endian: a dataBuffer needs 2 bytes). */
#define MORELAPI_SLOT_SYSTEM_DATA 3
/** Slot 4: contact list events 0x0401 and 0x0402 (re-read with
 *  GetContactCount() and GetContact()); `data` is the slot's dataBuffer. */
#define MORELAPI_SLOT_CONTACTS 4
/** Slot 5: record list events 0x0501..0x0503 (re-read with GetRecordCount()
 *  and GetRecordInfo()); `data` is the slot's dataBuffer. */
#define MORELAPI_SLOT_RECORDS 5
/** Slot 6: recorder and playback events 0x0601..0x060A; `data` is the slot's
 *  dataBuffer. */
#define MORELAPI_SLOT_RECORDER 6
/** Slot 7: RTCP event 0x0701 (read with GetRtcpReceive()); `data` is the
 *  slot's dataBuffer. */
#define MORELAPI_SLOT_RTCP 7
/** Number of slots: RegisterEvent() accepts 0 to MORELAPI_SLOT_COUNT - 1. */
#define MORELAPI_SLOT_COUNT 8
/** @} */

/**
 * @defgroup events Event codes
 * @brief Codes passed as `eventCode` to the ::SPphoneEventCallback.
 *
 * The codes the library gives a value or a meaning are named here; the other
 * codes of each slot are signals the device sends without data (see the slot
 * constants).
 * @{
 */
/** Slot 0: the device sent a raw data block; ReceiveFixed128RawData() has it. */
#define MORELAPI_EVENT_RAW_DATA 0x0002u
/** Slot 1: a key event; GetKey() has its key code and action. */
#define MORELAPI_EVENT_KEY 0x0104u
/** Slot 1: the link changed; the value byte is 0 when the link went down, 1
 *  when it came up and the library has read the device's whole state. Runs on
 *  the link thread. The link can come up before RegisterEvent() runs: after
 *  registering, ask IsSPphoneAvailable() once, then wait for this report. */
#define MORELAPI_EVENT_LINK 0x0105u
/** Slot 1: the display changed; GetLCDdata() has the new image. When the
 *  notification did not carry the image, the library reads it from the device
 *  first (waiting up to 600 ms for a free request slot, then up to 3000 ms). */
#define MORELAPI_EVENT_DISPLAY 0x0106u
/** Slot 1: the ringer volume changed; the value byte is the new volume, which
 *  GetRingerVol() now returns. */
#define MORELAPI_EVENT_RINGER_VOLUME 0x0107u
/** Slot 1: the receive volume changed; the value byte is the new volume, which
 *  GetReceiveVol() now returns. */
#define MORELAPI_EVENT_RECEIVE_VOLUME 0x0108u
/** Slot 1: the playback volume changed; the value byte is the new volume,
 *  which GetPlaybackVol() now returns. */
#define MORELAPI_EVENT_PLAYBACK_VOLUME 0x0109u
/** Slot 3: a system data item changed; the value is the item id (uint16_t).
 *  GetSystemData() and GetChangedSystemData() return the new value. */
#define MORELAPI_EVENT_SYSTEM_DATA 0x0301u
/** @} */

/**
 * @defgroup call_events Call events
 * @brief Slot 2: a call changed state.
 *
 * The value byte is the call id. Each code stands for one call state, which
 * GetCallInfo() returns for that call. "Details" events also carry the call's
 * text and value; "ended" events free the call's place (the library follows
 * two calls at a time).
 * @{
 */
#define MORELAPI_EVENT_CALL_0201 0x0201u /**< Call state 8, with details. */
#define MORELAPI_EVENT_CALL_0202 0x0202u /**< Call state 9, with details. */
#define MORELAPI_EVENT_CALL_0203 0x0203u /**< Call state 2, with details. */
#define MORELAPI_EVENT_CALL_0204 0x0204u /**< Call state 10, with details. */
#define MORELAPI_EVENT_CALL_0205 0x0205u /**< Call state 0: ended. */
#define MORELAPI_EVENT_CALL_0206 0x0206u /**< Call state 16. */
#define MORELAPI_EVENT_CALL_0207 0x0207u /**< Call state 12. */
#define MORELAPI_EVENT_CALL_0208 0x0208u /**< Call state 11. */
#define MORELAPI_EVENT_CALL_0209 0x0209u /**< Call state 13. */
#define MORELAPI_EVENT_CALL_020A 0x020Au /**< Call state 15. */
#define MORELAPI_EVENT_CALL_020C 0x020Cu /**< Call state 4: ended. */
#define MORELAPI_EVENT_CALL_020D 0x020Du /**< Call state 5: ended. */
#define MORELAPI_EVENT_CALL_020E 0x020Eu /**< Call state 6: ended. */
#define MORELAPI_EVENT_CALL_020F 0x020Fu /**< Call state 7: ended. */
#define MORELAPI_EVENT_CALL_0210 0x0210u /**< Call state 18. */
#define MORELAPI_EVENT_CALL_0211 0x0211u /**< Call state 19. */
#define MORELAPI_EVENT_CALL_0212 0x0212u /**< Call state 20. */
#define MORELAPI_EVENT_CALL_0213 0x0213u /**< Call state 17. */
#define MORELAPI_EVENT_CALL_0214 0x0214u /**< Call state 22. */
#define MORELAPI_EVENT_CALL_0215 0x0215u /**< Call state 23. */
#define MORELAPI_EVENT_CALL_0216 0x0216u /**< Call state 24: ended. */
#define MORELAPI_EVENT_CALL_0217 0x0217u /**< Call state 25: ended. */
#define MORELAPI_EVENT_CALL_0218 0x0218u /**< Call state 26: ended. */
#define MORELAPI_EVENT_CALL_0219 0x0219u /**< Call state 21. */
#define MORELAPI_EVENT_CALL_021A 0x021Au /**< Call state 27. */
#define MORELAPI_EVENT_CALL_021B 0x021Bu /**< Call state 28. */
#define MORELAPI_EVENT_CALL_021C 0x021Cu /**< Call state 29. */
#define MORELAPI_EVENT_CALL_021D 0x021Du /**< Call state 30. */
#define MORELAPI_EVENT_CALL_021E 0x021Eu /**< Call state 31. */
#define MORELAPI_EVENT_CALL_021F 0x021Fu /**< Call state 32. */

/**
 * @brief Every call event with the call state it reports.
 *
 * An X-macro: expands to `X(code, state, NAME, "name", ended)` once per call
 * event, in the order of the codes. `NAME` is an identifier for the state
 * (`STATE_n` for a state without a name of its own; the four "ended" states
 * 7, 24, 25 and 26 are `ENDED`, `ENDED_24`, ...), `"name"` the state as a
 * person reads it, and `ended` is 1 when the call is over in that state. For
 * example, an enumeration of the states:
 * @code
 * #define CALL_STATE(code, state, NAME, name, ended) CALL_STATE_##NAME = state,
 * enum CallState { MORELAPI_CALL_EVENTS(CALL_STATE) };
 * @endcode
 *
 * @param X The macro applied to each call event.
 */
#define MORELAPI_CALL_EVENTS(X) \
    X(MORELAPI_EVENT_CALL_0201, 8, DIALLING, "dialling", 0) \
    X(MORELAPI_EVENT_CALL_0202, 9, RINGING, "ringing", 0) \
    X(MORELAPI_EVENT_CALL_0203, 2, CONNECTED, "connected", 0) \
    X(MORELAPI_EVENT_CALL_0204, 10, STATE_10, "state 10", 0) \
    X(MORELAPI_EVENT_CALL_0205, 0, IDLE, "idle", 1) \
    X(MORELAPI_EVENT_CALL_0206, 16, ALERTING, "alerting", 0) \
    X(MORELAPI_EVENT_CALL_0207, 12, HELD, "held", 0) \
    X(MORELAPI_EVENT_CALL_0208, 11, ACTIVE, "active", 0) \
    X(MORELAPI_EVENT_CALL_0209, 13, JOINED, "joined", 0) \
    X(MORELAPI_EVENT_CALL_020A, 15, CONFERENCE, "conference", 0) \
    X(MORELAPI_EVENT_CALL_020C, 4, ENDED_HERE, "ended here", 1) \
    X(MORELAPI_EVENT_CALL_020D, 5, REJECTED, "rejected", 1) \
    X(MORELAPI_EVENT_CALL_020E, 6, ENDED_BY_FAR_END, "ended by the far end", 1) \
    X(MORELAPI_EVENT_CALL_020F, 7, ENDED, "ended", 1) \
    X(MORELAPI_EVENT_CALL_0210, 18, STATE_18, "state 18", 0) \
    X(MORELAPI_EVENT_CALL_0211, 19, STATE_19, "state 19", 0) \
    X(MORELAPI_EVENT_CALL_0212, 20, STATE_20, "state 20", 0) \
    X(MORELAPI_EVENT_CALL_0213, 17, STATE_17, "state 17", 0) \
    X(MORELAPI_EVENT_CALL_0214, 22, STATE_22, "state 22", 0) \
    X(MORELAPI_EVENT_CALL_0215, 23, STATE_23, "state 23", 0) \
    X(MORELAPI_EVENT_CALL_0216, 24, ENDED_24, "ended", 1) \
    X(MORELAPI_EVENT_CALL_0217, 25, ENDED_25, "ended", 1) \
    X(MORELAPI_EVENT_CALL_0218, 26, ENDED_26, "ended", 1) \
    X(MORELAPI_EVENT_CALL_0219, 21, STATE_21, "state 21", 0) \
    X(MORELAPI_EVENT_CALL_021A, 27, STATE_27, "state 27", 0) \
    X(MORELAPI_EVENT_CALL_021B, 28, STATE_28, "state 28", 0) \
    X(MORELAPI_EVENT_CALL_021C, 29, STATE_29, "state 29", 0) \
    X(MORELAPI_EVENT_CALL_021D, 30, STATE_30, "state 30", 0) \
    X(MORELAPI_EVENT_CALL_021E, 31, STATE_31, "state 31", 0) \
    X(MORELAPI_EVENT_CALL_021F, 32, STATE_32, "state 32", 0)
/** @} */

/**
 * @defgroup sizes Buffer sizes
 * @brief Sizes in bytes of the caller's buffers.
 * @{
 */
/** The display image: GetLCDdata(). */
#define MORELAPI_DISPLAY_BYTES 721
/** One entry of the character table of ActiveUnicode(). */
#define MORELAPI_UNICODE_ENTRY_BYTES 44
/** The whole character table of ActiveUnicode(): 10 entries. */
#define MORELAPI_UNICODE_TABLE_BYTES 440
/** A call's text: MakeCall(), GetCallInfo(). */
#define MORELAPI_CALL_TEXT_BYTES 129
/** A contact's first field: GetContact(), SetContact(). */
#define MORELAPI_CONTACT_DATA1_BYTES 34
/** A contact's third field: GetContact(), SetContact(). */
#define MORELAPI_CONTACT_DATA2_BYTES 129
/** Each of the two texts of the network camera record: SetNwCameraInfo(),
 *  GetNwCameraInfo(). */
#define MORELAPI_CAMERA_TEXT_BYTES 17
/** The RTCP send block: SetRtcpSend(). */
#define MORELAPI_RTCP_SEND_BYTES 84
/** The RTCP receive block: GetRtcpReceive(). */
#define MORELAPI_RTCP_RECEIVE_BYTES 88
/** A raw data block: SendFixed128RawData(), ReceiveFixed128RawData(). */
#define MORELAPI_RAW_DATA_BYTES 128
/** @} */

/**
 * @defgroup lifecycle Lifecycle and status
 * @{
 */

/**
 * @brief Starts the library.
 *
 * Loads the transport library (`libtalvo.so`, `TALVO.dll`) by name if it is
 * not loaded yet, starts the library's four threads and returns at once: the
 * link comes up by itself, later, and is reported through
 * #MORELAPI_EVENT_LINK (value 1). Without a transport library or a device the
 * library keeps retrying (every 100 ms, then every second). A second call
 * while the library runs changes nothing.
 *
 * @return 1 when the library runs (also when it was already running); 0 when
 *         its threads could not be started, or when called from a callback of
 *         a library that is being stopped.
 */
MORELAPI_API(int) InitializeUsbApiLib(void);

/**
 * @brief Stops the library.
 *
 * Releases every application thread still waiting for the device (its call
 * returns 0), stops and joins the library's threads, closes the transport and
 * frees everything. Registrations are dropped. Returns once the library has
 * stopped; called from a callback, the stop completes after the callback
 * returns. Does nothing when the library is not running.
 * InitializeUsbApiLib() starts a fresh library afterwards.
 */
MORELAPI_API(void) TerminateUsbApiLib(void);

/**
 * @brief Tells whether the link to the device is up.
 *
 * Answers at once. The link is up once the library has read the device's
 * whole state; #MORELAPI_EVENT_LINK reports each change.
 *
 * @return 1 when the library runs and the link is up, else 0.
 */
MORELAPI_API(int) IsSPphoneAvailable(void);

/**
 * @brief Tells whether a device request is in flight.
 *
 * Answers at once. While it returns 1, device requests of application
 * threads return 0 at once; cached getters still answer.
 *
 * @return 1 when the library runs and a request waits for the device, else 0.
 */
MORELAPI_API(int) IsCommandActive(void);

/**
 * @brief Tells whether the device is in its product default state.
 *
 * Answers from the cache: the device reports the state when the link comes
 * up.
 *
 * @return 1 when the link is up and the device reported its product default
 *         state, else 0.
 */
MORELAPI_API(int) IsProductDefault(void);

/**
 * @brief Kept for compatibility; does nothing.
 *
 * A request cannot be cancelled: it ends when the device answers or after
 * 3000 ms.
 *
 * @return 1, always, also when the library is not running.
 */
MORELAPI_API(int) DoCancelCommand(void);

/**
 * @brief Asks the device for its current error code.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @return The device's 16-bit error code; 0 when the request failed (which
 *         cannot be told from an error code of 0).
 */
MORELAPI_API(uint16_t) ErrorCode(void);

/**
 * @brief Asks the device to restart.
 *
 * Does not wait: the request is queued and the function returns. The link
 * goes down while the device restarts (#MORELAPI_EVENT_LINK, value 0) and
 * comes back by itself.
 *
 * @return 1 when the request was queued; 0 when the link is down, another
 *         request is in flight or the request could not be built.
 */
MORELAPI_API(int) Reboot(void);

/** @} */

/**
 * @defgroup registration Event registration
 * @{
 */

/**
 * @brief Registers the application's callback for one slot.
 *
 * Replaces the slot's registration whole. When another thread is inside the
 * slot's old callback, waits until it has returned, so that afterwards the old
 * callback is not running and the old dataBuffer is never written again (a
 * callback re-registering its own slot does not wait). Registrations stay
 * while the link goes down and up; neither the link nor the device is needed.
 *
 * @param slotIndex  The slot, #MORELAPI_SLOT_RAW_DATA to #MORELAPI_SLOT_RTCP
 *                   (0 to #MORELAPI_SLOT_COUNT - 1).
 * @param callback   The function to call; NULL registers nobody.
 * @param userWord   Any value, handed back as the callback's second argument.
 * @param dataBuffer Handed to the callback as `data` for signal events; value
 *                   events write their value here before the call (2 bytes on
 *                   #MORELAPI_SLOT_SYSTEM_DATA, 1 byte on the other slots).
 *                   May be NULL.
 * @return 1 when registered; 0 when the library is not running or slotIndex
 *         is #MORELAPI_SLOT_COUNT or more.
 */
MORELAPI_API(uint32_t) RegisterEvent(uint16_t slotIndex, SPphoneEventCallback callback, uint32_t userWord, void *dataBuffer);

/**
 * @brief Removes the callback of one slot.
 *
 * Waits like RegisterEvent() for a running callback of the slot. The library
 * keeps updating its cache from the slot's events.
 *
 * @param slotIndex The slot, 0 to #MORELAPI_SLOT_COUNT - 1.
 * @return 1 when done (also for a slot never registered); 0 when the library
 *         is not running or slotIndex is #MORELAPI_SLOT_COUNT or more.
 */
MORELAPI_API(uint32_t) UnregisterEvent(uint16_t slotIndex);

/** @} */

/**
 * @defgroup status Status and identity
 * @{
 */

/**
 * @brief Reads the device's status byte.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param statusOut Receives the status byte; may be NULL (the request is still
 *                  made).
 * @return 1 on success; 0 when the link is down, another request is in flight,
 *         or the device refused or did not answer within 3000 ms.
 */
MORELAPI_API(int) GetSPphoneStatus(uint8_t *statusOut);

/**
 * @brief Reads the device's two status bytes.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param statusOut  Receives the first status byte; may be NULL, in which case
 *                   nothing is written (the request is still made).
 * @param status2Out Receives the second status byte, only when statusOut is
 *                   not NULL; may be NULL.
 * @return 1 on success; 0 when the link is down, another request is in flight,
 *         or the device refused or did not answer within 3000 ms.
 */
MORELAPI_API(int) GetSPphoneStatus2(uint8_t *statusOut, uint8_t *status2Out);

/**
 * @brief Reads one of the device's three version numbers.
 *
 * Answers from the cache (read when the link came up).
 *
 * @param which      0, 1 or 2.
 * @param versionOut Receives the version number.
 * @return 1 on success; 0 when the link is down, which is above 2 or
 *         versionOut is NULL.
 */
MORELAPI_API(int) GetVersionSpeakerphone(uint8_t which, uint16_t *versionOut);

/**
 * @brief Reads the protocol version the device speaks.
 *
 * Answers from the cache: the version byte of the last frame received.
 *
 * @param versionOut Receives the version (0x10 to 0x30).
 * @return 1 on success; 0 when the link is down or versionOut is NULL.
 */
MORELAPI_API(int) GetCTIVersion(uint8_t *versionOut);

/**
 * @brief Reads the device's destination code and value.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param code  Receives the code byte; may be NULL.
 * @param value Receives the 16-bit value; may be NULL.
 * @return 1 on success; 0 when the link is down, another request is in flight,
 *         or the device refused or did not answer within 3000 ms.
 */
MORELAPI_API(int) GetDestination(uint8_t *code, uint16_t *value);

/**
 * @brief Reads one of the device's seven network items.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param item 1 to 7.
 * @param info Receives the item's bytes as the device sends them: 6 bytes for
 *             item 1, a little-endian uint32 (4 bytes) for items 2 to 7.
 * @return 1 on success; 0 when item is 0 or above 7, info is NULL, the link is
 *         down, another request is in flight, or the device refused or did
 *         not answer within 3000 ms.
 */
MORELAPI_API(int) GetIPnetworkInfo(uint8_t item, void *info);

/**
 * @brief Reads the device's character table.
 *
 * Answers from the cache (read when the link came up, from devices of
 * protocol 0x20 and later; empty with older devices).
 *
 * @param table    Receives count entries of #MORELAPI_UNICODE_ENTRY_BYTES
 *                 bytes each; must hold #MORELAPI_UNICODE_TABLE_BYTES.
 * @param countOut Receives the number of entries, 0 to 10.
 * @return 1 on success; 0 when the link is down or a pointer is NULL.
 */
MORELAPI_API(int) ActiveUnicode(void *table, uint8_t *countOut);

/** @} */

/**
 * @defgroup keys Keys and display
 * @{
 */

/**
 * @brief Reads the last key event the device reported.
 *
 * Answers from the cache; #MORELAPI_EVENT_KEY reports each new key event.
 *
 * @param keyCodeOut   Receives the key code.
 * @param keyActionOut Receives the action.
 * @return 1 on success; 0 when the link is down or a pointer is NULL, in which
 *         case each non-NULL output receives 0.
 */
MORELAPI_API(int) GetKey(uint8_t *keyCodeOut, uint8_t *keyActionOut);

/**
 * @brief Presses a key on the device.
 *
 * Waits for the device (up to 3000 ms per request). Key 'F' is timed by the
 * library: action 1 (down) is held by the library and returns 1 at once,
 * sending nothing; the next call sends the held press, as a short press
 * (action 0) when it was held less than 750 ms, else as a long press (action
 * 1 then action 2). Action 2 (up) of 'F' only sends the held press. Any other
 * key sent while 'F' is held sends the held press first. The held press lives
 * in this process: a process that exits while holding it sends nothing.
 *
 * @param key    The key code (ASCII for the keypad, e.g. '5', 'F').
 * @param action 0 press, 1 down, 2 up; other values are passed through.
 * @return 1 on success; 0 when the library is not running, a request failed,
 *         the link is down or another request is in flight, and for 'F' up
 *         with no held press.
 */
MORELAPI_API(int) SetKey(uint8_t key, uint8_t action);

/**
 * @brief Copies the device's display image.
 *
 * Answers from the cache; #MORELAPI_EVENT_DISPLAY reports each change.
 *
 * @param image Receives the #MORELAPI_DISPLAY_BYTES bytes of the image.
 * @return 1 on success; 0 when the link is down (the last image is copied all
 *         the same, which may be out of date) or when the library is not
 *         running or image is NULL (nothing copied).
 */
MORELAPI_API(int) GetLCDdata(void *image);

/** @} */

/**
 * @defgroup calls Call control
 * @brief Each returns once the device accepted the command; the call's
 * progress arrives as call events on #MORELAPI_SLOT_CALL.
 * @{
 */

/**
 * @brief Places a call.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param param1 Passed to the device unchanged.
 * @param param2 Passed to the device unchanged.
 * @param number The number or name to call: #MORELAPI_CALL_TEXT_BYTES bytes,
 *               all of which are sent (pad a shorter text with zeros).
 * @return 1 when the device accepted the call; 0 when number is NULL, the
 *         link is down, another request is in flight, or the device refused
 *         or did not answer within 3000 ms.
 */
MORELAPI_API(int) MakeCall(uint8_t param1, uint8_t param2, const void *number);

/**
 * @brief Ends a call.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param param The call to end, as the device knows it; passed unchanged.
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) EndCall(uint8_t param);

/**
 * @brief Answers the ringing call.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) AnswerCall(void);

/**
 * @brief Puts a call on hold or takes it back.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param param Passed to the device unchanged.
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) HoldOperate(uint8_t param);

/**
 * @brief Joins the two calls.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) JoinCall(void);

/**
 * @brief Invites the held call into a conference.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) InviteConference(void);

/**
 * @brief Rejects the ringing call.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @return 1 when the device accepted; 0 when the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) RejectCall(void);

/** @} */

/**
 * @defgroup audio Audio settings
 * @{
 */

/**
 * @brief Mutes or unmutes the microphone.
 *
 * Waits for the device (up to 3000 ms). The library does not keep the mute
 * state.
 *
 * @param mute 0 (unmuted) or 1 (muted).
 * @return 1 on success; 0 for another value, when the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SetMute(uint8_t mute);

/**
 * @brief Reads the slow-talk mode.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param mode Receives the mode.
 * @return 1 on success; 0 when mode is NULL, the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) GetSlowTalk(uint8_t *mode);

/**
 * @brief Sets the slow-talk mode.
 *
 * Waits for the device (up to 3000 ms). Read it back with GetSlowTalk().
 *
 * @param mode 0, 2 or 3 (1 is refused).
 * @return 1 on success; 0 for another mode, when the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SetSlowTalk(uint8_t mode);

/**
 * @brief Reads the sound enhancer mode.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param mode Receives the mode.
 * @return 1 on success; 0 when mode is NULL, the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) GetSoundEnhancer(uint8_t *mode);

/**
 * @brief Sets the sound enhancer mode.
 *
 * Waits for the device (up to 3000 ms). Read it back with GetSoundEnhancer().
 *
 * @param mode 0, 1 or 2.
 * @return 1 on success; 0 for another mode, when the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SetSoundEnhancer(uint8_t mode);

/**
 * @brief Reads the ringer volume.
 *
 * Answers from the cache (read when the link came up from devices of protocol
 * 0x20 and later, 0 with older ones until the first change);
 * #MORELAPI_EVENT_RINGER_VOLUME reports each change.
 *
 * @param volume Receives the volume, 0 to 3.
 * @return 1 on success; 0 when the link is down or volume is NULL.
 */
MORELAPI_API(int) GetRingerVol(uint8_t *volume);

/**
 * @brief Sets the ringer volume.
 *
 * Waits for the device (up to 3000 ms). GetRingerVol() shows the new volume
 * once the device has reported it (#MORELAPI_EVENT_RINGER_VOLUME).
 *
 * @param volume 0 to 3.
 * @return 1 on success; 0 for a volume above 3, when the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SetRingerVol(uint8_t volume);

/**
 * @brief Reads the receive volume.
 *
 * Answers from the cache (read when the link came up from devices of protocol
 * 0x20 and later, 0 with older ones until the first change);
 * #MORELAPI_EVENT_RECEIVE_VOLUME reports each change.
 *
 * @param volume Receives the volume, 1 to 8.
 * @return 1 on success; 0 when the link is down or volume is NULL.
 */
MORELAPI_API(int) GetReceiveVol(uint8_t *volume);

/**
 * @brief Sets the receive volume.
 *
 * Waits for the device (up to 3000 ms). GetReceiveVol() shows the new volume
 * once the device has reported it (#MORELAPI_EVENT_RECEIVE_VOLUME).
 *
 * @param volume 1 to 8.
 * @return 1 on success; 0 for 0 or a volume above 8, when the link is down,
 *         another request is in flight, or the device refused or did not
 *         answer.
 */
MORELAPI_API(int) SetReceiverVol(uint8_t volume);

/** @} */

/**
 * @defgroup sysdata System data and call information
 * @brief The device's numbered settings (items), and the state of a call.
 *
 * The library keeps 55 items: ids 1 to 10, 17 to 19, 33, 34, 49 to 53, 65 to
 * 71, 81 to 95, 97, 98, 101 to 104, 109 and 113 to 118. Most are 1, 2 or 4
 * bytes wide (little-endian); item 2 has 5 bytes; items 82, 84, 87 and 90 are
 * texts of 128 bytes and items 93, 94 and 95 texts of 32 bytes. Ids 129 to 132
 * are actions: they have no value. A buffer of 129 bytes holds any item.
 * @{
 */

/**
 * @brief Every item id GetSystemData() and SetSystemData() accept, with its
 *        width and kind: the kept items in the library's store order, then
 *        the actions 129 to 132.
 *
 * An X-macro: expands to `X(id, width, isText)` once per item, with `width`
 * the item's size in bytes (0 for an action, which has no value) and `isText`
 * 1 for the zero-terminated texts, 0 otherwise. For example:
 * @code
 * #define ITEM_ID(id, width, isText) id,
 * static const uint16_t itemIds[] = {MORELAPI_SYSTEM_DATA_ITEMS(ITEM_ID)};
 * @endcode
 *
 * @param X The macro applied to each item.
 */
#define MORELAPI_SYSTEM_DATA_ITEMS(X) \
    X(1, 1, 0) X(2, 5, 0) X(3, 1, 0) X(4, 1, 0) X(5, 1, 0) X(6, 1, 0) \
    X(7, 1, 0) X(19, 1, 0) X(8, 1, 0) X(9, 1, 0) X(10, 1, 0) X(17, 1, 0) \
    X(18, 1, 0) X(33, 1, 0) X(34, 1, 0) X(49, 1, 0) X(50, 1, 0) X(51, 1, 0) \
    X(52, 1, 0) X(53, 1, 0) X(65, 1, 0) X(66, 4, 0) X(67, 4, 0) X(68, 4, 0) \
    X(69, 1, 0) X(70, 4, 0) X(71, 4, 0) X(81, 1, 0) X(82, 128, 1) X(83, 4, 0) \
    X(84, 128, 1) X(85, 2, 0) X(86, 4, 0) X(87, 128, 1) X(88, 2, 0) \
    X(89, 4, 0) X(90, 128, 1) X(91, 2, 0) X(92, 1, 0) X(93, 32, 1) \
    X(94, 32, 1) X(95, 32, 1) X(97, 1, 0) X(98, 1, 0) X(101, 2, 0) \
    X(102, 2, 0) X(103, 2, 0) X(104, 1, 0) X(109, 1, 0) X(113, 2, 0) \
    X(114, 1, 0) X(115, 1, 0) X(116, 1, 0) X(117, 1, 0) X(118, 1, 0) \
    X(129, 0, 0) X(130, 0, 0) X(131, 0, 0) X(132, 0, 0)

/**
 * @brief Reads one system data item.
 *
 * Answers from the cache, except for item 2, which is first read afresh from
 * the device (up to 3000 ms) when no other request is in flight; when that
 * read fails or is skipped, the cached value is returned.
 * #MORELAPI_EVENT_SYSTEM_DATA reports each change.
 *
 * @param itemId A kept item id or an action id (129 to 132, which copy
 *               nothing).
 * @param buffer Receives the item's bytes: its width, plus a terminating zero
 *               for text items (so 129 or 33 bytes for those).
 * @return 1 on success; 0 when the link is down, buffer is NULL or the id is
 *         not one of the library's items.
 */
MORELAPI_API(int) GetSystemData(uint16_t itemId, void *buffer);

/**
 * @brief Writes one system data item.
 *
 * Waits for the device (up to 3000 ms), except for the actions 131 and 132,
 * which are queued without waiting. The cache takes the value once the device
 * has accepted it.
 *
 * @param itemId A kept item id or an action id (129 to 132).
 * @param data   The item's bytes, its width (unused and may be NULL for the
 *               actions).
 * @return 1 on success (for 131 and 132: once queued); 0 when the id is not
 *         one of the library's items, data is NULL, the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SetSystemData(uint16_t itemId, const void *data);

/**
 * @brief Reads the item the device last reported as changed.
 *
 * Answers from the cache: the item of the last #MORELAPI_EVENT_SYSTEM_DATA,
 * with its current value. Every call returns the same item until the device
 * reports another one.
 *
 * @param itemId Receives the item id.
 * @param buffer Receives the item's bytes, exactly its width (no terminating
 *               zero for texts).
 * @return 1 on success; 0 when no change has been reported yet, the link is
 *         down or a pointer is NULL.
 */
MORELAPI_API(int) GetChangedSystemData(uint16_t *itemId, void *buffer);

/**
 * @brief Reads the state, text and value of a call.
 *
 * Waits for the device (up to 3000 ms). The call ids come with the call
 * events on #MORELAPI_SLOT_CALL.
 *
 * @param callId The call's id as the device gave it.
 * @param state  Receives the call state (the call event constants list them;
 *               0 when the library follows no such call).
 * @param text   Receives the call's #MORELAPI_CALL_TEXT_BYTES bytes of text;
 *               only its first byte (0) when the library follows no such call.
 * @param value  Receives the call's 32-bit value (0 for no such call).
 * @return 1 on success; 0 when a pointer is NULL, the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) GetCallInfo(uint8_t callId, uint8_t *state, void *text, uint32_t *value);

/** @} */

/**
 * @defgroup contacts Contacts
 * @brief The device's contact list, entries numbered 1 to 100.
 *
 * Events 0x0401 and 0x0402 on #MORELAPI_SLOT_CONTACTS report changes.
 * @{
 */

/**
 * @brief Reads the number of contacts.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param count Receives the count; on a failed request, the last count the
 *              device gave.
 * @return 1 on success; 0 when count is NULL (nothing written), the link is
 *         down or another request is in flight (nothing written), or the
 *         device refused or did not answer.
 */
MORELAPI_API(int) GetContactCount(uint8_t *count);

/**
 * @brief Reads one contact.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param index The contact, 1 to 100.
 * @param data1 Receives the first field, #MORELAPI_CONTACT_DATA1_BYTES bytes.
 * @param byte  Receives the second field, one byte.
 * @param data2 Receives the third field, #MORELAPI_CONTACT_DATA2_BYTES bytes.
 * @return 1 on success; 0 when the device refused or did not answer (the
 *         fields then receive the entry as last read), and 0 with nothing
 *         written when index is out of range, a pointer is NULL, the link is
 *         down or another request is in flight.
 */
MORELAPI_API(int) GetContact(uint8_t index, void *data1, uint8_t *byte, void *data2);

/**
 * @brief Adds a contact.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param data1 The first field, #MORELAPI_CONTACT_DATA1_BYTES bytes.
 * @param byte  The second field, one byte.
 * @param data2 The third field, #MORELAPI_CONTACT_DATA2_BYTES bytes.
 * @return The device's answer byte; 0 when a pointer is NULL, the link is
 *         down, another request is in flight, or the device refused or did
 *         not answer.
 */
MORELAPI_API(uint8_t) SetContact(const void *data1, const uint8_t *byte, const void *data2);

/**
 * @brief Deletes one contact or all of them.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param index The contact, 1 to 100, or 255 for all.
 * @return 1 on success; 0 for another index, when the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) DeleteContact(uint8_t index);

/** @} */

/**
 * @defgroup recorder Recorder
 * @brief The device's recordings, numbered 1 to 100, and their playback.
 *
 * Events 0x0501..0x0503 on #MORELAPI_SLOT_RECORDS report changes of the list,
 * 0x0601..0x060A on #MORELAPI_SLOT_RECORDER the recorder's progress. Every
 * function here but GetPlaybackVol() waits for the device (up to 3000 ms) and
 * returns 0 also when the link is down, another request is in flight, or the
 * device refused or did not answer.
 * @{
 */

/**
 * @brief Reads the number of recordings.
 * @param count Receives the count.
 * @return 1 on success; 0 on failure or when count is NULL.
 */
MORELAPI_API(int) GetRecordCount(uint8_t *count);

/**
 * @brief Reads the information of one recording.
 * @param index  The recording, 1 to 100.
 * @param groupA Receives 7 bytes: a uint32, a uint16 and a uint8 at byte
 *               offsets 0, 4 and 6.
 * @param value  Receives the 32-bit value between the groups.
 * @param groupB Receives 11 bytes: two uint32, a uint16 and a uint8 at byte
 *               offsets 0, 4, 8 and 10.
 * @return 1 on success; 0 on failure, for an index out of range or a NULL
 *         pointer.
 */
MORELAPI_API(int) GetRecordInfo(uint8_t index, void *groupA, uint32_t *value, void *groupB);

/**
 * @brief Deletes one recording.
 * @param index The recording, 1 to 100.
 * @return 1 on success; 0 on failure or for an index out of range.
 */
MORELAPI_API(int) DeleteRecord(uint8_t index);

/**
 * @brief Deletes every recording.
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) DeleteAllRecords(void);

/**
 * @brief Starts recording.
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) StartRecording(void);

/**
 * @brief Stops recording.
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) StopRecording(void);

/**
 * @brief Plays one recording.
 * @param index The recording, 1 to 100.
 * @return 1 on success; 0 on failure or for an index out of range.
 */
MORELAPI_API(int) StartPlayback(uint8_t index);

/**
 * @brief Stops the playback.
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) StopPlayback(void);

/**
 * @brief Pauses the playback.
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) PausePlayback(void);

/**
 * @brief Resumes the playback.
 * @param resumeValue Passed to the device unchanged (e.g. a position from
 *                    GetCurrentPlaybackPos()).
 * @return 1 on success; 0 on failure.
 */
MORELAPI_API(int) ResumePlayback(uint32_t resumeValue);

/**
 * @brief Reads the playback position.
 * @param position Receives the position.
 * @return 1 on success; 0 on failure or when position is NULL.
 */
MORELAPI_API(int) GetCurrentPlaybackPos(uint32_t *position);

/**
 * @brief Reads the playback volume.
 *
 * Answers from the cache (read when the link came up);
 * #MORELAPI_EVENT_PLAYBACK_VOLUME reports each change.
 *
 * @param volume Receives the volume, 1 to 8.
 * @return 1 on success; 0 when the link is down or volume is NULL.
 */
MORELAPI_API(int) GetPlaybackVol(uint8_t *volume);

/**
 * @brief Sets the playback volume.
 *
 * GetPlaybackVol() shows the new volume once the device has reported it
 * (#MORELAPI_EVENT_PLAYBACK_VOLUME).
 *
 * @param volume 1 to 8.
 * @return 1 on success; 0 on failure or for a volume out of range.
 */
MORELAPI_API(int) SetPlaybackVol(uint8_t volume);

/**
 * @brief Reads the recorder's operation status.
 * @param opStatus Receives the status.
 * @return 1 on success; 0 on failure or when opStatus is NULL.
 */
MORELAPI_API(int) GetRecordOpStatus(uint32_t *opStatus);

/** @} */

/**
 * @defgroup camera Network camera and operating mode
 * @{
 */

/**
 * @brief Writes the network camera record.
 *
 * Waits for the device (up to 3000 ms). All values are passed unchanged.
 *
 * @param value1 First value.
 * @param value2 Second value.
 * @param value3 Third value.
 * @param text1  First text, #MORELAPI_CAMERA_TEXT_BYTES bytes sent as they
 *               stand.
 * @param text2  Second text, #MORELAPI_CAMERA_TEXT_BYTES bytes sent as they
 *               stand.
 * @param value4 Fourth value.
 * @param value5 Fifth value.
 * @return 1 on success; 0 when a text pointer is NULL, the link is down,
 *         another request is in flight, or the device refused or did not
 *         answer.
 */
MORELAPI_API(int) SetNwCameraInfo(uint32_t value1, uint16_t value2, uint8_t value3, const void *text1, const void *text2,
                                  uint32_t value4, uint16_t value5);

/**
 * @brief Reads the network camera record.
 *
 * Waits for the device (up to 3000 ms). The outputs are written only on
 * success.
 *
 * @param value1 Receives the first value.
 * @param value2 Receives the second value.
 * @param value3 Receives the third value.
 * @param text1  Receives the first text, #MORELAPI_CAMERA_TEXT_BYTES bytes.
 * @param text2  Receives the second text, #MORELAPI_CAMERA_TEXT_BYTES bytes.
 * @param value4 Receives the fourth value.
 * @param value5 Receives the fifth value.
 * @return 1 on success; 0 when a pointer is NULL, the link is down, another
 *         request is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) GetNwCameraInfo(uint32_t *value1, uint16_t *value2, uint8_t *value3, void *text1, void *text2,
                                  uint32_t *value4, uint16_t *value5);

/**
 * @brief Reads the device's operating mode.
 *
 * Answers from the cache (read when the link came up, from devices of
 * protocol 0x20 and later; 0 with older ones).
 *
 * @return The mode as a signed byte; -1 when the link is down (a mode byte of
 *         0xFF also reads -1).
 */
MORELAPI_API(int8_t) GetOpeMode(void);

/** @} */

/**
 * @defgroup rtcp RTCP parameters and raw data
 * @{
 */

/**
 * @brief Sends the RTCP send block.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param blockId The block, 1 (the only one).
 * @param data    The block, #MORELAPI_RTCP_SEND_BYTES bytes.
 * @return 1 on success; 0 for another block id (nothing sent), when data is
 *         NULL, the link is down, another request is in flight, or the device
 *         refused or did not answer.
 */
MORELAPI_API(int) SetRtcpSend(uint16_t blockId, const void *data);

/**
 * @brief Reads the RTCP receive block.
 *
 * Waits for the device (up to 3000 ms); #MORELAPI_SLOT_RTCP's event 0x0701
 * reports a new block.
 *
 * @param blockId The block, 1 (the only one; another id is still asked for,
 *                then refused).
 * @param buffer  Receives the block, #MORELAPI_RTCP_RECEIVE_BYTES bytes.
 * @return 1 on success; 0 for another block id, when buffer is NULL, the link
 *         is down, another request is in flight, or the device refused or did
 *         not answer.
 */
MORELAPI_API(int) GetRtcpReceive(uint16_t blockId, void *buffer);

/**
 * @brief Writes the RTCP version setting.
 *
 * Waits for the device (up to 3000 ms). The arguments are passed unchanged.
 *
 * @param verArg1 First argument.
 * @param verArg2 Second argument.
 * @param verArg3 Third argument.
 * @return The version the device answered; 0 on failure (which cannot be told
 *         from a version 0).
 */
MORELAPI_API(uint16_t) SetRtcpVer(uint16_t verArg1, uint32_t verArg2, uint8_t verArg3);

/**
 * @brief Reads the RTCP version setting.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param arg1    Not used.
 * @param arg2    Not used.
 * @param verByte Receives the byte that follows the version; written only on
 *                success.
 * @return The version; 0 on failure or when verByte is NULL (which cannot be
 *         told from a version 0).
 */
MORELAPI_API(uint16_t) GetRtcpVer(uint32_t arg1, uint32_t arg2, uint8_t *verByte);

/**
 * @brief Sends a raw data block to the device.
 *
 * Waits for the device (up to 3000 ms).
 *
 * @param data The block, #MORELAPI_RAW_DATA_BYTES bytes.
 * @return 1 on success; 0 when data is NULL, the link is down, another request
 *         is in flight, or the device refused or did not answer.
 */
MORELAPI_API(int) SendFixed128RawData(const void *data);

/**
 * @brief Reads the last raw data block the device sent.
 *
 * Answers from the cache; #MORELAPI_EVENT_RAW_DATA reports each new block.
 * The block is always whole, never half old and half new.
 *
 * @param buffer Receives the block, #MORELAPI_RAW_DATA_BYTES bytes (zeros
 *               before the first block).
 * @return 1 on success; 0 when the link is down or buffer is NULL.
 */
MORELAPI_API(int) ReceiveFixed128RawData(void *buffer);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* MORELAPI_H */
