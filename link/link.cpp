#include "link/link.h"

#include "core/trace.h"
#include "link/frame.h"
#include "link/ring.h"
#include "link/send.h"
#include "link/transport.h"

namespace morel {

const uint16_t StartupSystemDataItems[kStartupItemCount + 1] = {
    1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,  17,  18,  19,  20,  21,  22,  23,  33,  34,
    49, 50, 51, 52, 53, 54, 65, 66, 67, 68, 69, 70, 71, 72, 73,  74,  81,  82,  83,  84,  85,  86,  87,  88,
    89, 90, 91, 92, 93, 94, 95, 97, 98, 99, 101, 102, 103, 104, 113, 114, 115, 116, 117, 118, 109, 0};

uint8_t NextProtocolVersion(uint8_t version) {
    switch (version) {
    case 0x30: return 0x21;
    case 0x21: return 0x20;
    case 0x20: return 0x12;
    case 0x12: return 0x11;
    case 0x11: return 0x10;
    default: return version;
    }
}

namespace {

// One run of the start-up synchronisation: the requests it has sent so far.
struct Sync {
    ApiContext *ctx;
    uint32_t requests = 0;
};

// One request to the synchronisation address; false stops the synchronisation.
bool SyncRequest(Sync &sync, Command command) {
    CommandPacket *pkt = BuildCommand(sync.ctx, kAddrSync, command);
    if (pkt == nullptr)
        return false;
    ++sync.requests;
    return SendAndWait(sync.ctx, pkt) == 1;
}

// A request whose parameter is a selector in the context, which its handler
// writes into the request. The turn is claimed before the selector is
// written, so no other request can go out with it or overwrite it before
// this one is answered.
template <typename Field> bool SyncSelected(Sync &sync, Field &field, Field value, Command command) {
    ApiContext *ctx = sync.ctx;
    if (!ClaimRequestTurn(ctx))
        return false;
    CommandPacket *pkt = BuildCommand(ctx, kAddrSync, command);
    {
        LockGuard g(ctx->queueLock);
        field = value;
    }
    if (pkt != nullptr)
        ++sync.requests;
    const bool ok = pkt != nullptr && SendAndWait(ctx, pkt) == 1;
    ReleaseRequestTurn(ctx);
    return ok;
}

bool DeviceNotReady(uint8_t status) {
    return status == 0 || status == 1 || status == 9 || status == 12 || status == 13;
}

// Closes the connection and drops what it left in the ring.
void CloseTransport(ApiContext *ctx) {
    CloseConnection(ctx);
    DiscardReceivedBytes(ctx);
}

// The link report to the application.
void ReportLinkState(ApiContext *ctx, uint8_t up) {
    if (TraceOn()) {
        TraceLine line;
        TraceBegin(line, "link");
        TraceBool(line, "up", up != 0);
        TraceEmit(line);
    }
    ctx->protocol->reportLink(ctx, up);
}

void SetProtocolVersion(ApiContext *ctx, uint8_t version) {
    const uint8_t from = ctx->protocolVersion.exchange(version);
    if (from != version && TraceOn()) {
        TraceLine line;
        TraceBegin(line, "version");
        TraceInt(line, "from", from);
        TraceInt(line, "to", version);
        TraceEmit(line);
    }
}

int RunStartupSync(Sync &sync) {
    ApiContext *ctx = sync.ctx;
    ctx->lastSendTick.store(TickNow());
    ctx->syncComplete.store(0);
    if (!SyncRequest(sync, cmd::Status))
        return 0;
    uint8_t status;
    {
        LockGuard g(ctx->queueLock);
        status = ctx->deviceStatus;
    }
    if (DeviceNotReady(status) || !SyncRequest(sync, cmd::ProductDefault))
        return 0;
    for (uint8_t selector = 0; selector < 3; ++selector)
        if (!SyncSelected(sync, ctx->versionSelector, selector, cmd::Version))
            return 0;
    for (uint8_t item = 1; item <= 7; ++item)
        if (!SyncSelected(sync, ctx->networkSelector, item, cmd::NetworkItem))
            return 0;
    for (size_t i = 0; StartupSystemDataItems[i] != 0; ++i)
        if (!SyncSelected(sync, ctx->sysDataItemId, StartupSystemDataItems[i], cmd::GetSystemData))
            return 0;
    if (ctx->protocolVersion.load() >= 0x20) {
        if (!SyncRequest(sync, cmd::UnicodeTable) || !SyncRequest(sync, cmd::OperatingMode) || !SyncRequest(sync, cmd::ContactCount))
            return 0;
        uint8_t count;
        {
            LockGuard g(ctx->queueLock);
            count = ctx->contactCount;
        }
        // The table holds 100 entries; numbers beyond it have nowhere to go.
        if (count > kContactCountMax)
            count = kContactCountMax;
        for (uint8_t n = 1; n <= count; ++n)
            if (!SyncSelected(sync, ctx->contactIndex, n, cmd::GetContact))
                return 0;
        if (!SyncRequest(sync, cmd::GetRingerVolume) || !SyncRequest(sync, cmd::GetReceiveVolume) || !SyncRequest(sync, cmd::GetPlaybackVolume))
            return 0;
    }
    if (!SyncRequest(sync, cmd::DisplayRead))
        return 0;
    ctx->syncComplete.store(1);
    return 1;
}

} // namespace

int StartupSync(ApiContext *ctx) {
    TraceLine line;
    if (TraceOn()) {
        TraceBegin(line, "startup");
        TraceText(line, "phase", "begin");
        TraceInt(line, "version", ctx->protocolVersion.load());
        TraceEmit(line);
    }
    Sync sync{ctx};
    const int ok = RunStartupSync(sync);
    if (TraceOn()) {
        TraceBegin(line, "startup");
        TraceText(line, "phase", "end");
        TraceBool(line, "ok", ok == 1);
        TraceInt(line, "requests", sync.requests);
        TraceInt(line, "version", ctx->protocolVersion.load());
        TraceEmit(line);
    }
    return ok;
}

void LinkThread(ApiContext *ctx) {
    SetDeliveryLane(kLaneLink);
    MarkStarted(ctx, ctx->linkStarted);
    for (;;) {
        EventWait(ctx->linkEvent, -1);
        if (ctx->stopping.load())
            return;
        ctx->wasAvailable = ctx->deviceAvailable.load() == 1 ? 1 : 0;
        ctx->retryElapsed = 0;
        uint32_t delay = 100;
        ctx->deviceAvailable.store(0);
        ReportLinkState(ctx, 0);
        CloseTransport(ctx);
        // Requests of the lost connection can never be answered now: release
        // their waiters at once instead of after their time-out.
        FlushPackets(ctx);
        for (;;) {
            if (ctx->stopping.load())
                return;
            const TransportOps *ops = CurrentTransport();
            uint32_t handle = 0;
            // No transport library: the attempt fails as with an unplugged device.
            const int32_t rc = ops != nullptr ? ops->open(ReceiveCallback, &handle) : -1;
            if (TraceOn()) {
                TraceLine line;
                TraceBegin(line, "open");
                TraceInt(line, "rc", rc);
                TraceInt(line, "handle", handle);
                TraceEmit(line);
            }
            if (rc == 0) {
                ctx->transportHandle.store(handle);
                if (StartupSync(ctx))
                    break;
                uint8_t peer = ctx->peerVersion.load();
                uint8_t mine = ctx->protocolVersion.load();
                if (ctx->resultCode.load() == kResultTimedOut && peer != 0 && peer != mine) {
                    // A device that answers below our version is followed
                    // down one rung. Frames above our version are refused
                    // whole, so stepping further down could never reach
                    // their sender (a stray byte taken for a header would
                    // strand the link for good): start again from the top.
                    uint8_t next = peer < mine ? NextProtocolVersion(mine) : uint8_t{0x30};
                    if (next != mine) {
                        SetProtocolVersion(ctx, next);
                        ctx->resultCode.store(kResultNone);
                    }
                }
            }
            CloseTransport(ctx);
            FlushPackets(ctx);
            ctx->protocol->dropNotifications(ctx);
            if (ctx->retryElapsed < 10000)
                ctx->retryElapsed += delay;
            else
                delay = 1000;
            if (TraceOn())
                TraceValue("backoff", "ms", delay);
            if (!SleepUnlessStopping(ctx, delay))
                return;
            if (ctx->wasAvailable == 1) {
                SetProtocolVersion(ctx, 0x30);
                ctx->peerVersion.store(0x30);
                ctx->wasAvailable = 0;
            }
        }
        if (ctx->stopping.load())
            return;
        EventReset(ctx->linkEvent);
        ctx->deviceAvailable.store(1);
        ReportLinkState(ctx, 1);
    }
}

} // namespace morel
