#include "core/trace.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace morel {

namespace {

// The trace of the running library. Never destroyed: the process may end
// with the library (and so the writer thread) still running, and a writer
// that the stop left behind keeps its state (see TraceStop).
struct TraceState {
    std::mutex traceLock; // the fields below
    std::condition_variable wake;     // the writer: lines to write, or the stop
    std::condition_variable finished; // the stop: the writer has written `end`
    std::FILE *file = nullptr;        // nullptr: no trace
    bool stopping = false;            // the stop is draining; no new line is taken
    bool writerIdle = false;          // the writer waits on `wake`
    bool writerDone = false;          // the writer has written everything and `end`
    bool abandoned = false;           // the stop gave up waiting: the writer closes the file
    TraceState *left = nullptr;       // the state of a writer the stop left behind, kept
    std::chrono::steady_clock::time_point start;
    uint64_t offered = 0;             // lines handed to TraceEmit
    uint64_t lost = 0;                // lines left out since the last line taken
    size_t readPos = 0;               // first byte the writer has yet to write
    size_t used = 0;                  // bytes in the buffer
    std::thread writer;
    char buffer[kTraceBufferBytes];
};

std::atomic<TraceState *> g_state{new TraceState};

TraceState &State() { return *g_state.load(); }

void Append(TraceLine &line, const char *text, size_t n) {
    n = std::min(n, sizeof line.text - line.length);
    std::memcpy(line.text + line.length, text, n);
    line.length += n;
}

void Append(TraceLine &line, const char *text) { Append(line, text, std::strlen(text)); }

// `,"key":`
void Key(TraceLine &line, const char *key) {
    Append(line, ",\"");
    Append(line, key);
    Append(line, "\":");
}

int64_t SinceStartUs(const TraceState &s) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - s.start).count();
}

// `{"t":12.345,`: milliseconds since the start with three decimals; atUs < 0
// is now.
size_t FormatTime(const TraceState &s, char *out, size_t size, int64_t atUs = -1) {
    const long long v = atUs >= 0 ? atUs : SinceStartUs(s);
    const int n = std::snprintf(out, size, "{\"t\":%lld.%03lld,", v / 1000, v % 1000);
    return n > 0 ? std::min(static_cast<size_t>(n), size - 1) : 0;
}

// Copies bytes into the buffer behind what it holds; the caller checked room.
void Put(TraceState &s, const char *bytes, size_t n) {
    const size_t at = (s.readPos + s.used) % kTraceBufferBytes;
    const size_t first = std::min(n, kTraceBufferBytes - at);
    std::memcpy(s.buffer + at, bytes, first);
    std::memcpy(s.buffer, bytes + first, n - first);
    s.used += n;
}

// Stamps the line with the time and puts it whole into the buffer, or
// returns false when it does not fit. traceLock held: the times in the
// buffer never go backwards, except the earlier time a line brings along.
bool PutLine(TraceState &s, const TraceLine &line) {
    char time[40];
    const size_t t = FormatTime(s, time, sizeof time, line.atUs);
    if (kTraceBufferBytes - s.used < t + line.length + 2)
        return false;
    Put(s, time, t);
    Put(s, line.text, line.length);
    Put(s, "}\n", 2);
    return true;
}

void LostLine(TraceLine &line, uint64_t lost) {
    TraceBegin(line, "lost");
    TraceInt(line, "lines", static_cast<int64_t>(lost));
}

// Puts the `lost` line of the count, when it fits; traceLock held.
bool PutLost(TraceState &s) {
    TraceLine line;
    LostLine(line, s.lost);
    if (!PutLine(s, line))
        return false;
    s.lost = 0;
    return true;
}

void WriteOut(TraceState &s, const char *bytes, size_t n) {
    if (n > 0)
        std::fwrite(bytes, 1, n, s.file);
}

// Writes a line straight to the file, past the buffer (the writer, stopping).
void WriteLine(TraceState &s, const TraceLine &line) {
    char time[40];
    WriteOut(s, time, FormatTime(s, time, sizeof time));
    WriteOut(s, line.text, line.length);
    WriteOut(s, "}\n", 2);
}

// Writes the buffer out with traceLock released, so that the hooks only ever
// wait for a copy. The wait ends when a line is taken or the stop begins.
void WriterMain(TraceState *sp) {
    TraceState &s = *sp;
    std::unique_lock<std::mutex> g(s.traceLock);
    for (;;) {
        s.writerIdle = true;
        s.wake.wait(g, [&] { return s.used > 0 || s.stopping; });
        s.writerIdle = false;
        if (s.used == 0)
            break; // stopping, and everything is written
        // Only the writer moves readPos and takes bytes out: the span stays
        // put while hooks append behind it.
        const size_t at = s.readPos;
        const size_t n = std::min(s.used, kTraceBufferBytes - at);
        g.unlock();
        WriteOut(s, s.buffer + at, n);
        g.lock();
        s.readPos = (at + n) % kTraceBufferBytes;
        s.used -= n;
        if (s.lost > 0)
            PutLost(s);
        if (s.used == 0) {
            g.unlock();
            std::fflush(s.file);
            g.lock();
        }
    }
    // Stopping: no line is taken any more, so the rest goes out directly.
    const uint64_t lost = s.lost;
    s.lost = 0;
    g.unlock();
    TraceLine line;
    if (lost > 0) {
        LostLine(line, lost);
        WriteLine(s, line);
    }
    TraceBegin(line, "end");
    WriteLine(s, line);
    std::fflush(s.file);
    g.lock();
    s.writerDone = true;
    if (s.abandoned && s.file != stderr)
        std::fclose(s.file); // nobody else holds this state's file any more
    if (s.abandoned)
        s.file = nullptr;
    s.finished.notify_all();
}

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// `{"trace":"morelapi","format":1,"start":"2026-12-06T20:30:00.123Z","pid":1234}`
void WriteHeader(std::FILE *file) {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    std::fprintf(file, "{\"trace\":\"morelapi\",\"format\":1,\"start\":\"%04d-%02u-%02uT%02d:%02d:%02d.%03dZ\",\"pid\":%d}\n",
                 static_cast<int>(date.year()), static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                 static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                 static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()), ProcessId());
    std::fflush(file);
}

} // namespace

