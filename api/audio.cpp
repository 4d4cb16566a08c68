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

namespace morel {

namespace {

// A class 2 setter: guard, accepted value, value at offset 20.
int SetSetting(Command command, uint8_t value, bool accepted) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || !accepted)
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, command, &value, 1));
}

// A class 2 getter that asks the device; its handler stores the answer byte
// in `field`, which is copied out on success.
int ReadSetting(Command command, uint8_t ApiContext::*field, uint8_t *out) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || out == nullptr)
        return 0;
    if (ExchangeRequest(ctx, command) != 1)
        return 0;
    *out = WithDeviceData(ctx, [&] { return ctx->*field; });
    return 1;
}

// A volume getter: the cached value, without asking the device.
int CachedSetting(uint8_t ApiContext::*field, uint8_t *out) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || out == nullptr)
        return 0;
    *out = WithDeviceData(ctx, [&] { return ctx->*field; });
    return 1;
}

} // namespace

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) SetMute(uint8_t mute) { return SetSetting(cmd::SetMute, mute, mute <= 1); }
MORELAPI_API(int) SetSlowTalk(uint8_t mode) { return SetSetting(cmd::SetSlowTalk, mode, mode == 0 || mode == 2 || mode == 3); }
MORELAPI_API(int) SetSoundEnhancer(uint8_t mode) { return SetSetting(cmd::SetSoundEnhancer, mode, mode <= 2); }
MORELAPI_API(int) SetRingerVol(uint8_t volume) { return SetSetting(cmd::SetRingerVolume, volume, volume <= 3); }
MORELAPI_API(int) SetReceiverVol(uint8_t volume) { return SetSetting(cmd::SetReceiveVolume, volume, volume >= 1 && volume <= 8); }

MORELAPI_API(int) GetSlowTalk(uint8_t *mode) { return ReadSetting(cmd::GetSlowTalk, &ApiContext::slowTalkMode, mode); }
MORELAPI_API(int) GetSoundEnhancer(uint8_t *mode) { return ReadSetting(cmd::GetSoundEnhancer, &ApiContext::soundEnhancerMode, mode); }
MORELAPI_API(int) GetRingerVol(uint8_t *volume) { return CachedSetting(&ApiContext::ringerVolume, volume); }
MORELAPI_API(int) GetReceiveVol(uint8_t *volume) { return CachedSetting(&ApiContext::receiveVolume, volume); }

} // extern "C"
