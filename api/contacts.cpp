// Contacts: class 4 answers and the contact exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

namespace {
constexpr size_t kContactBytes = sizeof(ContactRecord::contactData1) + 1 + sizeof(ContactRecord::contactData2);
constexpr size_t kContactAnswerBytes = 21 + kContactBytes; // status at 20, the entry from 21
static_assert(kContactBytes == 164, "an entry is 164 bytes on the wire");
constexpr uint8_t kDeleteAll = 255;
} // namespace

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
    // An answer too short to hold the whole entry leaves the entry as it was.
    if (r == nullptr || !known || ctx->rxLength < kContactAnswerBytes)
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

using namespace morel;

extern "C" {

MORELAPI_API(int) GetContactCount(uint8_t *count) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || count == nullptr)
        return 0;
    const uint32_t result = ExchangeRequest(ctx, cmd::ContactCount);
    // The count is written whatever the outcome: after a failure the caller
    // still gets the last count the device gave.
    *count = WithDeviceData(ctx, [&] { return ctx->contactCount; });
    return static_cast<int>(result);
}

MORELAPI_API(int) GetContact(uint8_t index, void *data1, uint8_t *byte, void *data2) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || index < 1 || index > kContactCountMax || data1 == nullptr || byte == nullptr ||
        data2 == nullptr)
        return 0;
    RequestTurn turn(ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx, [&] { ctx->contactIndex = index; });
    const uint32_t result = ExchangeRequest(ctx, cmd::GetContact);
    // Like the count, the entry is copied out whatever the outcome.
    WithDeviceData(ctx, [&] {
        const ContactRecord &entry = ctx->contactTable[index - 1];
        std::memcpy(data1, entry.contactData1, sizeof entry.contactData1);
        *byte = entry.contactByte;
        std::memcpy(data2, entry.contactData2, sizeof entry.contactData2);
    });
    return static_cast<int>(result);
}

MORELAPI_API(uint8_t) SetContact(const void *data1, const uint8_t *byte, const void *data2) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || data1 == nullptr || byte == nullptr || data2 == nullptr)
        return 0;
    uint8_t body[kContactBytes];
    std::memcpy(body, data1, sizeof(ContactRecord::contactData1));
    body[sizeof(ContactRecord::contactData1)] = *byte;
    std::memcpy(body + sizeof(ContactRecord::contactData1) + 1, data2, sizeof(ContactRecord::contactData2));
    if (ExchangeRequest(ctx, cmd::SetContact, body, sizeof body) != 1)
        return 0;
    return WithDeviceData(ctx, [&] { return ctx->contactSetResult; });
}

MORELAPI_API(int) DeleteContact(uint8_t index) {
    ContextRef ctx;
    const bool valid = (index >= 1 && index <= kContactCountMax) || index == kDeleteAll;
    if (!CanIssueCommand(ctx) || !valid)
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, cmd::DeleteContact, &index, 1));
}

} // extern "C"