void TraceStart() {
    TraceState &s = State();
    const char *where = std::getenv("MORELAPI_TRACE");
    if (where == nullptr || where[0] == '\0')
        return;
    std::lock_guard<std::mutex> g(s.traceLock);
    if (s.file != nullptr)
        return;
    std::FILE *file = std::strcmp(where, "stderr") == 0 ? stderr : std::fopen(where, "ab");
    if (file == nullptr)
        return;
    WriteHeader(file);
    s.file = file;
    s.stopping = false;
    s.writerDone = false;
    s.offered = 0;
    s.lost = 0;
    s.readPos = 0;
    s.used = 0;
    s.start = std::chrono::steady_clock::now();
    try {
        s.writer = std::thread(WriterMain, &s);
    } catch (const std::system_error &) {
        if (file != stderr)
            std::fclose(file);
        s.file = nullptr;
        return;
    }
    g_traceOn.store(true, std::memory_order_relaxed);
}

void TraceStop() {
    TraceState &s = State();
    std::unique_lock<std::mutex> g(s.traceLock);
    if (s.file == nullptr || s.stopping)
        return;
    g_traceOn.store(false, std::memory_order_relaxed);
    s.stopping = true;
    s.wake.notify_one();
    // The writer writes what is buffered and `end`; the wait ends when it has,
    // or after kTraceStopWaitMs when a write of it does not return (a pipe
    // that nobody reads): the stop must not hang on the trace's reader.
    if (s.finished.wait_for(g, std::chrono::milliseconds(kTraceStopWaitMs), [&] { return s.writerDone; })) {
        g.unlock();
        s.writer.join();
        g.lock();
        if (s.file != stderr)
            std::fclose(s.file);
        s.file = nullptr;
        return;
    }
    // Left behind: the writer finishes on its own once its write returns and
    // closes the file then. Its state stays with it (one per trace left so,
    // never freed); the next start gets a fresh one.
    s.abandoned = true;
    s.writer.detach();
    g.unlock();
    TraceState *fresh = new TraceState;
    fresh->left = &s;
    g_state.store(fresh);
}

int64_t TraceClockUs() { return SinceStartUs(State()); }

void TraceBegin(TraceLine &line, const char *ev) {
    line.atUs = -1;
    line.length = 0;
    Append(line, "\"ev\":\"");
    Append(line, ev);
    Append(line, "\"");
}

void TraceInt(TraceLine &line, const char *key, int64_t value) {
    Key(line, key);
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, value);
    Append(line, digits, static_cast<size_t>(r.ptr - digits));
}

void TraceText(TraceLine &line, const char *key, const char *value) {
    Key(line, key);
    Append(line, "\"");
    Append(line, value);
    Append(line, "\"");
}

void TraceBool(TraceLine &line, const char *key, bool value) {
    Key(line, key);
    Append(line, value ? "true" : "false");
}

void TraceHex(TraceLine &line, const char *key, const uint8_t *bytes, size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    Key(line, key);
    Append(line, "\"");
    n = std::min(n, (sizeof line.text - line.length - 1) / 2);
    char *out = line.text + line.length;
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    line.length += 2 * n;
    Append(line, "\"");
}

void TraceEventId(const char *ev, uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(id));
    TraceLine line;
    TraceBegin(line, ev);
    TraceText(line, "id", text);
    TraceEmit(line);
}

void TraceEmit(TraceLine &line) {
    TraceState &s = State();
    bool wake;
    {
        std::lock_guard<std::mutex> g(s.traceLock);
        if (s.file == nullptr || s.stopping)
            return;
        ++s.offered;
        // A count of lost lines goes out before any later line, so that a
        // reader sees the gap where it is.
        if ((s.lost > 0 && !PutLost(s)) || !PutLine(s, line)) {
            ++s.lost;
            return;
        }
        wake = s.writerIdle;
    }
    if (wake)
        s.wake.notify_one();
}

void TraceValue(const char *ev, const char *key, int64_t value) {
    TraceLine line;
    TraceBegin(line, ev);
    TraceInt(line, key, value);
    TraceEmit(line);
}

uint64_t TraceLinesOfferedForTesting() {
    TraceState &s = State();
    std::lock_guard<std::mutex> g(s.traceLock);
    return s.offered;
}

} // namespace morel
