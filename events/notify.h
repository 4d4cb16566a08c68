// Notifications: the table of device events, the event queue and thread,
// registration and delivery to the application.
#pragma once

#include "core/context.h"

namespace morel {

struct NotificationEntry {
    uint32_t eventId;
    uint8_t slot;
    uint32_t eventCode;
    EventHandler handler;
};

constexpr size_t kNotificationCount = 81;
extern const NotificationEntry NotificationTable[kNotificationCount];
const NotificationEntry *FindNotification(uint32_t eventId);

// A queued copy of a notification frame. Bytes beyond `length` are zero.
struct EventRecord {
    EventRecord *next;
    EventHandler handler;
    const NotificationEntry *entry;
    uint32_t length;
    uint8_t frame[1024 - 2 * sizeof(void *) - sizeof(void *) - 8];
};
static_assert(sizeof(EventRecord) <= 1024, "event record fits its block");

void QueueNotification(ApiContext *ctx);
void EventThread(ApiContext *ctx);
// Takes the next record off the queue (nullptr when it is empty), first
// handing back `done`, a record whose handler has finished, for reuse.
EventRecord *NextEventRecord(ApiContext *ctx, EventRecord *done);
// Frees the queued records and the ones kept for reuse.
void FlushEventQueue(ApiContext *ctx);

// The record whose handler is running (event thread), or nullptr.
const EventRecord *CurrentEvent(ApiContext *ctx, uint8_t phase);

// Delivery: a signal passes the slot's dataBuffer as registered; a value
// event writes the value into dataBuffer (or a temporary when it is null) and
// passes its address. Nothing happens without a callback.
void DeliverSignal(ApiContext *ctx, uint8_t slot, uint32_t eventCode);
void DeliverValue(ApiContext *ctx, uint8_t slot, uint32_t eventCode, const void *value, size_t size);

// Handlers of the table (events/device_events.cpp, events/call_events.cpp).
void KeyReportEventHandler(ApiContext *ctx, uint8_t phase);
void DisplayEventHandler(ApiContext *ctx, uint8_t phase);
void ValueByteEventHandler(ApiContext *ctx, uint8_t phase);
void SystemDataEventHandler(ApiContext *ctx, uint8_t phase);
void RawDataEventHandler(ApiContext *ctx, uint8_t phase);
void SignalEventHandler(ApiContext *ctx, uint8_t phase);
void CallFullEventHandler(ApiContext *ctx, uint8_t phase);
void CallStateEventHandler(ApiContext *ctx, uint8_t phase);

} // namespace morel
