// RTCP parameters and raw data: class 7 answers and their exports, and the
// raw 128-byte blocks (class 0 command 2 out, notification 0x0002 in).
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

namespace {

constexpr size_t kSendBlockBytes = 84;
constexpr size_t kReceiveBlockBytes = sizeof(ApiContext::rtcpReceiveBlock);
constexpr size_t kRawBlockBytes = 128;
static_assert(kReceiveBlockBytes == 88, "receive block 1 is 88 bytes");

// Each side has one block, id 1; the lookups give its width (result 1) and
// refuse every other id (result 0).
int LookupRtcpSendBlock(uint16_t blockId, size_t *width) {
    *width = blockId == 1 ? kSendBlockBytes : 0;
    return blockId == 1 ? 1 : 0;
}

int LookupRtcpReceiveBlock(uint16_t blockId, size_t *width) {
    *width = blockId == 1 ? kReceiveBlockBytes : 0;
    return blockId == 1 ? 1 : 0;
}

} // namespace

void RtcpReceiveHandler(ApiContext *ctx, uint8_t phase) {
    size_t width;
    const bool known = LookupRtcpReceiveBlock(ctx->rtcpReceiveId, &width) == 1;
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (known)
            Put16(tx + 20, ctx->rtcpReceiveId);
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    // An answer too short to hold the whole block leaves the cached one.
    if (r != nullptr && known && ctx->rxLength >= 21 + width)
        std::memcpy(ctx->rtcpReceiveBlock, r + 21, width);
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

using namespace morel;

extern "C" {

MORELAPI_API(int) SetRtcpSend(uint16_t blockId, const void *data) {
    ContextRef ctx;
    size_t width;
    if (!CanIssueCommand(ctx) || LookupRtcpSendBlock(blockId, &width) != 1 || data == nullptr)
        return 0;
    uint8_t body[2 + kSendBlockBytes];
    Put16(body, blockId);
    std::memcpy(body + 2, data, width);
    return static_cast<int>(ExchangeRequest(ctx, cmd::RtcpSend, body, 2 + width));
}

MORELAPI_API(int) GetRtcpReceive(uint16_t blockId, void *buffer) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || buffer == nullptr)
        return 0;
    RequestTurn turn(ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx, [&] { ctx->rtcpReceiveId = blockId; });
    // The id is checked only once the device has answered: an unknown block
    // is still asked for (its id is not written into the request).
    if (ExchangeRequest(ctx, cmd::RtcpReceive) != 1)
        return 0;
    size_t width;
    if (LookupRtcpReceiveBlock(blockId, &width) != 1)
        return 0;
    WithDeviceData(ctx, [&] { std::memcpy(buffer, ctx->rtcpReceiveBlock, width); });
    return 1;
}

MORELAPI_API(uint16_t) SetRtcpVer(uint16_t verArg1, uint32_t verArg2, uint8_t verArg3) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    uint8_t body[7];
    Put16(body, verArg1);
    Put32(body + 2, verArg2);
    body[6] = verArg3;
    if (ExchangeRequest(ctx, cmd::SetRtcpVersion, body, sizeof body) != 1)
        return 0;
    return WithDeviceData(ctx, [&] { return ctx->rtcpVersion; });
}

// The first two arguments exist only for the caller's side of the interface.
MORELAPI_API(uint16_t) GetRtcpVer(uint32_t, uint32_t, uint8_t *verByte) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || verByte == nullptr || ExchangeRequest(ctx, cmd::GetRtcpVersion) != 1)
        return 0;
    return WithDeviceData(ctx, [&] {
        *verByte = ctx->rtcpVersionByte;
        return ctx->rtcpVersion;
    });
}

MORELAPI_API(int) SendFixed128RawData(const void *data) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || data == nullptr)
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, cmd::RawData, data, kRawBlockBytes));
}

MORELAPI_API(int) ReceiveFixed128RawData(void *buffer) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || buffer == nullptr)
        return 0;
    // The event thread stores a block under the same lock, so the copy is
    // one whole block, never part old and part new.
    WithDeviceData(ctx, [&] { std::memcpy(buffer, ctx->rawReceiveBuffer, kRawBlockBytes); });
    return 1;
}

} // extern "C"
