// Network camera and operating mode: class 3 commands 5 and 6 and their exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

namespace {
// The camera record on the wire, offsets from the start of the record (a
// request carries it from frame offset 20, an answer from 21).
constexpr size_t kValue1 = 0, kValue2 = 4, kValue3 = 6, kText1 = 7, kText2 = 24, kValue4 = 41, kValue5 = 45;
constexpr size_t kRecordBytes = 47;
constexpr size_t kTextBytes = 17;
constexpr size_t kAnswerBytes = 21 + kRecordBytes;
} // namespace

void CameraReadHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    // An answer too short to hold the whole record leaves the cached one.
    if (r == nullptr || ctx->rxLength < kAnswerBytes)
        return;
    const uint8_t *rec = r + 21;
    ctx->cameraValue1 = Get32(rec + kValue1);
    ctx->cameraValue2 = Get16(rec + kValue2);
    ctx->cameraValue3 = rec[kValue3];
    std::memcpy(ctx->cameraText1, rec + kText1, kTextBytes);
    std::memcpy(ctx->cameraText2, rec + kText2, kTextBytes);
    ctx->cameraValue4 = Get32(rec + kValue4);
    ctx->cameraValue5 = Get16(rec + kValue5);
}

void OperatingModeHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->operatingMode = r[21];
}

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) SetNwCameraInfo(uint32_t value1, uint16_t value2, uint8_t value3, const void *text1, const void *text2,
                                  uint32_t value4, uint16_t value5) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || text1 == nullptr || text2 == nullptr)
        return 0;
    // The texts go out as their 17 bytes, whatever they hold.
    uint8_t rec[kRecordBytes];
    Put32(rec + kValue1, value1);
    Put16(rec + kValue2, value2);
    rec[kValue3] = value3;
    std::memcpy(rec + kText1, text1, kTextBytes);
    std::memcpy(rec + kText2, text2, kTextBytes);
    Put32(rec + kValue4, value4);
    Put16(rec + kValue5, value5);
    return static_cast<int>(ExchangeRequest(ctx, cmd::SetCamera, rec, sizeof rec));
}

MORELAPI_API(int) GetNwCameraInfo(uint32_t *value1, uint16_t *value2, uint8_t *value3, void *text1, void *text2,
                                  uint32_t *value4, uint16_t *value5) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || value1 == nullptr || value2 == nullptr || value3 == nullptr ||
        text1 == nullptr || text2 == nullptr || value4 == nullptr || value5 == nullptr)
        return 0;
    if (ExchangeRequest(ctx, cmd::GetCamera) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        *value1 = ctx->cameraValue1;
        *value2 = ctx->cameraValue2;
        *value3 = ctx->cameraValue3;
        std::memcpy(text1, ctx->cameraText1, kTextBytes);
        std::memcpy(text2, ctx->cameraText2, kTextBytes);
        *value4 = ctx->cameraValue4;
        *value5 = ctx->cameraValue5;
    });
    return 1;
}

MORELAPI_API(int8_t) GetOpeMode(void) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx))
        return -1;
    return static_cast<int8_t>(WithDeviceData(ctx, [&] { return ctx->operatingMode; }));
}

} // extern "C"
