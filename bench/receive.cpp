// Receive path throughput: bytes handed to ReceiveCallback as a transport
// would, cut into frames by the receiver thread (ExtractFrame) and routed
// (DispatchFrame), against memcpy of the same bytes in the same chunks.
//
// The context is a bare one (device available, no other library thread), so
// the figure is the receive path alone. Two ways of driving it:
//  - work: the feeding thread also runs the receiver's loop after each piece
//    it stores (pieces no larger than the room in the ring), so the figure is
//    the CPU work of the path without any thread hand-off (bytes per second
//    of that thread's CPU time, and so for memcpy);
//  - threads: the receiver thread runs as in the library and the feeding
//    thread waits for room like a transport; the figure then includes the
//    hand-offs between the two threads, which a full 4096-byte ring forces
//    for every 4096-byte chunk.
// Streams:
//  - ack64: 64-byte acknowledgements that match a pending request, the
//    commonest frame of request traffic;
//  - call64: 64-byte call state notifications, each looked up in the
//    notification table and queued for the event thread;
//  - display741: 741-byte display notifications carrying the whole image.
// Each stream ends with one 64-byte notification of an unknown id, whose
// wake-up tells the feeding thread that the receiver has taken everything.
// Queued notifications are taken off the queue and handed back for reuse by
// the feeding thread after each chunk, as an event thread that keeps up would.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <memory>
#include <thread>

#include "bench/bench_util.h"
#include "core/context.h"
#include "events/notify.h"
#include "link/frame.h"
#include "link/ring.h"
#include "link/send.h"
#include "tests/support/context_storage.h"

namespace morel_bench {

using namespace morel;

namespace {

constexpr size_t kStreamTarget = 64 * 1024;

// A context with the device available and, when threaded, the receiver thread running.
struct BareReceiver {
    ContextStorage storage;
    ApiContext *ctx = storage.ctx;
    ReceiveRing &ring = storage.ctx->ring;
    std::thread receiver;
    bool threaded;

    explicit BareReceiver(bool withThread) : threaded(withThread) {
        ctx->deviceAvailable = 1;
        ctx->transportHandle = 1;
        if (threaded)
            receiver = std::thread(ReceiverThread, ctx);
    }

    ~BareReceiver() {
        ReleaseWaits(ctx);
        if (receiver.joinable())
            receiver.join();
    }

    // A request waiting for its answer; returns its sequence.
    uint32_t ParkRequest() {
        CommandPacket *pkt = BuildCommand(ctx, kAddrApp, cmd::Status);
        LockGuard g(ctx->queueLock);
        pkt->next = ctx->pendingList;
        ctx->pendingList = pkt;
        return Get32(pkt->frame + kOffSequence);
    }

    // Hands the stream over in chunks and waits until every byte is taken.
    void Feed(const std::vector<uint8_t> &stream, size_t chunk, bool notifications) {
        if (!threaded) {
            FeedAndReceive(stream, chunk, notifications);
            return;
        }
        for (size_t off = 0; off < stream.size(); off += chunk) {
            const size_t n = std::min(chunk, stream.size() - off);
            ReceiveCallback(0, stream.data() + off, static_cast<int32_t>(n), TALVO_TYPE_DATA, 0);
            if (notifications)
                DrainEvents();
        }
        // Every stream ends with a notification of an id the library does
        // not know, which sets notifyEvent once its bytes are released.
        while (ring.used.load() != 0)
            EventWait(ctx->notifyEvent, -1);
        if (notifications)
            DrainEvents();
    }

    // The event thread's part without the handlers.
    void DrainEvents() {
        for (EventRecord *rec = NextEventRecord(ctx, nullptr); rec != nullptr; rec = NextEventRecord(ctx, rec)) {
        }
    }

