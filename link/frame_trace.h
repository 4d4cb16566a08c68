// The trace's lines about frames: every frame written or received, a request
// given up, an answer that matched no request. Callers test TraceOn() first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/trace.h"

namespace morel {

// `tx` with the transport's write result, or `rx` (writeResult nullptr): the
// header's fields, the status byte of an answer and the whole frame in hex.
// atUs: the line's time (TraceClockUs), or -1 for now.
void TraceFrame(const char *ev, const uint8_t *frame, size_t length, const int32_t *writeResult, int64_t atUs = -1);

// What identifies a request in a `timeout` line, taken from its frame.
struct TracedRequest {
    uint16_t classId;
    uint16_t commandId;
    uint32_t sequence;
};
TracedRequest TracedRequestOf(const uint8_t *frame);
// `timeout`: a request given up; reason nullptr for its own time-out, "link"
// for one released by a lost link.
void TraceTimeout(const TracedRequest &request, const char *reason);

// `unmatched`: an answer that no pending request is waiting for.
void TraceUnmatched(const uint8_t *frame);

} // namespace morel
