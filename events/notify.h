// Notifications: the event queue and thread, registration and delivery to
// the application. The table of device events is the api layer's
// (Protocol::findNotification).
#pragma once

#include "core/context.h"

namespace morel {

struct NotificationEntry {
    uint32_t eventId;
    uint8_t slot;
    uint32_t eventCode;
    EventHandler handler;
};

// Device notifications are frames of this class, with the event id as command.
constexpr uint16_t kNotificationClass = 16;
// The display notification carries the whole image when its extraLength
// reaches this; otherwise it only says that the display changed.
constexpr uint32_t kDisplayEventId = 0x0106;
constexpr uint32_t kFullImageExtraLength = 677;

// A queued copy of a notification frame. Bytes beyond `length` are zero up
// to `capacity`, which is at least kEventFrameMin: handlers read fixed
// offsets below it without checking the length. The frame bytes follow the
// record in the same block.
struct EventRecord {
    EventRecord *next;
    EventHandler handler;
    const NotificationEntry *entry;
    uint32_t length;
    uint32_t capacity;
    uint32_t displaySequence; // display notifications without the image: their number
    uint8_t *frame;
};

// Records come in two sizes: most notifications fit the small one, display
// images need the large one.
constexpr uint32_t kEventFrameMin = 160;
constexpr uint32_t kEventFrameMax = static_cast<uint32_t>(kMaxFrame);

// Notifications waiting for the event thread. Beyond this the oldest waiting
// one is dropped for each new one: at most kEventQueueMax records of at most
// sizeof(EventRecord) + kEventFrameMax bytes each (about 790 KiB).
constexpr uint32_t kEventQueueMax = 1024;

// Receiver thread: queues the notification in rxFrame for the event thread.
void QueueNotification(ApiContext *ctx);
void EventThread(ApiContext *ctx);
// Takes the next record off the queue (nullptr when it is empty), first
// handing back `done`, a record whose handler has finished, for reuse.
EventRecord *NextEventRecord(ApiContext *ctx, EventRecord *done);
// Frees the queued records and the ones kept for reuse.
void FlushEventQueue(ApiContext *ctx);
void FreeEventRecord(EventRecord *rec);

// The record whose handler is running (event thread), or nullptr.
const EventRecord *CurrentEvent(ApiContext *ctx, uint8_t phase);

// Delivery: a signal passes the slot's dataBuffer as registered; a value
// event writes the value into dataBuffer (or a temporary when it is null) and
// passes its address. Nothing happens without a callback.
void DeliverSignal(ApiContext *ctx, uint8_t slot, uint32_t eventCode);
void DeliverValue(ApiContext *ctx, uint8_t slot, uint32_t eventCode, const void *value, size_t size);
// Reports the link state (0 down, 1 up) to slot 1.
void ReportLink(ApiContext *ctx, uint8_t up);

// Handlers of the device events (events/device_events.cpp,
// events/call_events.cpp); the system data event's is api/sysdata.cpp's.
void KeyReportEventHandler(ApiContext *ctx, uint8_t phase);
void DisplayEventHandler(ApiContext *ctx, uint8_t phase);
void ValueByteEventHandler(ApiContext *ctx, uint8_t phase);
void RawDataEventHandler(ApiContext *ctx, uint8_t phase);
void SignalEventHandler(ApiContext *ctx, uint8_t phase);
void CallFullEventHandler(ApiContext *ctx, uint8_t phase);
void CallStateEventHandler(ApiContext *ctx, uint8_t phase);

} // namespace morel
