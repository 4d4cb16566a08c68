// The protocol trace: one JSON line per frame written or received and per
// step of the link, written to a file or to standard error when the
// environment variable MORELAPI_TRACE names one at the start (docs/trace.md
// has the format).
//
// A hook tests TraceOn() first and formats nothing when it is false, so a
// library without a trace pays one relaxed load and a predictable branch per
// hook. With the trace on, a hook formats its line into a TraceLine on its own
// stack and TraceEmit copies it into a bounded buffer under `traceLock`, held
// for nothing but that copy; a writer thread of its own takes the lines out
// and writes them with the lock released, so a slow file or a pipe nobody
// reads never holds a library thread. A line that does not fit the buffer is
// counted, and the count goes out as a `lost` line as soon as room returns.
//
// TraceStart and TraceStop are the library start's and stop's: TraceStop
// returns once every line emitted before it, a `lost` line for any count left
// and the `end` line are written and the file is closed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace morel {

// True between TraceStart and TraceStop when a trace is being written.
inline std::atomic<bool> g_traceOn{false};
inline bool TraceOn() { return g_traceOn.load(std::memory_order_relaxed); }

// Line bytes the buffer holds between the hooks and the writer.
constexpr size_t kTraceBufferBytes = 256 * 1024;
// The longest line: a frame of 1024 bytes as 2048 hex digits, its fields and
// the time.
constexpr size_t kTraceLineMax = 2 * 1024 + 512;

// How long the stop waits for the writer to write out what is buffered.
constexpr uint32_t kTraceStopWaitMs = 2000;

// Reads MORELAPI_TRACE and, when it names stderr or a file that opens,
// writes the header line and starts the writer. No-op when a trace runs.
void TraceStart();
// Drains the buffer, writes the `end` line, closes the file. No-op without a
// trace. Waits at most kTraceStopWaitMs for the writer: a writer whose write
// does not return (a pipe nobody reads) is left to finish and close the file
// on its own, and the trace may then end without its `end` line.
void TraceStop();

// A line in the making: `"ev":"..."` and its fields; TraceEmit puts the time
// in front. Fields beyond kTraceLineMax are left out (none of the hooks comes
// near it).
struct TraceLine {
    int64_t atUs; // the line's time in µs since the start; -1: when it is emitted
    size_t length;
    char text[kTraceLineMax];
};

void TraceBegin(TraceLine &line, const char *ev);
// Microseconds since the trace started: the time of a line that is emitted
// later than what it tells (a write is traced once it has returned).
int64_t TraceClockUs();
void TraceInt(TraceLine &line, const char *key, int64_t value);
// The value is written as it is: names and words without quotes or escapes.
void TraceText(TraceLine &line, const char *key, const char *value);
void TraceBool(TraceLine &line, const char *key, bool value);
// Bytes as lower-case hex, two digits each.
void TraceHex(TraceLine &line, const char *key, const uint8_t *bytes, size_t n);
// Stamps the line with the time and copies it into the buffer, or counts it
// lost when it does not fit.
void TraceEmit(TraceLine &line);

// A line of one number: `{"t":..,"ev":"backoff","ms":100}`.
void TraceValue(const char *ev, const char *key, int64_t value);
// A line about a device event: `{"t":..,"ev":"queue-full","id":"0x0205"}`.
void TraceEventId(const char *ev, uint16_t id);

// Tests: the lines offered to TraceEmit since the last TraceStart (written or
// counted lost).
uint64_t TraceLinesOfferedForTesting();

} // namespace morel
