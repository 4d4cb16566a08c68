// Recorder: class 5 and 6 answers and the recorder exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void RecordCountHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->recordCount = r[21];
}

void RecordInfoHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    const uint8_t index = ctx->recordTable->recordIndex;
    if (r == nullptr || index < 1 || index > kRecordCountMax)
        return;
    RecordInfo &e = ctx->recordTable->entries[index - 1];
    e.infoA1 = Get32(r + 21);
    e.infoA2 = Get16(r + 25);
    e.infoA3 = r[27];
    e.infoValue = Get32(r + 28);
    e.infoB1 = Get32(r + 32);
    e.infoB2 = Get32(r + 36);
    e.infoB3 = Get16(r + 40);
    e.infoB4 = r[42];
}

void PlaybackPositionHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->playbackPosition = Get32(r + 21);
}

void PlaybackVolumeHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->playbackVolume = r[21];
}

void RecordOpStatusHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->recordOpStatus = Get32(r + 21);
}

} // namespace morel
