// Call information: GetCallInfo asks the device about one call (class 2
// command 20, whose answer CallInfoHandler stores in a call slot) and reads
// the slot of that call back.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

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
    if (!CanIssueCommand(ctx.ctx) || state == nullptr || text == nullptr || value == nullptr)
        return 0;
    RequestTurn turn(ctx.ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx.ctx, [&] { ctx->callInfoCallId = callId; });
    // The id goes out as given; the handler writes it again for ids 1..6.
    if (ExchangeRequest(ctx.ctx, 2, 20, &callId, 1) != 1)
        return 0;
    WithDeviceData(ctx.ctx, [&] {
        if (const CallRecord *slot = SlotReporting(ctx.ctx, callId)) {
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
