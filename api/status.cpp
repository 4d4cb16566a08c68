// Status and identity: class 1 answers and their exports, ErrorCode, Reboot.
#include "api/handlers.h"
#include "api/request.h"

#include <algorithm>

namespace morel {

namespace {
constexpr size_t kNetworkItem1Bytes = 6;
} // namespace

void ProductDefaultHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->productDefault.store(r[21] == 1 ? 1 : 0);
}

void NetworkItemHandler(ApiContext *ctx, uint8_t phase) {
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (ctx->networkSelector >= 1 && ctx->networkSelector <= 7)
            tx[20] = ctx->networkSelector;
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr)
        return;
    ctx->networkSelector = r[21];
    uint32_t value = Get32(r + 22);
    switch (r[21]) {
    case 1: std::memcpy(ctx->networkItem1, r + 22, kNetworkItem1Bytes); break;
    case 2: ctx->networkItem2 = value; break;
    case 3: ctx->networkItem3 = value; break;
    case 4: ctx->networkItem4 = value; break;
    case 5: ctx->networkItem5 = value; break;
    case 6: ctx->networkItem6 = value; break;
    case 7: ctx->networkItem7 = value; break;
    default: break;
    }
}

void VersionHandler(ApiContext *ctx, uint8_t phase) {
    if (uint8_t *tx = RequestFrameForPhase0(ctx, phase)) {
        if (ctx->versionSelector <= 2)
            tx[20] = ctx->versionSelector;
        return;
    }
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r != nullptr && ctx->versionSelector <= 2)
        ctx->speakerphoneVersions[ctx->versionSelector] = Get16(r + 21);
}

void StatusHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase)) {
        ctx->deviceStatus = r[21];
        ctx->deviceErrorCode = Get16(r + 22);
    }
}

void Status2Handler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase)) {
        ctx->deviceStatus = r[21];
        ctx->deviceErrorCode = Get16(r + 22);
        ctx->deviceStatus2 = r[24];
    }
}

void DestinationHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase)) {
        ctx->destinationCode = r[21];
        ctx->destinationValue = Get16(r + 22);
    }
}

void PeerVersionHandler(ApiContext *ctx, uint8_t phase) {
    if (const uint8_t *r = ResponseFrameForPhase1(ctx, phase))
        ctx->peerVersion.store(r[21]);
}

void UnicodeTableHandler(ApiContext *ctx, uint8_t phase) {
    const uint8_t *r = ResponseFrameForPhase1(ctx, phase);
    if (r == nullptr)
        return;
    // Keep at most the ten entries there is room for, and only entries the
    // frame really holds.
    size_t present = ctx->rxLength > 22 ? (ctx->rxLength - 22) / kUnicodeEntryBytes : 0;
    size_t count = std::min<size_t>({static_cast<size_t>(r[21]), kUnicodeEntries, present});
    ctx->unicodeCount = static_cast<uint8_t>(count);
    std::memcpy(ctx->unicodeTable, r + 22, count * kUnicodeEntryBytes);
}

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(uint16_t) ErrorCode(void) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || ExchangeRequest(ctx, cmd::Status) != 1)
        return 0;
    return WithDeviceData(ctx, [&] { return ctx->deviceErrorCode; });
}

MORELAPI_API(int) Reboot(void) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx))
        return 0;
    return static_cast<int>(PostCommand(ctx, BuildCommand(ctx, kAddrApp, cmd::Reboot)));
}

MORELAPI_API(int) GetSPphoneStatus(uint8_t *statusOut) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || ExchangeRequest(ctx, cmd::Status) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        if (statusOut != nullptr)
            *statusOut = ctx->deviceStatus;
    });
    return 1;
}

MORELAPI_API(int) GetSPphoneStatus2(uint8_t *statusOut, uint8_t *status2Out) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || ExchangeRequest(ctx, cmd::Status2) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        if (statusOut != nullptr) {
            *statusOut = ctx->deviceStatus;
            if (status2Out != nullptr)
                *status2Out = ctx->deviceStatus2;
        }
    });
    return 1;
}

MORELAPI_API(int) GetDestination(uint8_t *code, uint16_t *value) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || ExchangeRequest(ctx, cmd::Destination) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        if (code != nullptr)
            *code = ctx->destinationCode;
        if (value != nullptr)
            *value = ctx->destinationValue;
    });
    return 1;
}

MORELAPI_API(int) GetIPnetworkInfo(uint8_t item, void *info) {
    ContextRef ctx;
    if (!CanIssueCommand(ctx) || item < 1 || item > 7 || info == nullptr)
        return 0;
    RequestTurn turn(ctx);
    if (!turn.held)
        return 0;
    WithDeviceData(ctx, [&] { ctx->networkSelector = item; });
    if (ExchangeRequest(ctx, cmd::NetworkItem) != 1)
        return 0;
    WithDeviceData(ctx, [&] {
        const uint32_t items[] = {0, 0, ctx->networkItem2, ctx->networkItem3, ctx->networkItem4,
                                  ctx->networkItem5, ctx->networkItem6, ctx->networkItem7};
        if (item == 1) {
            std::memcpy(info, ctx->networkItem1, kNetworkItem1Bytes);
        } else {
            uint8_t bytes[4];
            Put32(bytes, items[item]);
            std::memcpy(info, bytes, sizeof bytes);
        }
    });
    return 1;
}

MORELAPI_API(int) GetVersionSpeakerphone(uint8_t which, uint16_t *versionOut) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || which > 2 || versionOut == nullptr)
        return 0;
    *versionOut = WithDeviceData(ctx, [&] { return ctx->speakerphoneVersions[which]; });
    return 1;
}

MORELAPI_API(int) GetCTIVersion(uint8_t *versionOut) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || versionOut == nullptr)
        return 0;
    *versionOut = ctx->peerVersion.load();
    return 1;
}

MORELAPI_API(int) ActiveUnicode(void *table, uint8_t *countOut) {
    ContextRef ctx;
    if (!IsDeviceReady(ctx) || table == nullptr || countOut == nullptr)
        return 0;
    WithDeviceData(ctx, [&] {
        std::memcpy(table, ctx->unicodeTable, ctx->unicodeCount * kUnicodeEntryBytes);
        *countOut = ctx->unicodeCount;
    });
    return 1;
}

} // extern "C"
