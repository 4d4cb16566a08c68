// Handlers of the call notifications: they keep the two call slots current
// and tell the application which call changed.
#include <cstring>

#include "events/notify.h"
#include "link/frame.h"
#include "morelapi.h"

namespace morel {

namespace {

struct CallEventInfo {
    uint16_t eventId;
    uint8_t callState;
    uint8_t inUse;
};

// The call state that each device event id stands for.
constexpr CallEventInfo kCallEvents[] = {
    {0x0201, 8, 1},   {0x0202, 9, 1},   {0x0203, 2, 1},   {0x0204, 10, 1},  {0x0205, 0, 0},   {0x0206, 16, 1},
    {0x0207, 12, 1},  {0x0208, 11, 1},  {0x0209, 13, 1},  {0x020A, 15, 1},  {0x020B, 18, 1},  {0x020C, 19, 1},
    {0x020D, 20, 1},  {0x020E, 17, 1},  {0x020F, 4, 0},   {0x0210, 5, 0},   {0x0211, 6, 0},   {0x0212, 7, 0},
    {0x0213, 22, 1},  {0x0214, 23, 1},  {0x0215, 24, 0},  {0x0216, 25, 0},  {0x0217, 26, 0},  {0x0218, 21, 1},
    {0x0219, 27, 1},  {0x021A, 28, 1},  {0x021B, 29, 1},  {0x021C, 30, 1},  {0x021D, 31, 1},  {0x021E, 32, 1},
};

constexpr bool InIdOrder() {
    for (size_t i = 0; i < sizeof kCallEvents / sizeof kCallEvents[0]; ++i)
        if (kCallEvents[i].eventId != 0x0201 + i)
            return false;
    return true;
}
static_assert(InIdOrder(), "the event id indexes the table");

// Ids 0x0201..0x021E index the table directly.
const CallEventInfo *FindCallEvent(uint32_t eventId) {
    if (eventId < 0x0201 || eventId > 0x021E)
        return nullptr;
    return &kCallEvents[eventId - 0x0201];
}

CallRecord *ChooseCallSlot(ApiContext *ctx, uint8_t callId) {
    CallRecord *slots = ctx->callRecords;
    if (slots[0].inUse == 1 && slots[0].callId == callId)
        return &slots[0];
    if (slots[1].inUse == 1 && slots[1].callId == callId)
        return &slots[1];
    if (slots[0].inUse == 0)
        return &slots[0];
    if (slots[1].inUse == 0)
        return &slots[1];
    return nullptr; // both slots hold other live calls
}

void HandleCallEvent(ApiContext *ctx, uint8_t phase, bool fullDetails) {
    const EventRecord *rec = CurrentEvent(ctx, phase);
    if (rec == nullptr)
        return;
    const CallEventInfo *info = FindCallEvent(rec->entry->eventId);
    if (info == nullptr)
        return;
    const uint8_t *f = rec->frame;
    const uint8_t callId = f[20];
    {
        LockGuard g(ctx->queueLock);
        CallRecord *slot = ChooseCallSlot(ctx, callId);
        if (slot == nullptr)
            return;
        slot->inUse = info->inUse;
        slot->callState = info->callState;
        slot->callId = callId;
        if (fullDetails) {
            // Bytes beyond a short frame read as zero in the record.
            slot->callAttribute = f[21];
            std::memcpy(slot->number, f + 22, sizeof slot->number);
            slot->callParam = Get32(f + 151);
        }
    }
    DeliverValue(ctx, MORELAPI_SLOT_CALL, rec->entry->eventCode, &callId, 1);
}

} // namespace

void CallFullEventHandler(ApiContext *ctx, uint8_t phase) { HandleCallEvent(ctx, phase, true); }
void CallStateEventHandler(ApiContext *ctx, uint8_t phase) { HandleCallEvent(ctx, phase, false); }

} // namespace morel
