// Handlers of the device and setting notifications: key, display, volumes,
// raw data.
#include <cstring>

#include "events/notify.h"
#include "link/frame.h"
#include "link/send.h"
#include "morelapi.h"

namespace morel {

void KeyReportEventHandler(ApiContext *ctx, uint8_t phase) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    {
        LockGuard g(ctx->queueLock);
        ctx->keyAction = rec->frame[20];
        ctx->keyCode = rec->frame[21];
    }
    DeliverSignal(ctx, MORELAPI_SLOT_DEVICE, rec->entry->eventCode);
}

namespace {

constexpr int kDisplayWaits = 6;

bool FreeToSend(const ApiContext *ctx) {
    return ctx->commandActive.load() != 1 && ctx->deviceAvailable.load() != 0 && ctx->syncComplete.load() != 0;
}

// Re-reads the display image from the device once the library is free to
// send; false when it never was or the read failed.
bool RereadDisplay(ApiContext *ctx) {
    for (int waits = 0; !FreeToSend(ctx); ++waits) {
        if (waits == kDisplayWaits || !SleepUnlessStopping(ctx, g_timing.displayRetryMs.load()))
            return false;
    }
    CommandPacket *pkt = BuildCommand(ctx, kAddrSync, cmd::DisplayRead);
    if (pkt == nullptr)
        return true; // nothing to read with; the application still hears of the change
    return SendAndWait(ctx, pkt) == 1;
}

} // namespace

void DisplayEventHandler(ApiContext *ctx, uint8_t phase) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    // A notification with the whole image was stored at intake, before it
    // was queued; any other one only says that the display changed, and the
    // image is read from the device. One read serves every such notification
    // queued before it began, so a burst of them costs one read (and its
    // wait for the request turn), not one each.
    if (Get32(rec->frame + kOffExtraLength) < kFullImageExtraLength) {
        if (static_cast<int32_t>(rec->displaySequence - ctx->displayCovered) > 0) {
            const uint32_t queuedBefore = ctx->displayQueued.load();
            ctx->displayCoveredRead = RereadDisplay(ctx);
            ctx->displayCovered = queuedBefore;
        }
        if (!ctx->displayCoveredRead)
            return;
    }
    DeliverSignal(ctx, MORELAPI_SLOT_DEVICE, rec->entry->eventCode);
}

void ValueByteEventHandler(ApiContext *ctx, uint8_t phase) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    const uint8_t value = rec->frame[20];
    {
        LockGuard g(ctx->queueLock);
        switch (rec->entry->eventId) {
        case MORELAPI_EVENT_RINGER_VOLUME: ctx->ringerVolume = value; break;
        case MORELAPI_EVENT_RECEIVE_VOLUME: ctx->receiveVolume = value; break;
        case MORELAPI_EVENT_PLAYBACK_VOLUME: ctx->playbackVolume = value; break;
        default: break;
        }
    }
    DeliverValue(ctx, MORELAPI_SLOT_DEVICE, rec->entry->eventCode, &value, 1);
}

void RawDataEventHandler(ApiContext *ctx, uint8_t phase) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    // A frame too short to carry a whole block keeps the previous block; the
    // application still hears of the event. Whole blocks only: the reader
    // copies under the same lock.
    constexpr uint32_t kBlockEnd = 20 + 128;
    if (rec->length >= kBlockEnd) {
        LockGuard g(ctx->queueLock);
        std::memcpy(ctx->rawReceiveBuffer, rec->frame + 20, 128);
    }
    DeliverSignal(ctx, MORELAPI_SLOT_RAW_DATA, rec->entry->eventCode);
}

} // namespace morel
