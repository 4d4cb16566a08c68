// Frame format, the command table and BuildCommand.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/commands.h"
#include "core/context.h"

namespace morel {

// Header offsets.
constexpr size_t kOffVersion = 0;
constexpr size_t kOffReserved = 1;
constexpr size_t kOffClass = 2;
constexpr size_t kOffCommand = 4;
constexpr size_t kOffDestination = 6;
constexpr size_t kOffSource = 8;
constexpr size_t kOffKind = 10;
constexpr size_t kOffSequence = 12;
constexpr size_t kOffExtraLength = 16;
constexpr size_t kOffBody = 20;
constexpr size_t kHeaderSize = 20;
constexpr size_t kMinFrame = 64;

constexpr uint16_t kKindNotification = 0;
constexpr uint16_t kKindRequest = 1;
constexpr uint16_t kKindAck = 2;
constexpr uint16_t kKindResponse = 3;

constexpr uint16_t kAddrHost = 1;
constexpr uint16_t kAddrSync = 2; // start-up synchronisation, keep-alive, display re-read
constexpr uint16_t kAddrApp = 3;  // every exported call

inline uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A request frame image and its links. 1024 bytes in all, zeroed when made.
struct CommandPacket {
    CommandPacket *next;
    CommandHandler handler;
    uint8_t frame[1024 - 2 * sizeof(void *)];
};
static_assert(sizeof(CommandPacket) == 1024, "packet is one 1024-byte block");

// The command table: one row per class (0..7, in class order), each with
// the class's commands in the device's order.
struct CommandEntry {
    Command command;
    CommandHandler handler; // nullptr: no handler (class 0)
};

struct CommandClassEntry {
    uint16_t classId;
    uint16_t commandCount;
    const CommandEntry *commands;
};

// Looks the command up in `table`; returns the entry or nullptr.
const CommandEntry *FindCommand(const CommandClassEntry *table, Command command);

// Makes a zeroed request packet of `command` to `address`, or nullptr for an
// address other than 2 or 3 or a command the context's table lacks.
CommandPacket *BuildCommand(ApiContext *ctx, uint16_t address, Command command);
void FreePacket(CommandPacket *pkt);

// Sets extraLength of a packet whose body (from offset 20) is bodyLength bytes.
void SetBodyLength(CommandPacket *pkt, size_t bodyLength);

inline uint16_t FrameKind(const uint8_t *frame) { return Get16(frame + kOffKind); }

// The empty handler: a command that decodes nothing.
void EmptyHandler(ApiContext *ctx, uint8_t phase);

// Helpers for handlers: the transmit frame when phase 0 may write it, the
// received response when phase 1 may decode it (nullptr otherwise).
uint8_t *RequestFrameForPhase0(ApiContext *ctx, uint8_t phase);
const uint8_t *ResponseFrameForPhase1(ApiContext *ctx, uint8_t phase);

} // namespace morel
