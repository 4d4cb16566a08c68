// Pieces shared by the device's source files; not part of the sim's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim.h"

namespace sim {

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
inline void Append16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void Append32(std::vector<uint8_t> &v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

inline bool InRange(uint8_t v, VolumeRange r) { return v >= r.min && v <= r.max; }

// Header offsets.
constexpr size_t kOffVersion = 0;
constexpr size_t kOffReserved = 1;
constexpr size_t kOffClass = 2;
constexpr size_t kOffCommand = 4;
constexpr size_t kOffDestination = 6;
constexpr size_t kOffSource = 8;
constexpr size_t kOffKind = 10;
constexpr size_t kOffSequence = 12;
constexpr size_t kOffExtra = 16;
constexpr size_t kOffBody = 20;

constexpr uint16_t kKindNotification = 0;
constexpr uint16_t kKindRequest = 1;
constexpr uint16_t kKindAck = 2;
constexpr uint16_t kKindResponse = 3;
constexpr uint16_t kAddrHost = 1;
constexpr uint16_t kAddrDevice = 2;

// A whole frame: header fields and a body from offset 20, padded with zeros to
// at least 64 bytes. extraLength follows from the length.
std::vector<uint8_t> MakeFrame(uint8_t version, uint16_t classId, uint16_t commandId, uint16_t destination,
                               uint16_t source, uint16_t kind, uint32_t sequence, const uint8_t *body,
                               size_t bodyLength);

// A notification the device is about to send.
struct Note {
    uint16_t eventId;
    std::vector<uint8_t> data; // from frame offset 20
};

// One request being carried out (frame == nullptr for a console operation).
struct Exchange {
    Exchange(DeviceState &state, const DeviceConfig &config, const uint8_t *request = nullptr, size_t n = 0)
        : st(state), cfg(config), frame(request), length(n) {}

    DeviceState &st;
    const DeviceConfig &cfg;
    const uint8_t *frame;
    size_t length;
    uint8_t ackStatus = 0;     // nonzero: refused, nothing else is sent
    uint8_t respStatus = 0;    // nonzero: failed
    std::vector<uint8_t> data; // answer data from offset 21
    std::vector<Note> notes;   // sent after the response, in order

    // Request bytes by frame offset; bytes beyond the frame read as zero.
    uint8_t At(size_t off) const { return off < length ? frame[off] : 0; }
    uint16_t U16(size_t off) const { return static_cast<uint16_t>(At(off) | (At(off + 1) << 8)); }
    uint32_t U32(size_t off) const {
        return static_cast<uint32_t>(U16(off)) | (static_cast<uint32_t>(U16(off + 2)) << 16);
    }
    void Refuse() { ackStatus = 1; }
    void Fail() { respStatus = 1; }
    void Notify(uint16_t eventId, std::vector<uint8_t> bytes = {}) { notes.push_back({eventId, std::move(bytes)}); }
    void Signal(uint16_t eventId) {
        if (cfg.reportSignals)
            Notify(eventId);
    }
};

using CommandFn = void (*)(Exchange &ex);
// The handler of (class, command), or nullptr when the device has no such command.
CommandFn FindCommandFn(uint16_t classId, uint16_t commandId);

// ---- Model helpers used by the commands and the console ----

// Queues the display change notification by the display mode (redraws first).
void NoteDisplay(Exchange &ex);
// The live call with id, or nullptr.
Call *FindLiveCall(DeviceState &st, uint8_t id);
// Starts a call in a free slot (nullptr when both are live) and reports it.
Call *StartCall(Exchange &ex, uint8_t state, bool outgoing, uint8_t attribute, const uint8_t *text, size_t textLength,
                uint32_t param);
// Moves a live call to state and reports it with the state's event.
void EnterCallState(Exchange &ex, Call &call, uint8_t state);
bool IsActiveCallState(uint8_t state);

} // namespace sim
