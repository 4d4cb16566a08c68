#include "events/notify.h"

#include <cstring>
#include <new>

#include "core/trace.h"
#include "link/frame.h"
#include "link/send.h"
#include "morelapi.h"

namespace morel {

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

void QueueNotification(ApiContext *ctx) {
    const uint8_t *f = ctx->rxFrame;
    if (Get16(f + kOffClass) != kNotificationClass || ctx->deviceAvailable.load() != 1)
        return;
    const NotificationEntry *entry = ctx->protocol->findNotification(Get16(f + kOffCommand));
    if (entry == nullptr) {
        if (TraceOn())
            TraceEventId("unknown-event", Get16(f + kOffCommand));
        EventSet(ctx->notifyEvent);
        return;
    }
    uint32_t displaySequence = 0;
    if (entry->eventId == kDisplayEventId) {
        // The image is taken from the notification only when it carries the
        // whole of it (otherwise the handler reads it from the device), and
        // before the record is queued, so its callback sees this image.
        LockGuard g(ctx->queueLock);
        if (Get32(f + kOffExtraLength) >= kFullImageExtraLength)
            std::memcpy(ctx->displayBuffer, f + kOffBody, kDisplayBytes);
        else
            displaySequence = ctx->displayQueued.fetch_add(1) + 1;
    }
    const uint32_t length = ctx->rxLength <= kEventFrameMax ? ctx->rxLength : kEventFrameMax;
    // The oldest notification, dropped at a full queue (traced once the lock
    // is released).
    const NotificationEntry *droppedEntry = nullptr;
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
                droppedEntry = dropped->entry;
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
    if (droppedEntry != nullptr && TraceOn())
        TraceEventId("queue-full", static_cast<uint16_t>(droppedEntry->eventId));
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
    CommandPacket *pkt = BuildCommand(ctx, kAddrSync, cmd::KeepAlive);
    if (pkt == nullptr)
        return;
    Put16(pkt->frame + kOffKind, kKindNotification); // one-way: never pending
    PostCommand(ctx, pkt);
}

} // namespace

void EventThread(ApiContext *ctx) {
    SetDeliveryLane(kLaneEvent);
    MarkStarted(ctx, ctx->eventStarted);
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
            if (lane != DeliveryLane() && lanes[lane].depth != 0)
                *ownBuffer = false;
    }
    SlotDelivery &d = lanes[DeliveryLane()];
    if (d.depth++ == 0)
        ++d.generation;
    return true;
}

void EndDelivery(ApiContext *ctx, uint8_t slot) {
    {
        std::lock_guard<std::mutex> g(ctx->slotLock);
        --ctx->slotDelivery[slot][DeliveryLane()].depth;
    }
    ctx->slotIdle.notify_all();
}

} // namespace

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

void ReportLink(ApiContext *ctx, uint8_t up) { DeliverValue(ctx, MORELAPI_SLOT_DEVICE, MORELAPI_EVENT_LINK, &up, 1); }

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
