// Audio settings: class 2 answers of the modes and volumes, and their exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void SlowTalkHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->slowTalkMode = r[21];
}

void SoundEnhancerHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->soundEnhancerMode = r[21];
}

void RingerVolumeHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->ringerVolume = r[21];
}

void ReceiveVolumeHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->receiveVolume = r[21];
}

} // namespace morel
