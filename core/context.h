// The one record of library state and the guards of the exported calls.
//
// Locks (std::mutex):
// - queueLock guards the send queue, the pending list, txFrame/txLength,
//   awaitedPacket and every cached device value below (the mirror of the
//   device). Command handlers run with it held; event handlers and exported
//   getters take it briefly to write or copy cached values.
// - eventLock guards the event queue.
// - ringLock guards the ring's write side and its flush.
// - slotLock guards the eight event slots and their delivery marks.
// - producerLock serialises the transport's calls of the receive callback
//   (a transport may call it from several threads); it is held around
//   ringLock, the one place two of these locks nest.
// - stateLock only pairs with stateChanged (see NotifyState).
// No other code path holds two of these at once. Flags read without a lock
// are atomics.
//
// Waits: the seven events below, slotIdle (registrations waiting for a
// running delivery), and stateChanged (the start waiting for the started
// flags, a library thread waiting for the request turn, the link thread
// waiting for the receiver to drop the ring). ReleaseWaits ends every one of
// them when the library stops.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "core/platform.h"
#include "morelapi.h"
#include "talvo.h"

namespace morel {

struct ApiContext;
struct CommandPacket;
struct CommandClassEntry;
struct EventRecord;
struct NotificationEntry;

// Phase 0: write request parameters into txFrame (sender thread).
// Phase 1: decode the answer in rxFrame, or the notification in the current
// event record (receiver thread / event thread).
using CommandHandler = void (*)(ApiContext *ctx, uint8_t phase);
using EventHandler = CommandHandler;

constexpr size_t kRingSize = 4096;
constexpr size_t kTxFrameSize = 256;
constexpr size_t kRxFrameSize = 1024;
constexpr size_t kMaxFrame = 742;
constexpr uint32_t kMaxExtraLength = 678;
constexpr size_t kDisplayBytes = 721;
constexpr size_t kContactCountMax = 100;
constexpr size_t kRecordCountMax = 100;
constexpr size_t kUnicodeEntries = 10;
constexpr size_t kUnicodeEntryBytes = 44;
constexpr size_t kSystemDataStoreBytes = 1024;

struct ReceiveRing {
    uint32_t readPtr = 0;              // offset of the next byte to take; consumer only
    uint32_t writePtr = 0;             // offset of the next byte to fill; producer, under ringLock
    std::atomic<uint32_t> used{0};     // bytes stored and not yet released
    uint8_t bytes[kRingSize] = {};
};

struct CallRecord {
    uint32_t inUse;
    uint8_t callState;
    uint8_t callId;
    uint8_t callAttribute;
    uint8_t number[129];
    uint32_t callParam;
};

struct ContactRecord {
    uint8_t contactData1[34];
    uint8_t contactByte;
    uint8_t contactData2[129];
};

struct RecordInfo {
    uint32_t infoA1;
    uint16_t infoA2;
    uint8_t infoA3;
    uint32_t infoValue;
    uint32_t infoB1;
    uint32_t infoB2;
    uint16_t infoB3;
    uint8_t infoB4;
};

struct RecordTable {
    RecordInfo entries[kRecordCountMax]; // entry n-1 holds recording number n
    uint8_t recordIndex;
};

struct EventSlot {
    SPphoneEventCallback callback;
    uint32_t userWord;
    void *dataBuffer;
};

// Deliveries of one slot running on one lane (event thread, link thread,
// any other thread). A registration from an application thread waits until
// the deliveries that were running when it stored the new registration have
// returned: `generation` moves on with each outermost delivery, so a waiter
// is not held by deliveries that began after it.
struct SlotDelivery {
    uint32_t depth;
    uint32_t generation;
};
constexpr int kDeliveryLanes = 3;

// What the api layer hands the layers below when it makes the context, so
// that no folder includes one above it: the command table that BuildCommand
// looks requests up in, the device events' table, and where the link passes
// on what it receives.
struct Protocol {
    const CommandClassEntry *commands; // indexed by class, 0..7
    const NotificationEntry *(*findNotification)(uint32_t eventId);
    // Receiver thread: rxFrame holds a notification.
    void (*notificationReceived)(ApiContext *ctx);
    // Link thread: tells the application that the link went down (0) or up (1).
    void (*reportLink)(ApiContext *ctx, uint8_t up);
    // Link thread: drops the notifications a lost link left queued.
    void (*dropNotifications)(ApiContext *ctx);
};

struct ApiContext {
    const Protocol *protocol = nullptr;

