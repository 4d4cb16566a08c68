// Network camera and operating mode: class 3 commands 5 and 6 and their exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void CameraReadHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr)
        return;
    ctx->cameraValue1 = Get32(r + 21);
    ctx->cameraValue2 = Get16(r + 25);
    ctx->cameraValue3 = r[27];
    std::memcpy(ctx->cameraText1, r + 28, sizeof ctx->cameraText1);
    std::memcpy(ctx->cameraText2, r + 45, sizeof ctx->cameraText2);
    ctx->cameraValue4 = Get32(r + 62);
    ctx->cameraValue5 = Get16(r + 66);
}

void OperatingModeHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->operatingMode = r[21];
}

} // namespace morel
