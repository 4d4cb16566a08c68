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
    // Only an answer that carries the whole image replaces it; a short one
    // would leave part of an image padded with zeros on show.
    constexpr size_t kDisplayAnswerBytes = 21 + kDisplayBytes;
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r != nullptr && ctx->rxLength >= kDisplayAnswerBytes)
        std::memcpy(ctx->displayBuffer, r + 21, kDisplayBytes);
}

namespace {

// The one key whose press length the library measures itself.
constexpr uint8_t kKeyF = 'F';
constexpr uint8_t kActionPress = 0;
constexpr uint8_t kActionDown = 1;
constexpr uint8_t kActionUp = 2;
constexpr uint32_t kLongPressMs = 750;

enum class KeySend { Sent, Failed, Skipped };

// One key request (class 1 command 6): action at offset 20, key code at 21.
// Skipped when the guard fails or no packet can be built.
KeySend SendKey(ApiContext *ctx, uint8_t action, uint8_t key) {
    if (!CanIssueCommand(ctx))
        return KeySend::Skipped;
    CommandPacket *pkt = BuildCommand(ctx, kAddrApp, cmd::Key);
    if (pkt == nullptr)
        return KeySend::Skipped;
    pkt->frame[kOffBody] = action;
    pkt->frame[kOffBody + 1] = key;
    return SendAndWait(ctx, pkt) == 1 ? KeySend::Sent : KeySend::Failed;
}

// Takes the held 'F' press out of the context (clearing it) in one step, so
// that two callers never both resolve the same press. Returns whether one was
// held and, if so, when it went down.
bool TakeHeldPress(ApiContext *ctx, uint32_t *downTick) {
    return WithDeviceData(ctx, [&] {
        const bool held = ctx->fKeyDown == 1;
        *downTick = ctx->fKeyDownTick;
        ctx->fKeyDown = 0;
        return held;
    });
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) SetKey(uint8_t key, uint8_t action) {
    ContextRef ctx;
    if (!ctx)
        return 0;
    if (key == kKeyF && action == kActionDown) {
        // Held by the library until the key goes up (or another key comes).
        WithDeviceData(ctx, [&] {
            ctx->fKeyDown = 1;
            ctx->fKeyDownTick = TickNow();
        });
        return 1;
    }
    uint32_t downTick = 0;
    const bool held = TakeHeldPress(ctx, &downTick);
    int result = 0;
    // A short press of 'F' replaces a held one: the held press is dropped.
    if (held && !(key == kKeyF && action == kActionPress)) {
        const uint32_t elapsed = TickNow() - downTick; // modulo 2^32: survives a tick wrap
        const uint8_t shortPress[] = {kActionPress};
        const uint8_t longPress[] = {kActionDown, kActionUp};
        const bool isLong = elapsed >= kLongPressMs;
        const uint8_t *actions = isLong ? longPress : shortPress;
        const size_t count = isLong ? 2 : 1;
        for (size_t i = 0; i < count; ++i) {
            KeySend s = SendKey(ctx, actions[i], kKeyF);
            if (s == KeySend::Failed)
                return 0;
            if (s == KeySend::Sent)
                result = 1;
        }
    }
    if (key == kKeyF && action == kActionUp)
        return result; // without a held press: 0, nothing sent
    KeySend s = SendKey(ctx, action, key);
    if (s == KeySend::Skipped)
        return result;
    return s == KeySend::Sent ? 1 : 0;
}

MORELAPI_API(int) GetKey(uint8_t *keyCodeOut, uint8_t *keyActionOut) {
    ContextRef ctx;
    uint8_t code = 0;
    uint8_t action = 0;
    const bool ok = IsDeviceReady(ctx) && keyCodeOut != nullptr && keyActionOut != nullptr;
    if (ok) {
        WithDeviceData(ctx, [&] {
            code = ctx->keyCode;
            action = ctx->keyAction;
        });
    }
    // On failure the caller gets zeros, never stale bytes.
    if (keyCodeOut != nullptr)
        *keyCodeOut = code;
    if (keyActionOut != nullptr)
        *keyActionOut = action;
    return ok ? 1 : 0;
}

MORELAPI_API(int) GetLCDdata(void *image) {
    ContextRef ctx;
    if (!ctx || image == nullptr)
        return 0;
    // The image is copied even when the device is not ready; the result tells
    // the caller whether it is current.
    WithDeviceData(ctx, [&] { std::memcpy(image, ctx->displayBuffer, kDisplayBytes); });
    return IsDeviceReady(ctx) ? 1 : 0;
}

} // extern "C"
