#include "link/ring.h"

#include <algorithm>
#include <cstring>

#include "link/frame.h"
#include "link/frame_trace.h"
#include "link/send.h"

namespace morel {

void TALVO_CALL ReceiveCallback(uintptr_t, const uint8_t *data, int32_t count, int32_t type, uintptr_t) {
    ApiContext *ctx = callbackContext.load();
    if (ctx == nullptr || ctx->stopping.load())
        return;
    if (type == TALVO_TYPE_LINK_CHANGED || type == TALVO_TYPE_LINK_LOST) {
        EventSet(ctx->linkEvent);
        return;
    }
    if (count < 0 || count > static_cast<int32_t>(kRingSize)) {
        if (count > 0 && TraceOn())
            TraceValue("chunk", "dropped", count);
        return;
    }
    if (count > 0 && (data == nullptr || !StoreChunk(ctx, data, static_cast<size_t>(count))))
        return;
    EventSet(ctx->ringEvent);
}

bool StoreChunk(ApiContext *ctx, const uint8_t *data, size_t count) {
    ReceiveRing &ring = ctx->ring;
    // A transport may call in from several threads: one chunk at a time goes
    // in whole, and only one producer ever waits for room. The wait ends when
    // the receiver releases room or the library stops (the stop releases
    // roomEvent for good).
    LockGuard producer(ctx->producerLock);
    while (count > 0) {
        if (ctx->stopping.load())
            return false;
        uint32_t used = ring.used.load(std::memory_order_acquire);
        if (used == kRingSize) {
            // Full: let the receiver take a frame, then wait for it to release room.
            EventSet(ctx->ringEvent);
            EventWait(ctx->roomEvent, -1);
            continue;
        }
        // Only the producer holding producerLock moves writePtr, so the free
        // room can only grow meanwhile.
        size_t room = kRingSize - used;
        size_t piece = std::min({count, room, kRingSize - ring.writePtr});
        std::memcpy(ring.bytes + ring.writePtr, data, piece);
        {
            LockGuard g(ctx->ringLock);
            ring.writePtr = static_cast<uint32_t>((ring.writePtr + piece) % kRingSize);
            ring.used.fetch_add(static_cast<uint32_t>(piece), std::memory_order_release);
        }
        data += piece;
        count -= piece;
    }
    return true;
}

namespace {

void CopyOut(ApiContext *ctx, size_t n) {
    ReceiveRing &ring = ctx->ring;
    while (n > 0) {
        size_t piece = std::min(n, kRingSize - ring.readPtr);
        std::memcpy(ctx->rxFrame + ctx->rxLength, ring.bytes + ring.readPtr, piece);
        ring.readPtr = static_cast<uint32_t>((ring.readPtr + piece) % kRingSize);
        ctx->rxLength = static_cast<uint16_t>(ctx->rxLength + piece);
        n -= piece;
    }
}

bool HeaderValid(const ApiContext *ctx, const uint8_t *f) {
    uint16_t kind = Get16(f + kOffKind);
    uint16_t source = Get16(f + kOffSource);
    return f[kOffVersion] <= ctx->protocolVersion.load() && Get16(f + kOffDestination) == kAddrHost &&
           (source == 2 || source == 3) && (kind == kKindNotification || kind == kKindAck || kind == kKindResponse) &&
           Get32(f + kOffExtraLength) <= kMaxExtraLength;
}

// Drops every byte the ring holds; returns how many.
uint32_t Flush(ApiContext *ctx) {
    ReceiveRing &ring = ctx->ring;
    uint32_t dropped;
    {
        LockGuard g(ctx->ringLock);
        ring.readPtr = ring.writePtr;
        dropped = ring.used.exchange(0, std::memory_order_acq_rel);
    }
    ctx->rxLength = 0;
    EventSet(ctx->roomEvent);
    return dropped;
}

} // namespace

int ExtractFrame(ApiContext *ctx) {
    ReceiveRing &ring = ctx->ring;
    uint32_t used = ring.used.load(std::memory_order_acquire);
    if (used < kMinFrame)
        return 0;
    // Bytes of the previous frame beyond this one's end must read as zero.
    uint16_t previous = ctx->rxPrevLength;
    ctx->rxLength = 0;
    uint32_t mark = ring.readPtr;
    CopyOut(ctx, kMinFrame);
    ctx->peerVersion.store(ctx->rxFrame[kOffVersion], std::memory_order_relaxed); // publishes nothing else
    if (!HeaderValid(ctx, ctx->rxFrame)) {
        const uint32_t dropped = Flush(ctx);
        if (TraceOn()) {
            TraceLine line;
            TraceBegin(line, "flush");
            TraceInt(line, "dropped", dropped);
            TraceHex(line, "hex", ctx->rxFrame, kMinFrame);
            TraceEmit(line);
        }
        return 0;
    }
    uint32_t extra = Get32(ctx->rxFrame + kOffExtraLength);
    if (used < kMinFrame + extra) {
        ring.readPtr = mark;
        ctx->rxLength = 0;
        return 0;
    }
    CopyOut(ctx, extra);
    if (previous > ctx->rxLength)
        std::memset(ctx->rxFrame + ctx->rxLength, 0, previous - ctx->rxLength);
    ctx->rxPrevLength = ctx->rxLength;
    // The flush, the only other writer of `used` besides the producer's
    // atomic add, runs on this thread: the release needs no lock.
    const uint32_t before = ring.used.fetch_sub(static_cast<uint32_t>(kMinFrame + extra), std::memory_order_release);
    // The producer waits for room only after it saw the ring full, so only
    // the release that ends a full ring has anybody to wake.
    if (before == kRingSize)
        EventSet(ctx->roomEvent);
    if (TraceOn())
        TraceFrame("rx", ctx->rxFrame, ctx->rxLength, nullptr);
    return 1;
}

void DispatchFrame(ApiContext *ctx) {
    switch (FrameKind(ctx->rxFrame)) {
    case kKindNotification:
        ctx->protocol->notificationReceived(ctx);
        break;
    case kKindAck:
        MatchAcknowledgement(ctx);
        break;
    case kKindResponse:
        MatchResponse(ctx);
        break;
    default:
        break;
    }
}

void ReceiverThread(ApiContext *ctx) {
    MarkStarted(ctx, ctx->receiverStarted);
    for (;;) {
        EventWait(ctx->ringEvent, -1);
        if (ctx->stopping.load())
            return;
        if (ctx->discardRing.load()) {
            Flush(ctx);
            ctx->discardRing.store(false);
            NotifyState(ctx);
        }
        while (ExtractFrame(ctx) == 1 && !ctx->stopping.load())
            DispatchFrame(ctx);
    }
}

void DiscardReceivedBytes(ApiContext *ctx) {
    // The wait ends when the receiver has flushed the ring, or when the
    // library stops.
    ctx->discardRing.store(true);
    EventSet(ctx->ringEvent);
    WaitForState(ctx, [ctx] { return !ctx->discardRing.load() || ctx->stopping.load(); });
}

} // namespace morel
