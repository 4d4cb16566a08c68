// The call pattern shared by the exported device functions.
#pragma once

#include <cstring>

#include "core/context.h"
#include "link/frame.h"
#include "link/send.h"

namespace morel {

// Builds (address 3) a request of `command` with `body` from offset 20, sets
// its extraLength and sends it with SendAndWait. Returns 1 only when the
// device accepted and answered with status 0 and the handler ran.
inline uint32_t ExchangeRequest(ApiContext *ctx, Command command, const void *body = nullptr, size_t bodyLength = 0) {
    CommandPacket *pkt = BuildCommand(ctx, kAddrApp, command);
    if (pkt == nullptr)
        return 0;
    if (bodyLength > 0) {
        std::memcpy(pkt->frame + kOffBody, body, bodyLength);
        SetBodyLength(pkt, bodyLength);
    }
    return SendAndWait(ctx, pkt);
}

// Holds the request turn for an exported call that stores a selector in the
// context before its request (see ClaimRequestTurn).
struct RequestTurn {
    ApiContext *ctx;
    bool held;
    // waitOnWorker: false when the caller would rather skip its request than
    // wait, even on a library thread, for another one to finish.
    explicit RequestTurn(ApiContext *c, bool waitOnWorker = true)
        : ctx(c), held(waitOnWorker ? ClaimRequestTurn(c) : TryClaimRequestTurn(c)) {}
    ~RequestTurn() {
        if (held)
            ReleaseRequestTurn(ctx);
    }
    RequestTurn(const RequestTurn &) = delete;
    RequestTurn &operator=(const RequestTurn &) = delete;
};

// Runs f with the device data locked (queueLock), for copying cached values
// in or out consistently with the handlers.
template <typename F> auto WithDeviceData(ApiContext *ctx, F f) {
    LockGuard g(ctx->queueLock);
    return f();
}

} // namespace morel
