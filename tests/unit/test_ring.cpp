// The receive ring and frame extraction.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>

#include "core/trace.h"
#include "tests/support/bare_context.h"

namespace morel_test {
namespace {

using namespace morel;

class Ring : public BareContextTest {
  protected:
    bool StartReceiver() override { return false; }
    void Store(const std::vector<uint8_t> &bytes) { ASSERT_TRUE(StoreChunk(ctx, bytes.data(), bytes.size())); }
    uint32_t Used() { return ctx->ring.used.load(); }
    std::vector<uint8_t> Current() { return std::vector<uint8_t>(ctx->rxFrame, ctx->rxFrame + ctx->rxLength); }
};

// Frames that match nothing: acks with distinct sequences, of a given length.
std::vector<uint8_t> Frame(uint32_t sequence, size_t length = 64) {
    std::vector<uint8_t> data(length > 21 ? length - 21 : 0);
    std::iota(data.begin(), data.end(), static_cast<uint8_t>(sequence));
    return DeviceFrame(kKindAck, sequence, 1, 9, 0, data);
}

TEST_F(Ring, SplitFrameWaitsForItsRestWithoutConsumingIt) {
    auto f = Frame(7, 200);
    Store({f.begin(), f.begin() + 30});
    EXPECT_EQ(ExtractFrame(ctx), 0); // fewer than 64 bytes
    Store({f.begin() + 30, f.begin() + 120});
    EXPECT_EQ(ExtractFrame(ctx), 0); // header read, body incomplete: rewound
    EXPECT_EQ(Used(), 120u);
    Store({f.begin() + 120, f.end()});
    ASSERT_EQ(ExtractFrame(ctx), 1);
    EXPECT_EQ(Current(), f);
}

TEST_F(Ring, EachBadHeaderDiscardsEverythingBuffered) {
    struct Case {
        const char *what;
        size_t offset;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"destination 2", kOffDestination, {2, 0}}, {"source 1", kOffSource, {1, 0}},
        {"kind 1", kOffKind, {1, 0}},               {"kind 4", kOffKind, {4, 0}},
        {"version above", kOffVersion, {0x31}},     {"extraLength 679", kOffExtraLength, {0xA7, 0x02, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto bad = Frame(1);
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + c.offset);
        auto good = Frame(2);
        std::vector<uint8_t> chunk = bad;
        chunk.insert(chunk.end(), good.begin(), good.end());
        Store(chunk);
        EXPECT_EQ(ExtractFrame(ctx), 0);
        EXPECT_EQ(Used(), 0u) << "the good frame behind the bad header is discarded too";
        EXPECT_EQ(ctx->peerVersion.load(), bad[kOffVersion]);
        Store(good);
        ASSERT_EQ(ExtractFrame(ctx), 1);
        EXPECT_EQ(Current(), good);
    }
}

TEST_F(Ring, LargestFrameIsAcceptedAndOneMoreByteIsNot) {
    auto largest = Frame(3, kMaxFrame);
    ASSERT_EQ(Get32(&largest[kOffExtraLength]), 678u);
    Store(largest);
    ASSERT_EQ(ExtractFrame(ctx), 1);
    EXPECT_EQ(Current(), largest);

    auto tooLong = Frame(4, kMaxFrame + 1);
    Store(tooLong);
    EXPECT_EQ(ExtractFrame(ctx), 0);
    EXPECT_EQ(Used(), 0u);
}

TEST_F(Ring, FramesWrappingPastTheEndComeOutWhole) {
    // 100-byte frames: the 41st crosses the end of the 4096-byte storage.
    for (uint32_t i = 0; i < 120; ++i) {
        auto f = Frame(i, 100);
        Store(f);
        ASSERT_EQ(ExtractFrame(ctx), 1) << i;
        ASSERT_EQ(Current(), f) << i;
    }
}

TEST_F(Ring, ShorterFrameNeverShowsBytesOfTheLongerOneBeforeIt) {
    auto longFrame = Frame(1, 300);
    std::fill(longFrame.begin() + 64, longFrame.end(), 0xAB);
    Store(longFrame);
    ASSERT_EQ(ExtractFrame(ctx), 1);
    Store(Frame(2, 64));
    ASSERT_EQ(ExtractFrame(ctx), 1);
    for (size_t i = 64; i < 300; ++i)
        ASSERT_EQ(ctx->rxFrame[i], 0) << i;
}

// Event records are reused: a shorter notification in a record that held a
// longer one shows zeros beyond its end, a short notification costs a small
// record, and no more records are kept than the bound however many come back.
TEST_F(Ring, ReusedEventRecordShowsNothingOfItsPreviousFrame) {
    auto take = [&](const std::vector<uint8_t> &frame) {
        Store(frame);
        EXPECT_EQ(ExtractFrame(ctx), 1);
        DispatchFrame(ctx);
        return NextEventRecord(ctx, nullptr);
    };
    EventRecord *first = take(NotificationFrame(0x0301, std::vector<uint8_t>(600, 0xAB)));
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(NextEventRecord(ctx, first), nullptr); // handed back
    EventRecord *second = take(NotificationFrame(0x0301, std::vector<uint8_t>(200, 0x05)));
    ASSERT_EQ(second, first) << "the kept record is taken again";
    EXPECT_EQ(second->length, 20u + 200u);
    for (size_t i = second->length; i < second->capacity; ++i)
        ASSERT_EQ(second->frame[i], 0) << i;

    EventRecord *small = take(NotificationFrame(0x0107, {5}));
    ASSERT_NE(small, nullptr);
    EXPECT_NE(small, second) << "a short notification takes a small record";
    EXPECT_EQ(small->capacity, kEventFrameMin);
    std::vector<EventRecord *> many{second, small};
    for (int i = 0; i < 199; ++i) {
        many.push_back(take(NotificationFrame(0x0107, {1})));
        ASSERT_NE(many.back(), nullptr);
    }
    for (EventRecord *rec : many)
        NextEventRecord(ctx, rec);
    EXPECT_LE(ctx->keptRecordCount[0], 64u);
    FlushEventQueue(ctx);
    EXPECT_EQ(ctx->keptRecordCount[0] + ctx->keptRecordCount[1], 0u);
    EXPECT_EQ(ctx->keptRecords[0], nullptr);
}

// With no event thread taking them, the queue holds the newest kEventQueueMax
// notifications; each one beyond drops the oldest, and the trace names each
// drop. The frames are dispatched as the receiver does once it has cut them,
// so the trace holds nothing else to crowd them out.
TEST_F(Ring, FullEventQueueDropsTheOldestAndTracesEachDrop) {
    const std::string path = ::testing::TempDir() + "queue-full.jsonl";
    std::remove(path.c_str());
    setenv("MORELAPI_TRACE", path.c_str(), 1);
    TraceStart();
    const std::vector<uint8_t> f = NotificationFrame(0x0107, {1});
    for (size_t i = 0; i < kEventQueueMax + 3; ++i) {
        std::copy(f.begin(), f.end(), ctx->rxFrame);
        ctx->rxLength = static_cast<uint16_t>(f.size());
        DispatchFrame(ctx);
    }
    TraceStop();
    unsetenv("MORELAPI_TRACE");
    EXPECT_EQ(ctx->eventQueueCount, kEventQueueMax);
    EXPECT_EQ(ctx->droppedNotifications, 3u);
    std::ifstream in(path);
    size_t drops = 0;
    for (std::string line; std::getline(in, line);)
        drops += line.find("\"ev\":\"queue-full\",\"id\":\"0x0107\"") != std::string::npos;
    EXPECT_EQ(drops, 3u);
}

TEST_F(Ring, FullRingMakesTheProducerWaitAndOverwritesNothing) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < kRingSize / 64 + 1; ++i) {
        frames.push_back(Frame(i));
        all.insert(all.end(), frames.back().begin(), frames.back().end());
    }
    Store({all.begin(), all.begin() + kRingSize});
    ASSERT_EQ(Used(), kRingSize);
    std::thread producer([&] { Store({all.begin() + kRingSize, all.end()}); });
    EXPECT_EQ(Used(), kRingSize);
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        ASSERT_EQ(ExtractFrame(ctx), 1) << i;
        ASSERT_EQ(Current(), frames[i]) << i;
    }
    producer.join(); // it could store once the first frame was released
    ASSERT_EQ(ExtractFrame(ctx), 1);
    EXPECT_EQ(Current(), frames.back());
    EXPECT_EQ(Used(), 0u);
}