    Lock queueLock;
    Lock eventLock;
    Lock ringLock;
    Lock slotLock;
    Lock producerLock;
    std::condition_variable slotIdle;
    // The state library threads wait for besides events: the started flags,
    // the request turn (commandActive), the ring's discard (discardRing).
    // Whoever changes one of them calls NotifyState.
    Lock stateLock;
    std::condition_variable stateChanged;
    Event sendEvent;                    // packets were queued
    Event replyEvent;                   // the awaited packet was retired
    Event ringEvent;                    // bytes arrived in the ring, or a discard was asked
    Event linkEvent{EventMode::Manual}; // the link must be (re)established
    Event notifyEvent;                  // a notification arrived
    Event roomEvent;                    // the receiver released room in the ring
    Event stopEvent{EventMode::Manual}; // the library is stopping

    std::atomic<uint32_t> senderStarted{0}, receiverStarted{0}, linkStarted{0}, eventStarted{0};
    std::atomic<bool> stopping{false};
    std::atomic<bool> discardRing{false}; // the receiver must drop every byte buffered; it clears the flag

    std::atomic<uint8_t> protocolVersion{0x30};
    std::atomic<uint8_t> peerVersion{0};
    std::atomic<uint32_t> syncComplete{1}; // 0 while StartupSync runs
    std::atomic<uint32_t> deviceAvailable{0};
    std::atomic<uint32_t> commandActive{0}; // the request turn is taken
    std::atomic<std::thread::id> turnOwner{}; // the thread holding commandActive
    std::atomic<uint32_t> productDefault{0};
    uint32_t wasAvailable = 0;  // link thread only
    uint32_t retryElapsed = 0;  // link thread only
    std::atomic<uint32_t> nextSequence{1};
    std::atomic<uint32_t> lastSendTick{0};

    // Status and identity.
    uint8_t versionSelector = 0;
    uint16_t speakerphoneVersions[3] = {};
    uint8_t destinationCode = 0;
    uint16_t destinationValue = 0;
    uint8_t unicodeCount = 0;
    uint8_t unicodeTable[kUnicodeEntries * kUnicodeEntryBytes] = {};
    uint8_t networkSelector = 0;
    uint8_t networkItem1[6] = {};
    uint32_t networkItem2 = 0, networkItem3 = 0, networkItem4 = 0, networkItem6 = 0, networkItem7 = 0, networkItem5 = 0;

    // Keys and display.
    uint32_t fKeyDownTick = 0;
    uint32_t fKeyDown = 0;
    uint8_t keyAction = 0;
    uint8_t keyCode = 0;
    uint8_t displayBuffer[kDisplayBytes] = {};

    // Calls.
    uint8_t callInfoCallId = 0;
    CallRecord callRecords[2] = {};

    // Audio settings.
    uint8_t ringerVolume = 0;
    uint8_t receiveVolume = 0;
    uint8_t slowTalkMode = 0;
    uint8_t soundEnhancerMode = 0;

    std::atomic<uint16_t> resultCode{0};
    uint16_t deviceErrorCode = 0;
    uint8_t deviceStatus = 0;
    uint8_t deviceStatus2 = 0;

    std::atomic<uint32_t> transportHandle{0};
    ReceiveRing ring;
    CommandPacket *sendQueue = nullptr;
    CommandPacket *pendingList = nullptr;
    CommandPacket *awaitedPacket = nullptr; // under queueLock; cleared by whoever retires it
    uint16_t awaitedOutcome = 0;            // under queueLock: resultCode of the retired awaited packet
    EventRecord *eventQueue = nullptr;
    EventRecord *eventTail = nullptr;       // last record of eventQueue; stale while eventQueue is null
    EventRecord *currentEvent = nullptr;    // record whose handler runs; event thread only
    EventRecord *keptRecords[2] = {};       // under eventLock: finished records kept for reuse, small and large
    uint32_t keptRecordCount[2] = {};       // under eventLock
    uint32_t eventQueueCount = 0;           // under eventLock: records in eventQueue
    uint64_t droppedNotifications = 0;      // under eventLock: dropped at a full queue
    // Display notifications without the image: the number of the last one
    // queued (receiver thread), and of the last one that a finished image
    // read started after (event thread), with that read's outcome.
    std::atomic<uint32_t> displayQueued{0};
    uint32_t displayCovered = 0;
    bool displayCoveredRead = false;
    uint8_t txFrame[kTxFrameSize] = {};
    uint16_t txLength = 0;
    uint8_t rxFrame[kRxFrameSize] = {};
    uint16_t rxLength = 0;
    uint16_t rxPrevLength = 0; // length of the previous frame, to clear its tail

