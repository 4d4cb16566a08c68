#include "link/frame.h"

#include <new>

namespace morel {

void EmptyHandler(ApiContext *, uint8_t) {}

const CommandEntry *FindCommand(const CommandClassEntry *table, Command command) {
    // Classes are numbered 0..7 in table order, so the class indexes its row.
    if (table == nullptr || command.classId >= 8 || table[command.classId].classId != command.classId)
        return nullptr;
    const CommandClassEntry &row = table[command.classId];
    for (uint16_t i = 0; i < row.commandCount; ++i)
        if (row.commands[i].command == command)
            return &row.commands[i];
    return nullptr;
}

CommandPacket *BuildCommand(ApiContext *ctx, uint16_t address, Command command) {
    if (ctx == nullptr || (address != kAddrSync && address != kAddrApp))
        return nullptr;
    const CommandEntry *entry = FindCommand(ctx->protocol != nullptr ? ctx->protocol->commands : nullptr, command);
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
    Put16(f + kOffClass, command.classId);
    Put16(f + kOffCommand, command.commandId);
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