TEST_F(Ring, CallbackTakesAtMost4096BytesAndLinkReportsCarryNone) {
    std::vector<uint8_t> big(kRingSize + 1, 0);
    ScriptedTransport::Inject(big);
    EXPECT_EQ(Used(), 0u);
    auto f = Frame(1);
    ScriptedTransport::Inject(f, TALVO_TYPE_LINK_CHANGED);
    ScriptedTransport::Inject(f, TALVO_TYPE_LINK_LOST);
    EXPECT_EQ(Used(), 0u);
    EXPECT_EQ(EventWait(ctx->linkEvent, 0), WaitResult::Signalled);
    std::vector<uint8_t> exact(kRingSize, 0);
    ScriptedTransport::Inject(exact);
    EXPECT_EQ(Used(), kRingSize);
}

// With the receiver running: a chunk larger than the free room, while the
// receiver waits behind an incomplete frame, is still taken whole.
using ReceiveCallbackChunks = BareContextTest;

TEST_F(ReceiveCallbackChunks, LargerThanTheFreeRoomDoesNotDeadlock) {
    std::vector<uint8_t> stream;
    for (uint32_t i = 0; i < 200; ++i) {
        auto f = DeviceFrame(kKindAck, 1000 + i, 1, 9, 0, std::vector<uint8_t>(60, static_cast<uint8_t>(i)));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    ScriptedTransport::Inject({stream.begin(), stream.begin() + 70});
    for (size_t at = 70; at < stream.size(); at += kRingSize) {
        size_t end = std::min(stream.size(), at + kRingSize);
        ScriptedTransport::Inject({stream.begin() + at, stream.begin() + end});
    }
    for (int i = 0; i < 100 && ctx->ring.used.load() != 0; ++i)
        EventWait(ctx->roomEvent, 50);
    EXPECT_EQ(ctx->ring.used.load(), 0u);
}

} // namespace
} // namespace morel_test
