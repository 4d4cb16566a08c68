#include "events/notify.h"

#include <cstring>
#include <new>

#include "link/frame.h"
#include "link/send.h"

namespace morel {

// Device event ids in the device's order, with the slot and the code that
// the application sees.
const NotificationEntry NotificationTable[kNotificationCount] = {
    {0x0104, 1, 0x0104, KeyReportEventHandler},
    {0x0106, 1, 0x0106, DisplayEventHandler},
    {0x0107, 1, 0x0107, ValueByteEventHandler},
    {0x0108, 1, 0x0108, ValueByteEventHandler},
    {0x0109, 1, 0x0109, ValueByteEventHandler},
    {0x0111, 1, 0x0111, SignalEventHandler},
    {0x0112, 1, 0x0112, SignalEventHandler},
    {0x0113, 1, 0x0113, SignalEventHandler},
    {0x0114, 1, 0x0114, SignalEventHandler},
    {0x0115, 1, 0x0115, SignalEventHandler},
    {0x0116, 1, 0x0116, SignalEventHandler},
    {0x0117, 1, 0x0117, SignalEventHandler},
    {0x0121, 1, 0x0121, SignalEventHandler},
    {0x0122, 1, 0x0122, SignalEventHandler},
    {0x0123, 1, 0x0123, SignalEventHandler},
    {0x0124, 1, 0x0124, SignalEventHandler},
    {0x0125, 1, 0x0125, SignalEventHandler},
    {0x0126, 1, 0x0126, SignalEventHandler},
    {0x0127, 1, 0x0127, SignalEventHandler},
    {0x0128, 1, 0x0128, SignalEventHandler},
    {0x0131, 1, 0x0131, SignalEventHandler},
    {0x0132, 1, 0x0132, SignalEventHandler},
    {0x0141, 1, 0x0161, SignalEventHandler},
    {0x0142, 1, 0x0162, SignalEventHandler},
    {0x0201, 2, 0x0201, CallFullEventHandler},
    {0x0202, 2, 0x0202, CallFullEventHandler},
    {0x0203, 2, 0x0203, CallFullEventHandler},
    {0x0204, 2, 0x0204, CallFullEventHandler},
    {0x0205, 2, 0x0205, CallStateEventHandler},
    {0x0206, 2, 0x0206, CallStateEventHandler},
    {0x0207, 2, 0x0207, CallStateEventHandler},
    {0x0208, 2, 0x0208, CallStateEventHandler},
    {0x0209, 2, 0x0209, CallStateEventHandler},
    {0x020A, 2, 0x020A, CallStateEventHandler},
    {0x020B, 2, 0x0210, CallStateEventHandler},
    {0x020C, 2, 0x0211, CallStateEventHandler},
    {0x020D, 2, 0x0212, CallStateEventHandler},
    {0x0218, 2, 0x0219, CallStateEventHandler},
    {0x020E, 2, 0x0213, CallStateEventHandler},
    {0x020F, 2, 0x020C, CallStateEventHandler},
    {0x0210, 2, 0x020D, CallStateEventHandler},
    {0x0211, 2, 0x020E, CallStateEventHandler},
    {0x0212, 2, 0x020F, CallStateEventHandler},
    {0x0213, 2, 0x0214, CallStateEventHandler},
    {0x0214, 2, 0x0215, CallStateEventHandler},
    {0x0215, 2, 0x0216, CallStateEventHandler},
    {0x0216, 2, 0x0217, CallStateEventHandler},
    {0x0217, 2, 0x0218, CallStateEventHandler},
    {0x0219, 2, 0x021A, CallStateEventHandler},
    {0x021A, 2, 0x021B, CallStateEventHandler},
    {0x021B, 2, 0x021C, CallStateEventHandler},
    {0x021C, 2, 0x021D, CallStateEventHandler},
    {0x021D, 2, 0x021E, CallStateEventHandler},
    {0x021E, 2, 0x021F, CallStateEventHandler},
    {0x0301, 3, 0x0301, SystemDataEventHandler},
    {0x0401, 4, 0x0401, SignalEventHandler},
    {0x0402, 4, 0x0402, SignalEventHandler},
    {0x0501, 5, 0x0501, SignalEventHandler},
    {0x0502, 5, 0x0502, SignalEventHandler},
    {0x0503, 5, 0x0503, SignalEventHandler},
    {0x0601, 6, 0x0601, SignalEventHandler},
    {0x0602, 6, 0x0602, SignalEventHandler},
    {0x0603, 6, 0x0603, SignalEventHandler},
    {0x0604, 6, 0x0604, SignalEventHandler},
    {0x0605, 6, 0x0605, SignalEventHandler},
    {0x0606, 6, 0x0606, SignalEventHandler},
    {0x0607, 6, 0x0607, SignalEventHandler},
    {0x0608, 6, 0x0608, SignalEventHandler},
    {0x0609, 6, 0x0609, SignalEventHandler},
    {0x060A, 6, 0x060A, SignalEventHandler},
    {0x0701, 7, 0x0701, SignalEventHandler},
    {0x0801, 1, 0x0141, SignalEventHandler},
    {0x0802, 1, 0x0142, SignalEventHandler},
    {0x0803, 1, 0x0143, SignalEventHandler},
    {0x0804, 1, 0x0144, SignalEventHandler},
    {0x0900, 1, 0x0151, SignalEventHandler},
    {0x0901, 1, 0x0152, SignalEventHandler},
    {0x0902, 1, 0x0145, SignalEventHandler},
    {0x0903, 1, 0x0146, SignalEventHandler},
    {0x0904, 1, 0x0147, SignalEventHandler},
    {0x0002, 0, 0x0002, RawDataEventHandler},
};

namespace {

// Event ids carry their family (0x00 to 0x09) in the high byte and a small
// number in the low byte, so a table indexed by the id finds an entry at
// once. It holds the position + 1 of the first entry of each id (0: none),
// the entry a search from the top of the table would find.
constexpr uint32_t kIndexedIds = 0x0A00;
static_assert(kNotificationCount < 255, "positions fit a byte");

struct NotificationIndex {
    uint8_t position[kIndexedIds];
};

NotificationIndex BuildNotificationIndex() {
    NotificationIndex index{};
    for (size_t i = kNotificationCount; i-- > 0;)
        if (NotificationTable[i].eventId < kIndexedIds)
            index.position[NotificationTable[i].eventId] = static_cast<uint8_t>(i + 1);
    return index;
}

} // namespace

const NotificationEntry *FindNotification(uint32_t eventId) {
    static const NotificationIndex index = BuildNotificationIndex();
    if (eventId < kIndexedIds) {
        const uint8_t position = index.position[eventId];
        return position != 0 ? &NotificationTable[position - 1] : nullptr;
    }
    // Ids beyond the index (the table has none today).
    for (const NotificationEntry &e : NotificationTable)
        if (e.eventId == eventId)
            return &e;
    return nullptr;
}

namespace {

// Records are reused: the event thread hands each one back when its handler
// is done, and the intake takes it again, so a steady stream of
// notifications allocates nothing. At most kKeptRecords of each size are kept.
constexpr uint32_t kKeptRecords = 64;

int SizeClass(uint32_t length) { return length <= kEventFrameMin ? 0 : 1; }

EventRecord *NewRecord(int sizeClass) {
    const uint32_t capacity = sizeClass == 0 ? kEventFrameMin : kEventFrameMax;
    void *block = ::operator new(sizeof(EventRecord) + capacity, std::nothrow);
    if (block == nullptr)
        return nullptr;
    auto *rec = new (block) EventRecord{};
    rec->capacity = capacity;
    rec->frame = reinterpret_cast<uint8_t *>(rec + 1);
    std::memset(rec->frame, 0, capacity);
    return rec;
}

// A record from the kept ones or a new one, with every byte beyond its
// length zero. eventLock held.
EventRecord *TakeRecord(ApiContext *ctx, int sizeClass) {
    EventRecord *rec = ctx->keptRecords[sizeClass];
    if (rec == nullptr)
        return NewRecord(sizeClass);
    ctx->keptRecords[sizeClass] = rec->next;
    --ctx->keptRecordCount[sizeClass];
    return rec;
}

// eventLock held.
void KeepRecord(ApiContext *ctx, EventRecord *rec) {
    const int sizeClass = rec->capacity == kEventFrameMin ? 0 : 1;
    if (ctx->keptRecordCount[sizeClass] >= kKeptRecords) {
        FreeEventRecord(rec);
        return;
    }
    rec->next = ctx->keptRecords[sizeClass];
    ctx->keptRecords[sizeClass] = rec;
    ++ctx->keptRecordCount[sizeClass];
}

// Only the bytes the previous frame left beyond this one's end need clearing.
void FillRecord(EventRecord *rec, const NotificationEntry *entry, const uint8_t *frame, uint32_t length) {
    const uint32_t previous = rec->length;
    rec->next = nullptr;
    rec->handler = entry->handler;
    rec->entry = entry;
    rec->length = length;
    rec->displaySequence = 0;
    std::memcpy(rec->frame, frame, length);
    if (previous > length)
        std::memset(rec->frame + length, 0, previous - length);
}

void DeleteRecords(EventRecord *list) {
    while (list != nullptr) {
        EventRecord *next = list->next;
        FreeEventRecord(list);
        list = next;
    }
}

} // namespace

void FreeEventRecord(EventRecord *rec) {
    if (rec == nullptr)
        return;
    rec->~EventRecord();
    ::operator delete(static_cast<void *>(rec));
}

constexpr uint32_t kDisplayNotice = 0x0106;
constexpr uint32_t kFullImageExtraLength = 677;

void QueueNotification(ApiContext *ctx) {
    const uint8_t *f = ctx->rxFrame;
    if (Get16(f + kOffClass) != 16 || ctx->deviceAvailable.load() != 1)
        return;
    const NotificationEntry *entry = FindNotification(Get16(f + kOffCommand));
    if (entry == nullptr) {
        EventSet(ctx->notifyEvent);
        return;
    }
    uint32_t displaySequence = 0;
    if (entry->eventId == kDisplayNotice) {
        // The image is taken from the notification only when it carries the
        // whole of it (otherwise the handler reads it from the device), and
        // before the record is queued, so its callback sees this image.
        LockGuard g(ctx->queueLock);
        std::memcpy(ctx->displayNoticeHeader, f, kHeaderSize);
        if (Get32(f + kOffExtraLength) >= kFullImageExtraLength)
            std::memcpy(ctx->displayBuffer, f + kOffBody, kDisplayBytes);
        else
            displaySequence = ctx->displayQueued.fetch_add(1) + 1;
    }
    const uint32_t length = ctx->rxLength <= kEventFrameMax ? ctx->rxLength : kEventFrameMax;
    {
        LockGuard g(ctx->eventLock);
        EventRecord *rec = TakeRecord(ctx, SizeClass(length));
        if (rec != nullptr) {
            FillRecord(rec, entry, f, length);
            rec->displaySequence = displaySequence;
            // The queue is bounded: a callback that does not return must not
            // make the device's notifications pile up without end. The oldest
            // waiting one makes room.
            if (ctx->eventQueueCount >= kEventQueueMax) {
                EventRecord *dropped = ctx->eventQueue;
                ctx->eventQueue = dropped->next;
                --ctx->eventQueueCount;
                ++ctx->droppedNotifications;
                KeepRecord(ctx, dropped);
            }
            // Records leave the queue only at its head or all at once, so the
            // tail is the last record whenever the queue is not empty: appending
            // costs the same however far the event thread has fallen behind.
            if (ctx->eventQueue == nullptr)
                ctx->eventQueue = rec;
            else
                ctx->eventTail->next = rec;
            ctx->eventTail = rec;
            ++ctx->eventQueueCount;
        } // else lost; nothing else touched
    }
    EventSet(ctx->notifyEvent);
}

const EventRecord *CurrentEvent(ApiContext *ctx, uint8_t phase) {
    if (phase != 1 || ctx->currentEvent == nullptr || FrameKind(ctx->currentEvent->frame) != kKindNotification)
        return nullptr;
    return ctx->currentEvent;
}

namespace {

void PostKeepAlive(ApiContext *ctx) {
    if (TickNow() - ctx->lastSendTick.load() < g_timing.keepAliveAfterMs.load())
        return;
    CommandPacket *pkt = BuildCommand(ctx, kAddrSync, 0, 1);
    if (pkt == nullptr)
        return;
    Put16(pkt->frame + kOffKind, kKindNotification); // one-way: never pending
    PostCommand(ctx, pkt);
}

} // namespace

void EventThread(ApiContext *ctx) {
    SetDeliveryLane(kLaneEvent);
    ctx->eventStarted.store(1);
    EventSet(ctx->startedEvent);
    for (;;) {
        WaitResult r = EventWait(ctx->notifyEvent, g_timing.idleWaitMs.load());
        if (ctx->stopping.load())
            return;
        if (r == WaitResult::Timeout) {
            PostKeepAlive(ctx);
            continue;
        }
        // Each record leaves the queue before its handler runs, so a flush
        // of the queue can never free it underneath the handler.
        for (EventRecord *rec = NextEventRecord(ctx, nullptr); rec != nullptr; rec = NextEventRecord(ctx, rec)) {
            ctx->currentEvent = rec;
            if (rec->handler != nullptr)
                rec->handler(ctx, 1);
            ctx->currentEvent = nullptr;
            if (ctx->stopping.load()) {
                FreeEventRecord(rec); // the context's records are being freed
                return;
            }
        }
    }
}

EventRecord *NextEventRecord(ApiContext *ctx, EventRecord *done) {
    LockGuard g(ctx->eventLock);
    if (done != nullptr)
        KeepRecord(ctx, done);
    EventRecord *rec = ctx->eventQueue;
    if (rec != nullptr) {
        ctx->eventQueue = rec->next;
        rec->next = nullptr;
        --ctx->eventQueueCount;
    }
    return rec;
}

void FlushEventQueue(ApiContext *ctx) {
    EventRecord *queued, *kept[2];
    {
        LockGuard g(ctx->eventLock);
        queued = ctx->eventQueue;
        ctx->eventQueue = nullptr;
        ctx->eventQueueCount = 0;
        for (int c = 0; c < 2; ++c) {
            kept[c] = ctx->keptRecords[c];
            ctx->keptRecords[c] = nullptr;
            ctx->keptRecordCount[c] = 0;
        }
    }
    DeleteRecords(queued);
    DeleteRecords(kept[0]);
    DeleteRecords(kept[1]);
}

namespace {

thread_local int t_deliveryLane = kLaneOther;

// Copies the slot's registration and marks it in delivery on this thread's
// lane, or returns false when nobody listens. `ownBuffer` tells whether this
// delivery may write the registered dataBuffer: only when no other lane is
// inside a callback of the slot, so that one buffer is never written by two
// threads at once and a callback never sees its value change underneath it.
bool BeginDelivery(ApiContext *ctx, uint8_t slot, EventSlot &reg, bool *ownBuffer = nullptr) {
    std::lock_guard<std::mutex> g(ctx->slotLock);
    reg = ctx->eventSlots[slot];
    if (reg.callback == nullptr)
        return false;
    SlotDelivery *lanes = ctx->slotDelivery[slot];
    if (ownBuffer != nullptr) {
        *ownBuffer = true;
        for (int lane = 0; lane < kDeliveryLanes; ++lane)
            if (lane != t_deliveryLane && lanes[lane].depth != 0)
                *ownBuffer = false;
    }
    SlotDelivery &d = lanes[t_deliveryLane];
    if (d.depth++ == 0)
        ++d.generation;
    return true;
}

void EndDelivery(ApiContext *ctx, uint8_t slot) {
    {
        std::lock_guard<std::mutex> g(ctx->slotLock);
        --ctx->slotDelivery[slot][t_deliveryLane].depth;
    }
    ctx->slotIdle.notify_all();
}

} // namespace

void SetDeliveryLane(int lane) { t_deliveryLane = lane; }

void DeliverSignal(ApiContext *ctx, uint8_t slot, uint32_t eventCode) {
    EventSlot reg;
    if (!BeginDelivery(ctx, slot, reg))
        return;
    reg.callback(eventCode, reg.userWord, reg.dataBuffer);
    EndDelivery(ctx, slot);
}

void DeliverValue(ApiContext *ctx, uint8_t slot, uint32_t eventCode, const void *value, size_t size) {
    EventSlot reg;
    bool ownBuffer = false;
    if (!BeginDelivery(ctx, slot, reg, &ownBuffer))
        return;
    uint8_t temporary[4] = {};
    void *place = reg.dataBuffer != nullptr && ownBuffer ? reg.dataBuffer : temporary;
    std::memcpy(place, value, size);
    reg.callback(eventCode, reg.userWord, place);
    EndDelivery(ctx, slot);
}

void SignalEventHandler(ApiContext *ctx, uint8_t phase) {
    if (const EventRecord *rec = CurrentEvent(ctx, phase))
        DeliverSignal(ctx, rec->entry->slot, rec->entry->eventCode);
}

namespace {

// Stores a registration at once: deliveries that begin after it use the new
// one. On an application thread it then waits until the deliveries of the
// slot that were already running have returned, so the replaced callback is
// not running and the replaced buffer is never written once this returns.
// The wait ends: each of those callbacks returns (or the library stops, which
// wakes it). On a library thread (inside a callback) it never waits: the
// callback it would wait for may be waiting for this thread.
uint32_t StoreRegistration(uint16_t slotIndex, const EventSlot *reg) {
    ContextRef ctx;
    if (!ctx || slotIndex >= 8)
        return 0;
    std::unique_lock<std::mutex> g(ctx->slotLock);
    EventSlot &slot = ctx->eventSlots[slotIndex];
    if (reg != nullptr)
        slot = *reg;
    else
        slot.callback = nullptr; // userWord and dataBuffer stay
    if (OnWorkerThread())
        return 1;
    const SlotDelivery *lanes = ctx->slotDelivery[slotIndex];
    bool running[kDeliveryLanes];
    uint32_t generation[kDeliveryLanes];
    for (int lane = 0; lane < kDeliveryLanes; ++lane) {
        running[lane] = lanes[lane].depth != 0;
        generation[lane] = lanes[lane].generation;
    }
    ctx->slotIdle.wait(g, [&] {
        if (ctx->stopping.load())
            return true;
        for (int lane = 0; lane < kDeliveryLanes; ++lane)
            if (running[lane] && lanes[lane].depth != 0 && lanes[lane].generation == generation[lane])
                return false;
        return true;
    });
    return 1;
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(uint32_t) RegisterEvent(uint16_t slotIndex, SPphoneEventCallback callback, uint32_t userWord,
                                     void *dataBuffer) {
    EventSlot reg{callback, userWord, dataBuffer};
    return StoreRegistration(slotIndex, &reg);
}

MORELAPI_API(uint32_t) UnregisterEvent(uint16_t slotIndex) { return StoreRegistration(slotIndex, nullptr); }

} // extern "C"
