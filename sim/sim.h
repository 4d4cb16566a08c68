// The simulated speakerphone: a device, not a test double.
//
// A sim::Device keeps the whole state that the host library mirrors, answers
// every request of the command set from that state (acknowledgement, then
// response, both carrying the request's sequence, swapped addresses and the
// device's own protocol version) and reports its own changes as notifications.
// It can be older than the host, and it misbehaves on demand through a
// FaultPlan.
//
// Threads. Every function here is thread-safe. Each device owns one delivery
// thread, started by CreateDevice and joined by DestroyDevice; it alone calls
// the receive callback (or sink) of the current connection, in the order the
// bytes were produced (by due time when a fault delays some of them), and
// never while holding the device's lock: a callback may call any function of
// this header (DestroyDevice from a callback frees the device once that
// callback has returned).
//
// Driving it.
//  - In-process (tests, libtalvo with TALVO_DEVICE=sim): Connect with the
//    host's receive callback, HostWrite the host's frames, Disconnect.
//  - From a program serving a stream (spphone-sim): ConnectSink with a
//    function that writes the bytes to the stream; a type 6/7 report handed to
//    the sink means the link changed state (for a stream: close it).
//  - From a console: the operations under "Console" below.
//
// Bytes from the host. HostWrite takes bytes in chunks of any size and cuts
// frames itself. A header is taken as a frame start when source is 1,
// destination 2 or 3, kind 0 or 1 and extraLength at most 678; otherwise one
// byte is discarded and the search goes on, so garbage is skipped and the
// device resynchronises on the next good header. Nothing the host sends can
// crash it or make it read or write out of bounds.
//
// Answers (all multi-byte fields little-endian):
//  - kind 2 acknowledgement, byte 20 = status (0 accepted); then
//  - kind 3 response, byte 20 = status (0 success), answer data from 21.
//  A request the device cannot take (unknown class/command, parameter out of
//  the device's range: a call id to end above 6, contact and recording
//  numbers outside 1..100, volumes, modes, items) is refused by the
//  acknowledgement (status 1) and gets no response. A request it takes but cannot carry out now (answer a call when
//  none rings, end a call id that is not live, read or delete a contact or a
//  recording number that holds nothing, ...) is acknowledged and fails in the
//  response (status 1). Only successful requests change the state. Reads of a
//  system data id the device does not store answer zero bytes: the host's
//  start-up synchronisation asks for ids that no device stores.
//
// What the device does (beyond answering reads from its state):
//  - 1/6 key: key notification 0x0104 (action, code), then display change
//    0x0106 with or without the image (DisplayMode). 1/2 reboot only counts.
//  - 2/17, 2/19, 6/11 volume sets (kRingerVolumes, kReceiveVolumes,
//    kPlaybackVolumes: 0..3, 1..8, 1..8): 0x0107, 0x0108,
//    0x0109 with the new value. 2/7, 2/8, 2/9 store mute (0/1), slow talk
//    (0/2/3), sound enhancer (0..2) silently.
//  - 3/1 system data set: 0x0301 with the id and the value; the action ids
//    129..132 are carried out without a report; any other id is refused.
//  - 0/2 raw data: stored and echoed as 0x0002 (DeviceConfig::echoRawData).
//  - 7/1 and 7/2 know block id 1 only (others refused); 7/3 takes the asked
//    RTCP version when it is 1..rtcpMaxVersion and answers the one it runs.
//  - Calls (two at most; ids 1..6): 2/1 dials (0x0201 full details, 0x0206,
//    and 0x0203 when outgoingAutoConnect; an established call is held first,
//    a third call is refused); 2/3 answers the ringing call (holding an active
//    one); 2/6 rejects it (0x0210); 2/21 holds the active call and takes the
//    held one back (0x0207, 0x0208); 2/4 joins (0x0209 for both), 2/5 makes a
//    conference (0x020A for both); 2/2 ends the call whose id is in byte 20
//    (0: the active call, else the one being set up, else the held one, else
//    any) (0x020F). 2/20 answers the live call of the asked id, or state 0
//    for any other id.
//  - Contacts: 4/2 reads one, 4/3 appends and answers the new number (0 when
//    full), 4/4 deletes one (later ones move up) or all (255).
//  - Recorder (op status: RecorderStatus): 6/1 starts recording, 6/2 stops
//    and adds a recording; 6/3 plays number n, 6/5 pauses, 6/6 resumes (from
//    the position in bytes 20..23 when nonzero), 6/4 stops; 6/8 moves the
//    position on by playbackStep while playing. 5/2 reads the information of
//    one, 5/3 deletes one, 5/4 all.
//  - With reportSignals: 0x0401 contact added, 0x0402 contact(s) deleted,
//    0x0501 recording deleted, 0x0502 all deleted, 0x0601 recording started,
//    0x0602 stopped, 0x0603 playback started, 0x0604 stopped, 0x0605 paused,
//    0x0606 resumed.
//
// Protocol version. A frame whose version is above the device's own is not
// answered; the device sends at once, in its own version, the notification
// 0x0100 (byte 20 = its version), an event id the host does not know, so that
// the host learns the version. Connect sends that notification once as well.
// Every frame from the device carries the device's own version unless a fault
// says otherwise.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "talvo.h"