    // System data.
    uint16_t sysDataItemId = 0;
    uint16_t lastChangedItem = 0;
    uint8_t systemDataStore[kSystemDataStoreBytes] = {};

    // Contacts.
    uint8_t contactCount = 0;
    uint8_t contactIndex = 0;
    uint8_t contactSetResult = 0;
    ContactRecord contactTable[kContactCountMax] = {};

    // Recorder.
    uint8_t recordCount = 0;
    RecordTable recordTable = {};
    uint32_t playbackPosition = 0;
    uint8_t playbackVolume = 0;
    uint32_t recordOpStatus = 0;

    // RTCP, camera, operating mode, raw data.
    uint16_t rtcpReceiveId = 0;
    uint8_t rtcpReceiveBlock[88] = {};
    uint32_t cameraValue1 = 0;
    uint16_t cameraValue2 = 0;
    uint8_t cameraValue3 = 0;
    uint8_t cameraText1[17] = {};
    uint8_t cameraText2[17] = {};
    uint32_t cameraValue4 = 0;
    uint16_t cameraValue5 = 0;
    uint8_t rtcpVersionByte = 0;
    uint16_t rtcpVersion = 0;
    uint8_t operatingMode = 0;
    uint8_t rawReceiveBuffer[128] = {};

    // Notifications.
    EventSlot eventSlots[8] = {};
    SlotDelivery slotDelivery[8][kDeliveryLanes] = {};
};

// Every event of the context, for ReleaseWaits.
inline constexpr Event ApiContext::*kContextEvents[] = {
    &ApiContext::sendEvent,   &ApiContext::replyEvent, &ApiContext::ringEvent, &ApiContext::linkEvent,
    &ApiContext::notifyEvent, &ApiContext::roomEvent,  &ApiContext::stopEvent,
};

// Marks the library as stopping and ends every wait of the context, now and
// later: each event is released for good, the waits on stateChanged and
// slotIdle see `stopping`.
void ReleaseWaits(ApiContext *ctx);

// Wakes the waits on stateChanged after a change of the state they watch.
void NotifyState(ApiContext *ctx);
// Waits on stateChanged until `ready()` holds.
template <typename Ready> void WaitForState(ApiContext *ctx, Ready ready) {
    std::unique_lock<std::mutex> g(ctx->stateLock);
    ctx->stateChanged.wait(g, ready);
}

// Worker threads: sets a started flag and wakes the start waiting for it.
void MarkStarted(ApiContext *ctx, std::atomic<uint32_t> &flag);

// The running library's context: published by the start, taken by the one
// stop that claims it (nullptr for every other caller).
void PublishContext(ApiContext *ctx);
ApiContext *TakeContext();
bool ContextPublished();

// The exports' way to the context. A ContextRef keeps the context alive for
// the duration of an exported call; the stop waits for every ref to be
// released (WaitForContextRefs) after waking the waits they may be in.
ApiContext *AcquireContext();
void ReleaseContext();
void WaitForContextRefs();

struct ContextRef {
    ApiContext *ctx;
    ContextRef() : ctx(AcquireContext()) {}
    ~ContextRef() {
        if (ctx)
            ReleaseContext();
    }
    ContextRef(const ContextRef &) = delete;
    ContextRef &operator=(const ContextRef &) = delete;
    operator ApiContext *() const { return ctx; }
    ApiContext *operator->() const { return ctx; }
};

// Guards of the exported functions.
bool CanIssueCommand(const ApiContext *ctx);
bool IsDeviceReady(const ApiContext *ctx);

// The receive callback finds the context here (the transport passes none).
extern std::atomic<ApiContext *> callbackContext;

// True on the library's own worker threads: requests made there wait their
// turn instead of failing when another request is in flight.
bool OnWorkerThread();
void MarkWorkerThread();

// Which library thread delivers callbacks on the calling thread: the event
// thread and the link thread each set their own lane; any other thread
// shares the last.
constexpr int kLaneEvent = 0;
constexpr int kLaneLink = 1;
constexpr int kLaneOther = 2;
void SetDeliveryLane(int lane);
int DeliveryLane();

// Sleeps up to ms, returning early (false) when the library is stopping.
bool SleepUnlessStopping(ApiContext *ctx, uint32_t ms);

} // namespace morel
