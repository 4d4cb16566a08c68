#include "link/frame_trace.h"

#include <cstdio>

#include "link/frame.h"

namespace morel {

namespace {

constexpr const char *kKindNames[] = {"notification", "request", "ack", "response"};

void Kind(TraceLine &line, uint16_t kind) {
    if (kind < 4)
        TraceText(line, "kind", kKindNames[kind]);
    else
        TraceInt(line, "kind", kind);
}

// Class, command and the readable name. A notification from the device
// carries its event id as command and is named by it; every other frame by
// its command's name.
void Identity(TraceLine &line, const uint8_t *frame) {
    const Command command{Get16(frame + kOffClass), Get16(frame + kOffCommand)};
    TraceInt(line, "class", command.classId);
    TraceInt(line, "command", command.commandId);
    if (FrameKind(frame) == kKindNotification && Get16(frame + kOffSource) != kAddrHost) {
        char name[16];
        std::snprintf(name, sizeof name, "event 0x%04x", static_cast<unsigned>(command.commandId));
        TraceText(line, "name", name);
    } else {
        TraceText(line, "name", CommandName(command));
    }
}

} // namespace

void TraceFrame(const char *ev, const uint8_t *frame, size_t length, const int32_t *writeResult, int64_t atUs) {
    TraceLine line;
    TraceBegin(line, ev);
    line.atUs = atUs;
    Identity(line, frame);
    const uint16_t kind = FrameKind(frame);
    Kind(line, kind);
    TraceInt(line, "dst", Get16(frame + kOffDestination));
    TraceInt(line, "src", Get16(frame + kOffSource));
    TraceInt(line, "ver", frame[kOffVersion]);
    TraceInt(line, "seq", Get32(frame + kOffSequence));
    if (kind == kKindAck || kind == kKindResponse)
        TraceInt(line, "status", frame[kOffBody]);
    TraceInt(line, "len", static_cast<int64_t>(length));
    if (writeResult != nullptr)
        TraceInt(line, "rc", *writeResult);
    TraceHex(line, "hex", frame, length);
    TraceEmit(line);
}

TracedRequest TracedRequestOf(const uint8_t *frame) {
    return {Get16(frame + kOffClass), Get16(frame + kOffCommand), Get32(frame + kOffSequence)};
}

void TraceTimeout(const TracedRequest &request, const char *reason) {
    TraceLine line;
    TraceBegin(line, "timeout");
    TraceInt(line, "class", request.classId);
    TraceInt(line, "command", request.commandId);
    TraceText(line, "name", CommandName({request.classId, request.commandId}));
    TraceInt(line, "seq", request.sequence);
    if (reason != nullptr)
        TraceText(line, "reason", reason);
    TraceEmit(line);
}

void TraceUnmatched(const uint8_t *frame) {
    TraceLine line;
    TraceBegin(line, "unmatched");
    Identity(line, frame);
    Kind(line, FrameKind(frame));
    TraceInt(line, "seq", Get32(frame + kOffSequence));
    TraceEmit(line);
}

} // namespace morel