namespace sim {

constexpr size_t kHeaderBytes = 20;
constexpr size_t kMinFrameBytes = 64;
constexpr size_t kMaxFrameBytes = 742;          // largest frame the host accepts
constexpr uint32_t kMaxExtraLength = 678;
constexpr size_t kDisplayBytes = 721;
constexpr size_t kMaxContacts = 100;
constexpr size_t kMaxRecords = 100;
constexpr size_t kMaxTableEntries = 16;         // 44-byte entries that fit one answer
constexpr size_t kTableEntryBytes = 44;
constexpr size_t kSystemItemCount = 55;
constexpr size_t kCameraBytes = 47;
constexpr size_t kRtcpSendBytes = 84;
constexpr size_t kRtcpReceiveBytes = 88;
constexpr size_t kRawBlockBytes = 128;
constexpr size_t kCallTextBytes = 129;
constexpr uint8_t kMaxCallId = 6;              // call ids are 1..6

constexpr uint16_t kEventVersionNotice = 0x0100; // unsolicited version report
constexpr uint16_t kNotificationClass = 16;

// How a display change (event 0x0106) is reported.
enum class DisplayMode : uint8_t {
    Always,    // with the whole image (extraLength 677)
    Never,     // without an image (extraLength 0): the host reads it with 1/7
    Alternate, // with, without, with, ... starting with the image
};

// Something the device sends in answer to a request, delay after the request
// came: a frame (type TALVO_TYPE_DATA) or a link report (type 6 or 7, bytes
// empty).
struct Outgoing {
    std::vector<uint8_t> bytes;
    int32_t type;
    std::chrono::milliseconds delay;
};

// Answers host requests in the model's place (DeviceConfig::answerRequest):
// called with each whole request frame (kind 1) of the version the device
// reads, under the device's lock, so it must not call into the device. What it
// appends to out is sent as it is, in order; the model's state is left alone
// and the fault plan's answer actions do not apply (kFailWrite still does).
using RequestAnswerer = std::function<void(const uint8_t *frame, size_t length, std::vector<Outgoing> *out)>;

struct DeviceConfig {
    uint8_t protocolVersion = 0x30; // 0x10..0x30
    uint8_t contactCount = 5;       // answered count; entries beyond 100 do not exist
    uint8_t recordCount = 3;        // up to 100
    uint8_t tableCount = 3;         // 44-byte entries answered by 1/12; up to 16
    uint8_t status = 2;             // 0, 1, 9, 12, 13 mean not ready
    DisplayMode displayMode = DisplayMode::Always;
    bool echoRawData = true;        // answer class 0 command 2 with notification 0x0002
    bool outgoingAutoConnect = true; // a made call goes on to connected by itself
    bool reportSignals = true;      // recorder and list signal events (0x04xx..0x06xx)
    uint32_t playbackStep = 1000;   // position advance per position read while playing
    size_t logLimit = 10000;        // host frames kept in the log (oldest dropped)
    RequestAnswerer answerRequest;  // unset: the model answers
};

struct SystemItem {
    uint16_t id;
    uint8_t width; // 1..128
    std::array<uint8_t, 128> value;
};

struct Contact {
    std::array<uint8_t, 34> data1;
    uint8_t byte;
    std::array<uint8_t, 129> data2;
};

struct RecordInfo {
    uint32_t a1;
    uint16_t a2;
    uint8_t a3;
    uint32_t value;
    uint32_t b1;
    uint32_t b2;
    uint16_t b3;
    uint8_t b4;
};

// Call states the device uses (its own numbering; CallEventFor gives the
// event of each). End states free the call.
constexpr uint8_t kCallConnected = 2;
constexpr uint8_t kCallEndedHere = 4;
constexpr uint8_t kCallRejected = 5;
constexpr uint8_t kCallEndedFar = 6;
constexpr uint8_t kCallDialling = 8;
constexpr uint8_t kCallRinging = 9;
constexpr uint8_t kCallRetrieved = 11; // active again after hold
constexpr uint8_t kCallHeld = 12;
constexpr uint8_t kCallJoined = 13;
constexpr uint8_t kCallConference = 15;
constexpr uint8_t kCallAlerting = 16;

struct Call {
    bool live;       // false: the slot is free (state keeps the last end state)
    uint8_t id;      // 1..kMaxCallId
    uint8_t state;   // the device's state number (see CallEventFor)
    uint8_t attribute;
    std::array<uint8_t, kCallTextBytes> text;
    uint32_t param;
    bool outgoing;
};

// Recorder operation status values (answered by 6/12).
enum RecorderStatus : uint32_t { kRecIdle = 0, kRecRecording = 1, kRecPlaying = 2, kRecPaused = 3 };

// Everything the device knows. Read with Snapshot, change with Update.
struct DeviceState {
    uint8_t protocolVersion;
    uint8_t status;
    uint8_t status2;
    uint16_t errorCode;
    uint8_t productDefault;          // answered by 1/3 (1 = factory settings)
    std::array<uint16_t, 3> versions;
    std::array<uint8_t, 6> networkItem1;
    std::array<uint32_t, 8> networkItems; // [2]..[7]; [0], [1] unused
    uint8_t destinationCode;
    uint16_t destinationValue;
    uint8_t tableCount;              // answered count, capped at kMaxTableEntries
    std::array<std::array<uint8_t, kTableEntryBytes>, kMaxTableEntries> table;
    std::array<SystemItem, kSystemItemCount> items; // in the host's store order
    uint16_t lastChangedItem;        // answered by 3/3
    uint8_t contactCount;            // answered count; may exceed kMaxContacts
    std::array<Contact, kMaxContacts> contacts; // entry n-1 holds contact n
    uint8_t recordCount;
    std::array<RecordInfo, kMaxRecords> records;
    uint32_t playbackPosition;
    uint8_t playbackVolume;
    uint32_t recordOpStatus;         // RecorderStatus
    uint8_t playingRecord;           // 1-based, 0 = none
    uint32_t recordingsMade;         // numbers the info of new recordings
    std::array<Call, 2> calls;
    uint8_t nextCallId;              // 1..6, cycling
    uint8_t ringerVolume;            // 0..3
    uint8_t receiveVolume;           // 1..8
    uint8_t slowTalk;                // 0, 2, 3
    uint8_t soundEnhancer;           // 0..2
    uint8_t mute;                    // 0, 1
    std::array<uint8_t, kCameraBytes> camera; // wire layout of the camera record
    uint8_t operatingMode;
    std::array<uint8_t, kRtcpSendBytes> rtcpSend;
    std::array<uint8_t, kRtcpReceiveBytes> rtcpReceive;
    uint16_t rtcpVersion;
    uint8_t rtcpVersionByte;
    uint16_t rtcpMaxVersion;         // SetRtcpVer accepts 1..this, else keeps its version
    uint32_t rtcpVerParam;           // last second argument of 3 set by 7/3
    std::array<uint8_t, kRawBlockBytes> rawBlock; // last block from the host (0/2)
    uint8_t keyAction;               // last key event
    uint8_t keyCode;
    uint32_t rebootCount;
    bool displayAuto;                // true: the image is redrawn from the state
    bool displayWithImage;           // next 0x0106 carries the image (Alternate mode)
    std::array<uint8_t, kDisplayBytes> display;
};

// The state a device starts with for cfg (deterministic).
DeviceState DefaultState(const DeviceConfig &cfg = {});
// The stored item of id, or nullptr (also for the action ids 129..132).
SystemItem *FindItem(DeviceState &st, uint16_t id);
const SystemItem *FindItem(const DeviceState &st, uint16_t id);
// The display image as text: its bytes up to the first zero, lines split by '\n'.
std::string DisplayText(const DeviceState &st);
// Redraws the image from the state (what the device does after each change
// while displayAuto is set).
void RenderDisplay(DeviceState &st);
// The call event that reports a call entering state, and whether it carries
// the full details; 0 when no event reports that state.
uint16_t CallEventFor(uint8_t state, bool *fullDetails = nullptr);
// True for the end states 0, 4, 5, 6, 7, 24, 25, 26.
bool IsEndState(uint8_t state);

// ---- Fault plan -----------------------------------------------------------

// Actions of a FaultRule; combine with |.
enum FaultAction : uint32_t {
    kRefuse = 1u << 0,             // ack status = refuseStatus, no response, nothing done
    kFail = 1u << 1,               // ack 0, response status = failStatus, nothing done
    kDropAck = 1u << 2,            // no acknowledgement (the response still comes)
    kResponseWithoutAck = kDropAck,
    kDropResponse = 1u << 3,       // acknowledgement only
    kNoAnswer = kDropAck | kDropResponse,
    kDelay = 1u << 4,              // answer (and what follows it) delayMs later
    kDuplicate = 1u << 5,          // acknowledgement and response sent twice
    kWrongSequence = 1u << 6,      // answer sequence = request's + sequenceOffset
    kWrongVersion = 1u << 7,       // answer version = request's + 1 (above the host's)
    kGarbageBefore = 1u << 8,      // garbageBytes bytes of garbageByte, own chunk, before
    kGarbageAfter = 1u << 9,       // the same after the answer
    kSplit = 1u << 10,             // answer chunks cut into chunkSize-byte pieces
    kMerge = 1u << 11,             // acknowledgement and response in one chunk
    kReportLink = 1u << 12,        // link report linkType instead of any answer
    kFailWrite = 1u << 13,         // HostWrite returns false; the frame is not taken
    kNotReady = 1u << 14,          // 1/9 and 1/13 answer notReadyStatus as status
    kAnswerAnyway = 1u << 15,      // a request the device would refuse or fail is acknowledged and
                                   // answered with status 0 and whatever data the device had put
                                   // together (often none: use patch); nothing refused is carried out
};

struct FaultRule {
    int classId = -1;     // -1: any class
    int commandId = -1;   // -1: any command
    int destination = -1; // -1: any; 2 start-up/keep-alive, 3 application
    bool includeOneWay = false; // also match kind-0 host frames (keep-alive)
    uint32_t skip = 0;    // let this many matching frames pass first
    uint32_t count = 1;   // then apply to this many; 0 = to every one until cleared
    uint32_t actions = 0;
    uint8_t refuseStatus = 1;
    uint8_t failStatus = 1;
    uint32_t delayMs = 0;
    uint32_t sequenceOffset = 1;
    size_t garbageBytes = 16;
    uint8_t garbageByte = 0xEE;
    size_t chunkSize = 1;
    int32_t linkType = TALVO_TYPE_LINK_LOST;
    uint8_t notReadyStatus = 12;
    // Bytes written over the response (with any action, status 0 or not) from
    // frame offset patchAt on; the response grows to hold them, up to the
    // largest frame. Bytes that would fall before offset 21 (the header and
    // the status byte) or beyond the largest frame are left out.
    size_t patchAt = 21;
    std::vector<uint8_t> patch;
};

struct FaultPlan {
    std::vector<FaultRule> rules; // the first rule that matches a frame and has uses left applies
    uint32_t failOpens = 0;       // the next failOpens Connect calls fail
};

// ---- Observation ----------------------------------------------------------

struct HostFrame {
    std::vector<uint8_t> bytes;
    uint8_t version;
    uint16_t classId;
    uint16_t commandId;
    uint16_t destination;
    uint16_t kind;
    uint32_t sequence;
    uint32_t length; // 64 + extraLength
    std::chrono::steady_clock::time_point time;
};

struct Counters {
    uint64_t hostFrames;     // frames cut from the host's bytes (all kinds)
    uint64_t keepAlives;     // class 0 command 1, kind 0
    uint64_t discardedBytes; // host bytes skipped while resynchronising
    uint64_t failedWrites;   // HostWrite calls refused (no link or fault)
    uint64_t acks;           // acknowledgements queued
    uint64_t responses;      // responses queued
    uint64_t notifications;  // notifications queued (version notices included)
    uint64_t versionNotices; // 0x0100 frames queued
    uint64_t linkReports;    // type 6/7 reports queued
    uint64_t chunksDelivered; // callback calls made (all types)
    uint64_t bytesDelivered;
    uint64_t faultsApplied;  // frames a fault rule acted on
    uint64_t opens;          // successful Connect calls
};

struct Log {
    std::deque<HostFrame> frames; // the last cfg.logLimit frames, oldest first
    Counters counters;
    bool idle; // nothing queued for delivery and no callback running
};

// ---- Device ---------------------------------------------------------------

struct Device;
using Sink = std::function<void(const uint8_t *data, int32_t count, int32_t type)>;

Device *CreateDevice(const DeviceConfig &cfg = {});
void DestroyDevice(Device *dev);

// Connection. Connect fails (false) while the fault plan says so; a second
// Connect replaces the first connection. After Disconnect returns, the
// previous callback is never called again (when called from inside that
// callback: never again after it returns); undelivered bytes are dropped.
bool Connect(Device *dev, TalvoReceiveCallback callback);
bool ConnectSink(Device *dev, Sink sink);
void Disconnect(Device *dev);
bool IsConnected(Device *dev);
// Bytes from the host. False (nothing taken) when not connected or when a
// kFailWrite rule matches the frame starting the chunk.
bool HostWrite(Device *dev, const uint8_t *bytes, size_t n);

// State. Update runs fn under the device's lock (fn must not call back into
// the device), then redraws the display when displayAuto is set. It sends no
// notification.
DeviceState Snapshot(Device *dev);
void Update(Device *dev, const std::function<void(DeviceState &)> &fn);

// Faults. SetFaultPlan replaces the rules and the failing opens and starts
// every count afresh; AddFaultRule adds a rule behind those there are, whose
// counts go on; SetFailOpens sets the failing opens left and keeps the rules.
void SetFaultPlan(Device *dev, const FaultPlan &plan);
void AddFaultRule(Device *dev, const FaultRule &rule);
void SetFailOpens(Device *dev, uint32_t opens);
void ClearFaults(Device *dev);

// A rule of the plan with what it has left: skipLeft matching frames still
// pass, then it applies to usesLeft more (count 0: to every one, usesLeft 0).
struct FaultRuleLeft {
    FaultRule rule;
    uint32_t skipLeft;
    uint32_t usesLeft;
};
struct FaultsLeft {
    std::vector<FaultRuleLeft> rules; // in plan order; used-up rules are left out
    uint32_t failOpens;
};
FaultsLeft GetFaultsLeft(Device *dev);

// Observation. Waits block on a condition variable up to the timeout and
// return whether the condition held. pred runs under the device's lock each
// time the log changes (a frame taken, a chunk queued or delivered): it must
// be quick and must not call into the device.
Log GetLog(Device *dev);
Counters GetCounters(Device *dev);
size_t QueuedBytes(Device *dev); // bytes the device has yet to deliver
void ClearLog(Device *dev); // frames and counters
bool WaitUntil(Device *dev, const std::function<bool(const Log &)> &pred, std::chrono::milliseconds timeout);
bool WaitForFrames(Device *dev, uint64_t hostFrames, std::chrono::milliseconds timeout);
bool WaitIdle(Device *dev, std::chrono::milliseconds timeout);

// ---- Sending on the device's own account ----------------------------------

// A notification frame: kind 0, class 16, command = eventId, destination 1,
// source 2, data from offset 20 (n <= 722; the frame is at least 64 bytes).
bool SendNotification(Device *dev, uint16_t eventId, const uint8_t *data, size_t n);
void SendRawBytes(Device *dev, const uint8_t *bytes, size_t n); // as they are
void ReportLink(Device *dev, int32_t type);                     // 6 or 7

// ---- Console: what a person does at the device ------------------------------

// An incoming call (event 0x0202, full details). Returns its call id, or 0
// when two calls are live already.
uint8_t Ring(Device *dev, const std::string &number);
// The far end of a dialled call answers (0x0203). False when none is dialling.
bool FarEndAnswer(Device *dev);
// The far end hangs up (0x0211). callId 0: the first live call.
bool FarEndHangUp(Device *dev, uint8_t callId = 0);
// Puts a live call into any state, with the matching call event; an end state
// frees the slot. False when no live call has that id or no event reports state.
bool SetCallState(Device *dev, uint8_t callId, uint8_t state);
// A key on the keypad: key notification 0x0104, then a display change.
void PressKey(Device *dev, uint8_t keyCode, uint8_t action = 0);
// Volume wheels: 0x0107, 0x0108, 0x0109 with the new value. A wheel has the
// steps of the matching set request (kRingerVolumes, kReceiveVolumes,
// kPlaybackVolumes); any other volume changes nothing (false).
struct VolumeRange {
    uint8_t min;
    uint8_t max;
};
constexpr VolumeRange kRingerVolumes{0, 3};
constexpr VolumeRange kReceiveVolumes{1, 8};
constexpr VolumeRange kPlaybackVolumes{1, 8};
bool SetRingerVolume(Device *dev, uint8_t volume);
bool SetReceiveVolume(Device *dev, uint8_t volume);
bool SetPlaybackVolume(Device *dev, uint8_t volume);
// A setting changed at the device: 0x0301 with the id and the new value.
// value must hold the item's width; false for an id the device does not store.
bool ChangeItem(Device *dev, uint16_t id, const uint8_t *value, size_t n);
// A raw 128-byte block from the device: 0x0002.
void SendRawData(Device *dev, const uint8_t *block128);
// Redraw and report the display (0x0106, by the display mode).
void RedrawDisplay(Device *dev);
// Sets the status byte answered by 1/9 and 1/13 (0, 1, 9, 12, 13: not ready);
// announce: also report a link change (type 6) so that the host checks again.
void SetStatus(Device *dev, uint8_t status, bool announce = false);
// The link drops (type 7 report).
void DropLink(Device *dev);

} // namespace sim
