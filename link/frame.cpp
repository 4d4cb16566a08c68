#include "link/frame.h"

#include <new>

#include "api/handlers.h"

namespace morel {

void EmptyHandler(ApiContext *, uint8_t) {}

namespace {

const CommandEntry kClass0[] = {{1, nullptr}, {2, nullptr}};
const CommandEntry kClass1[] = {
    {1, EmptyHandler},         {2, EmptyHandler},        {3, ProductDefaultHandler}, {4, NetworkItemHandler},
    {5, KeyStateHandler},      {6, EmptyHandler},        {7, DisplayReadHandler},    {8, VersionHandler},
    {9, StatusHandler},        {10, DestinationHandler}, {11, PeerVersionHandler},   {12, UnicodeTableHandler},
    {13, Status2Handler},
};
// Class 2 keeps the device's own order: 1..7, 10, 8, 11, 9, 16..21.
const CommandEntry kClass2[] = {
    {1, EmptyHandler},          {2, EmptyHandler},        {3, EmptyHandler},         {4, EmptyHandler},
    {5, EmptyHandler},          {6, EmptyHandler},        {7, EmptyHandler},         {10, SlowTalkHandler},
    {8, EmptyHandler},          {11, SoundEnhancerHandler}, {9, EmptyHandler},       {16, RingerVolumeHandler},
    {17, EmptyHandler},         {18, ReceiveVolumeHandler}, {19, EmptyHandler},      {20, CallInfoHandler},
    {21, EmptyHandler},
};
const CommandEntry kClass3[] = {
    {1, EmptyHandler},      {2, SystemDataReadHandler}, {3, SystemDataChangedHandler},
    {4, EmptyHandler},      {5, CameraReadHandler},     {6, OperatingModeHandler},
};
const CommandEntry kClass4[] = {
    {1, ContactCountHandler}, {2, ContactEntryHandler}, {3, ContactSetHandler}, {4, EmptyHandler}};
const CommandEntry kClass5[] = {
    {1, RecordCountHandler}, {2, RecordInfoHandler}, {3, EmptyHandler}, {4, EmptyHandler}};
const CommandEntry kClass6[] = {
    {1, EmptyHandler}, {2, EmptyHandler},  {3, EmptyHandler},           {4, EmptyHandler},
    {5, EmptyHandler}, {6, EmptyHandler},  {8, PlaybackPositionHandler}, {10, PlaybackVolumeHandler},
    {11, EmptyHandler}, {12, RecordOpStatusHandler},
};
const CommandEntry kClass7[] = {
    {1, EmptyHandler}, {2, RtcpReceiveHandler}, {3, RtcpSetVersionHandler}, {4, RtcpGetVersionHandler}};

template <size_t N> constexpr uint16_t Count(const CommandEntry (&)[N]) { return static_cast<uint16_t>(N); }

} // namespace

const CommandClassEntry CommandTable[8] = {
    {0, Count(kClass0), kClass0}, {1, Count(kClass1), kClass1}, {2, Count(kClass2), kClass2},
    {3, Count(kClass3), kClass3}, {4, Count(kClass4), kClass4}, {5, Count(kClass5), kClass5},
    {6, Count(kClass6), kClass6}, {7, Count(kClass7), kClass7},
};

const CommandEntry *FindCommand(uint16_t classId, uint16_t commandId) {
    // Classes are numbered 0..7 in table order, so the class indexes its row.
    if (classId >= 8 || CommandTable[classId].classId != classId)
        return nullptr;
    const CommandClassEntry &row = CommandTable[classId];
    for (uint16_t i = 0; i < row.commandCount; ++i)
        if (row.commands[i].commandId == commandId)
            return &row.commands[i];
    return nullptr;
}

CommandPacket *BuildCommand(ApiContext *ctx, uint16_t address, uint16_t classId, uint16_t commandId) {
    if (ctx == nullptr || (address != kAddrSync && address != kAddrApp))
        return nullptr;
    const CommandEntry *entry = FindCommand(classId, commandId);
    if (entry == nullptr)
        return nullptr;
    auto *pkt = new (std::nothrow) CommandPacket();
    if (pkt == nullptr)
        return nullptr;
    pkt->next = nullptr;
    pkt->handler = entry->handler;
    uint8_t *f = pkt->frame;
    f[kOffVersion] = ctx->protocolVersion.load();
    f[kOffReserved] = 0xFF;
    Put16(f + kOffClass, classId);
    Put16(f + kOffCommand, commandId);
    Put16(f + kOffDestination, address);
    Put16(f + kOffSource, kAddrHost);
    Put16(f + kOffKind, kKindRequest);
    Put32(f + kOffSequence, ctx->nextSequence.fetch_add(1));
    Put32(f + kOffExtraLength, 0);
    return pkt;
}

void FreePacket(CommandPacket *pkt) { delete pkt; }

void SetBodyLength(CommandPacket *pkt, size_t bodyLength) {
    uint32_t extra = bodyLength > kMinFrame - kHeaderSize ? static_cast<uint32_t>(bodyLength - (kMinFrame - kHeaderSize)) : 0;
    Put32(pkt->frame + kOffExtraLength, extra);
}

uint8_t *RequestFrameForPhase0(ApiContext *ctx, uint8_t phase) {
    if (phase != 0 || FrameKind(ctx->txFrame) != kKindRequest)
        return nullptr;
    return ctx->txFrame;
}

const uint8_t *ResponseFrameForPhase1(ApiContext *ctx, uint8_t phase) {
    if (phase != 1 || FrameKind(ctx->rxFrame) != kKindResponse)
        return nullptr;
    return ctx->rxFrame;
}

} // namespace morel
