// Contacts: class 4 answers and the contact exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void ContactCountHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->contactCount = r[21];
}

void ContactEntryHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t index = ctx->contactIndex;
    const bool known = index >= 1 && index <= kContactCountMax;
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (known)
            tx[20] = index;
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr || !known)
        return;
    ContactRecord &entry = ctx->contactTable[index - 1];
    std::memcpy(entry.contactData1, r + 21, sizeof entry.contactData1);
    entry.contactByte = r[55];
    std::memcpy(entry.contactData2, r + 56, sizeof entry.contactData2);
}

void ContactSetHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->contactSetResult = r[21];
}

} // namespace morel