    // One thread: store what fits, then take every whole frame as the
    // receiver thread's loop does.
    void FeedAndReceive(const std::vector<uint8_t> &stream, size_t chunk, bool notifications) {
        for (size_t off = 0; off < stream.size(); off += chunk) {
            const uint8_t *p = stream.data() + off;
            size_t n = std::min(chunk, stream.size() - off);
            while (n > 0) {
                const size_t piece = std::min<size_t>(n, kRingSize - ring.used.load());
                ReceiveCallback(0, p, static_cast<int32_t>(piece), TALVO_TYPE_DATA, 0);
                while (ExtractFrame(ctx) == 1)
                    DispatchFrame(ctx);
                p += piece;
                n -= piece;
            }
            if (notifications)
                DrainEvents();
        }
    }
};

std::vector<uint8_t> Frame(uint16_t classId, uint16_t commandId, uint16_t source, uint16_t kind, uint32_t sequence,
                           uint32_t extra, uint8_t fill) {
    std::vector<uint8_t> f(kMinFrame + extra, fill);
    f[kOffVersion] = 0x30;
    f[kOffReserved] = 0xFF;
    Put16(&f[kOffClass], classId);
    Put16(&f[kOffCommand], commandId);
    Put16(&f[kOffDestination], kAddrHost);
    Put16(&f[kOffSource], source);
    Put16(&f[kOffKind], kind);
    Put32(&f[kOffSequence], sequence);
    Put32(&f[kOffExtraLength], extra);
    return f;
}

std::vector<uint8_t> Repeat(const std::vector<uint8_t> &frame) {
    const std::vector<uint8_t> last = Frame(16, 0x0100, 2, kKindNotification, 0, 0, 0);
    std::vector<uint8_t> s;
    while (s.size() + frame.size() + last.size() <= kStreamTarget)
        s.insert(s.end(), frame.begin(), frame.end());
    s.insert(s.end(), last.begin(), last.end());
    return s;
}

enum class Stream { Ack64, Call64, Display741 };

// CPU time of the calling thread: the single-threaded figures are taken on
// it, so that other work on the machine does not count against them.
double ThreadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// memcpy of the same stream in the same chunks into a ring-sized buffer.
double MemcpyBytesPerSecond(const std::vector<uint8_t> &stream, size_t chunk) {
    std::vector<uint8_t> dst(kRingSize);
    const double budget = g_options.shortForm ? 0.01 : 0.1;
    uint64_t bytes = 0;
    const double start = ThreadSeconds();
    double now = start;
    do {
        // Reading the thread's clock is a system call: not after every pass.
        for (int pass = 0; pass < 64; ++pass) {
            size_t at = 0;
            for (size_t off = 0; off < stream.size(); off += chunk) {
                const size_t n = std::min(chunk, stream.size() - off);
                if (at + n > dst.size())
                    at = 0;
                std::memcpy(dst.data() + at, stream.data() + off, n);
                benchmark::ClobberMemory();
                at += n;
            }
            bytes += stream.size();
        }
        now = ThreadSeconds();
    } while (now - start < budget);
    return static_cast<double>(bytes) / (now - start);
}

void BM_Receive(benchmark::State &state, bool threaded, Stream kind, size_t chunk, const std::string &label) {
    BareReceiver bare(threaded);
    std::vector<uint8_t> stream;
    switch (kind) {
    case Stream::Ack64: {
        const uint32_t sequence = bare.ParkRequest();
        std::vector<uint8_t> ack = Frame(1, 9, kAddrApp, kKindAck, sequence, 0, 0);
        stream = Repeat(ack);
        break;
    }
    case Stream::Call64:
        stream = Repeat(Frame(16, 0x0210, 2, kKindNotification, 0, 0, 1));
        break;
    case Stream::Display741:
        stream = Repeat(Frame(16, 0x0106, 2, kKindNotification, 0, 677, 0x41));
        break;
    }
    const bool notifications = kind != Stream::Ack64;
    // One thread: its CPU time. Two threads: the time until the receiver
    // has taken the whole stream.
    auto now = [threaded] { return threaded ? std::chrono::duration<double>(Clock::now().time_since_epoch()).count()
                                            : ThreadSeconds(); };
    uint64_t bytes = 0;
    double spent = 0;
    for (auto _ : state) {
        const double t0 = now();
        bare.Feed(stream, chunk, notifications);
        spent += now() - t0;
        bytes += stream.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const double rate = static_cast<double>(bytes) / spent;
    const double base = MemcpyBytesPerSecond(stream, chunk);
    state.counters["MB_per_s"] = rate / 1e6;
    state.counters["memcpy_MB_per_s"] = base / 1e6;
    state.counters["ratio"] = rate / base;
    Report({label, rate / 1e6, "MB/s", "memcpy", base / 1e6});
}

} // namespace

void RegisterReceiveBenchmarks() {
    struct Case {
        const char *name;
        const char *what;
        Stream kind;
        size_t chunk;
    };
    static const Case cases[] = {
        {"ack64/chunk64", "64-byte acknowledgements in 64-byte chunks", Stream::Ack64, 64},
        {"ack64/chunk4096", "64-byte acknowledgements in 4096-byte chunks", Stream::Ack64, 4096},
        {"call64/chunk64", "64-byte call events in 64-byte chunks", Stream::Call64, 64},
        {"call64/chunk4096", "64-byte call events in 4096-byte chunks", Stream::Call64, 4096},
        {"display741/chunk64", "741-byte display images in 64-byte chunks", Stream::Display741, 64},
        {"display741/chunk4096", "741-byte display images in 4096-byte chunks", Stream::Display741, 4096},
    };
    for (bool threaded : {false, true}) {
        for (const Case &c : cases) {
            const std::string name = std::string("receive/") + (threaded ? "threads/" : "work/") + c.name;
            const std::string label =
                std::string(threaded ? "receive by the receiver thread, " : "receive work, ") + c.what;
            benchmark::RegisterBenchmark(name.c_str(),
                                         [=](benchmark::State &s) { BM_Receive(s, threaded, c.kind, c.chunk, label); })
                ->UseRealTime()
                ->Iterations(static_cast<benchmark::IterationCount>(threaded ? Count(1000, 20) : Count(10000, 200)))
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

} // namespace morel_bench
