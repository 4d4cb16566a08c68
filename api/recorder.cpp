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
    const uint8_t index = ctx->recordTable.recordIndex;
    if (r == nullptr || index < 1 || index > kRecordCountMax)
        return;
    RecordInfo &e = ctx->recordTable.entries[index - 1];
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

using namespace morel;

namespace {

bool ValidRecording(uint8_t index) { return index >= 1 && index <= kRecordCountMax; }

// A device request without arguments and with no answer to copy.
int Plain(Command command) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, command));
}

// A device request whose one argument is a recording number.
int WithRecording(Command command, uint8_t index) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || !ValidRecording(index))
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, command, &index, 1));
}

// Asks the device and copies one cached answer out on success.
template <typename T, typename Field> int Fetch(Command command, T *out, Field field) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || out == nullptr || ExchangeRequest(ctx, command) != 1)
        return 0;
    *out = WithDeviceData(ctx, [&] { return ctx->*field; });
    return 1;
}

} // namespace

extern "C" {

MORELAPI_API(int) GetRecordCount(uint8_t *count) { return Fetch(cmd::RecordCount, count, &ApiContext::recordCount); }

MORELAPI_API(int) GetRecordInfo(uint8_t index, void *groupA, uint32_t *value, void *groupB) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || !ValidRecording(index) || groupA == nullptr || value == nullptr ||
        groupB == nullptr)
        return 0;
    RequestTurn turn(ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx, [&] { ctx->recordTable.recordIndex = index; });
    if (ExchangeRequest(ctx, cmd::RecordInfo, &index, 1) != 1)
        return 0;
    const RecordInfo e = WithDeviceData(ctx, [&] { return ctx->recordTable.entries[index - 1]; });
    // The caller's groups are plain records: A = u32, u16, u8 at 0, 4, 6;
    // B = u32, u32, u16, u8 at 0, 4, 8, 10.
    auto *a = static_cast<uint8_t *>(groupA);
    std::memcpy(a + 0, &e.infoA1, 4);
    std::memcpy(a + 4, &e.infoA2, 2);
    std::memcpy(a + 6, &e.infoA3, 1);
    *value = e.infoValue;
    auto *b = static_cast<uint8_t *>(groupB);
    std::memcpy(b + 0, &e.infoB1, 4);
    std::memcpy(b + 4, &e.infoB2, 4);
    std::memcpy(b + 8, &e.infoB3, 2);
    std::memcpy(b + 10, &e.infoB4, 1);
    return 1;
}

MORELAPI_API(int) DeleteRecord(uint8_t index) { return WithRecording(cmd::DeleteRecord, index); }
MORELAPI_API(int) DeleteAllRecords(void) { return Plain(cmd::DeleteAllRecords); }
MORELAPI_API(int) StartRecording(void) { return Plain(cmd::StartRecording); }
MORELAPI_API(int) StopRecording(void) { return Plain(cmd::StopRecording); }
MORELAPI_API(int) StartPlayback(uint8_t index) { return WithRecording(cmd::StartPlayback, index); }
MORELAPI_API(int) StopPlayback(void) { return Plain(cmd::StopPlayback); }
MORELAPI_API(int) PausePlayback(void) { return Plain(cmd::PausePlayback); }

MORELAPI_API(int) ResumePlayback(uint32_t resumeValue) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    uint8_t body[4];
    Put32(body, resumeValue);
    return static_cast<int>(ExchangeRequest(ctx, cmd::ResumePlayback, body, sizeof body));
}

MORELAPI_API(int) GetCurrentPlaybackPos(uint32_t *position) {
    return Fetch(cmd::PlaybackPosition, position, &ApiContext::playbackPosition);
}

MORELAPI_API(int) GetPlaybackVol(uint8_t *volume) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || volume == nullptr)
        return 0;
    *volume = WithDeviceData(ctx, [&] { return ctx->playbackVolume; });
    return 1;
}

MORELAPI_API(int) SetPlaybackVol(uint8_t volume) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || volume < 1 || volume > 8)
        return 0;
    return static_cast<int>(ExchangeRequest(ctx, cmd::SetPlaybackVolume, &volume, 1));
}

MORELAPI_API(int) GetRecordOpStatus(uint32_t *opStatus) {
    return Fetch(cmd::RecordOpStatus, opStatus, &ApiContext::recordOpStatus);
}

} // extern "C"
