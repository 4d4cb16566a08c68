// Call information: GetCallInfo asks the device about one call, whose answer
// CallInfoHandler stores in a call slot, and reads the slot of that call back.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

// Writes the asked call id into the request; stores the answer in the slot of
// that call, or in a free slot when it reports a live call.
void CallInfoHandler(ApiContext *ctx, uint8_t phase) {
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
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

namespace {

// The slot that reports callId: a live call first, then an ended one that
// still holds a state; nullptr when neither slot holds the call.
const CallRecord *SlotReporting(const ApiContext *ctx, uint8_t callId) {
    const CallRecord *slots = ctx->callRecords;
    for (uint32_t inUse : {1u, 0u})
        for (int i = 0; i < 2; ++i)
            if (slots[i].callId == callId && slots[i].inUse == inUse && (inUse == 1 || slots[i].callState != 0))
                return &slots[i];
    return nullptr;
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) GetCallInfo(uint8_t callId, uint8_t *state, void *text, uint32_t *value) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || state == nullptr || text == nullptr || value == nullptr)
        return 0;
    RequestTurn turn(ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx, [&] { ctx->callInfoCallId = callId; });
    if (ExchangeRequest(ctx, cmd::CallInfo) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        if (const CallRecord *slot = SlotReporting(ctx, callId)) {
            *state = slot->callState;
            std::memcpy(text, slot->number, sizeof slot->number);
            *value = slot->callParam;
        } else {
            *state = 0;
            static_cast<uint8_t *>(text)[0] = 0;
            *value = 0;
        }
    });
    return 1;
}

} // extern "C"
