// Call control: class 2 command 20 (call information answer) and the call exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void CallInfoHandler(ApiContext *ctx, uint8_t phase) {
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (ctx->callInfoCallId >= 1 && ctx->callInfoCallId <= 6)
            tx[20] = ctx->callInfoCallId;
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr)
        return;
    CallRecord *slots = ctx->callRecords;
    const uint8_t asked = ctx->callInfoCallId;
    const uint8_t state = r[22];
    CallRecord *chosen = nullptr;
    if (slots[0].inUse == 1 && slots[0].callId == asked)
        chosen = &slots[0];
    else if (slots[1].inUse == 1 && slots[1].callId == asked)
        chosen = &slots[1];
    else if (slots[0].inUse == 0 && state != 0)
        chosen = &slots[0];
    else if (slots[1].inUse == 0 && state != 0)
        chosen = &slots[1];
    if (chosen == nullptr)
        return;
    chosen->callId = r[21];
    chosen->callState = state;
    chosen->callAttribute = r[23];
    std::memcpy(chosen->number, r + 24, sizeof chosen->number);
    chosen->callParam = Get32(r + 153);
}

} // namespace morel
