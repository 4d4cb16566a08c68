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
    // Call id, state, attribute, text and value from offset 21: an answer too
    // short to hold them all leaves the call slots as they were.
    constexpr size_t kCallInfoAnswerBytes = 21 + 3 + sizeof(CallRecord::number) + 4;
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr || ctx->rxLength < kCallInfoAnswerBytes)
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

namespace morel {

namespace {

constexpr size_t kCallTextBytes = sizeof(CallRecord::number);

// A class 2 call command with an optional one-byte parameter at offset 20.
int CallCommand(uint16_t commandId, const uint8_t *param) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx.ctx))
        return 0;
    return static_cast<int>(ExchangeRequest(ctx.ctx, 2, commandId, param, param != nullptr ? 1 : 0));
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) MakeCall(uint8_t param1, uint8_t param2, const void *number) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx.ctx) || number == nullptr)
        return 0;
    // The whole 129-byte text goes out as it stands, whatever its length:
    // 131 bytes of body make a 151-byte frame (extraLength 87).
    uint8_t body[2 + kCallTextBytes];
    body[0] = param1;
    body[1] = param2;
    std::memcpy(body + 2, number, kCallTextBytes);
    return static_cast<int>(ExchangeRequest(ctx.ctx, 2, 1, body, sizeof body));
}

MORELAPI_API(int) EndCall(uint8_t param) { return CallCommand(2, &param); }
MORELAPI_API(int) AnswerCall(void) { return CallCommand(3, nullptr); }
MORELAPI_API(int) JoinCall(void) { return CallCommand(4, nullptr); }
MORELAPI_API(int) InviteConference(void) { return CallCommand(5, nullptr); }
MORELAPI_API(int) RejectCall(void) { return CallCommand(6, nullptr); }
MORELAPI_API(int) HoldOperate(uint8_t param) { return CallCommand(21, &param); }

} // extern "C"
