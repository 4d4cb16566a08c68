// Keys and display: class 1 commands 5 and 7, and the key and display exports.
#include "api/handlers.h"
#include "api/request.h"

namespace morel {

void KeyStateHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase)) {
        ctx->keyAction = r[21];
        ctx->keyCode = r[22];
    }
}

void DisplayReadHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        std::memcpy(ctx->displayBuffer, r + 21, kDisplayBytes);
}

} // namespace morel
