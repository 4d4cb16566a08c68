// RTCP parameters and raw data: class 7 answers and their exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void RtcpReceiveHandler(ApiContext *ctx, uint8_t phase) {
    const bool known = ctx->rtcpReceiveId == 1;
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (known)
            Put16(tx + 20, ctx->rtcpReceiveId);
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r != nullptr && known)
        std::memcpy(ctx->rtcpReceiveBlock, r + 21, sizeof ctx->rtcpReceiveBlock);
}

void RtcpSetVersionHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->rtcpVersion = Get16(r + 21);
}

void RtcpGetVersionHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase)) {
        ctx->rtcpVersion = Get16(r + 21);
        ctx->rtcpVersionByte = r[23];
    }
}

} // namespace morel
