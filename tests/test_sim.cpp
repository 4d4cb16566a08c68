// The simulated device, driven through its interface and raw frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 5s;

uint16_t U16(const std::vector<uint8_t> &b, size_t o) { return static_cast<uint16_t>(b[o] | (b[o + 1] << 8)); }
uint32_t U32(const std::vector<uint8_t> &b, size_t o) {
    return static_cast<uint32_t>(U16(b, o)) | (static_cast<uint32_t>(U16(b, o + 2)) << 16);
}
void Put16(std::vector<uint8_t> &b, size_t o, uint16_t v) {
    b[o] = static_cast<uint8_t>(v);
    b[o + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
    Put16(b, o, static_cast<uint16_t>(v));
    Put16(b, o + 2, static_cast<uint16_t>(v >> 16));
}

struct Frame {
    std::vector<uint8_t> b;
    uint8_t version() const { return b[0]; }
    uint16_t cls() const { return U16(b, 2); }
    uint16_t cmd() const { return U16(b, 4); }
    uint16_t dst() const { return U16(b, 6); }
    uint16_t src() const { return U16(b, 8); }
    uint16_t kind() const { return U16(b, 10); }
    uint32_t seq() const { return U32(b, 12); }
    uint32_t extra() const { return U32(b, 16); }
    uint8_t status() const { return b[20]; }
    bool IsNote(uint16_t event) const { return kind() == 0 && cls() == 16 && cmd() == event; }
};

// A host request frame, built here independently of the device's code.
std::vector<uint8_t> Request(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint32_t seq = 1,
                             uint16_t dst = 3, uint8_t version = 0x30, uint16_t kind = 1) {
    std::vector<uint8_t> f(std::max<size_t>(64, 20 + body.size()), 0);
    f[0] = version;
    f[1] = 0xFF;
    Put16(f, 2, cls);
    Put16(f, 4, cmd);
    Put16(f, 6, dst);
    Put16(f, 8, 1);
    Put16(f, 10, kind);
    Put32(f, 12, seq);
    Put32(f, 16, static_cast<uint32_t>(f.size() - 64));
    std::copy(body.begin(), body.end(), f.begin() + 20);
    return f;
}

// The host's side of the link: every chunk as delivered, and the frames cut
// from the data chunks.
struct Host {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<int32_t> types;
    std::vector<uint8_t> pending;
    std::vector<Frame> frames;

    void OnBytes(const uint8_t *data, int32_t count, int32_t type) {
        std::lock_guard<std::mutex> lk(mu);
        types.push_back(type);
        chunks.emplace_back(data, data + (type == 0 ? count : 0));
        if (type == 0) {
            pending.insert(pending.end(), data, data + count);
            while (pending.size() >= 64) {
                size_t len = 64 + U32(pending, 16);
                if (len > sim::kMaxFrameBytes) { // not a frame start: keep it for the chunk checks only
                    pending.clear();
                    break;
                }
                if (pending.size() < len)
                    break;
                frames.push_back({std::vector<uint8_t>(pending.begin(), pending.begin() + len)});
                pending.erase(pending.begin(), pending.begin() + len);
            }
        }
        cv.notify_all();
    }
    bool WaitFrames(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, kWait, [&] { return frames.size() >= n; });
    }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> lk(mu);
        return frames;
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        chunks.clear();
        types.clear();
        pending.clear();
        frames.clear();
    }
};

class SimTest : public ::testing::Test {
protected:
    void Start(const sim::DeviceConfig &cfg = {}) {
        dev = sim::CreateDevice(cfg);
        ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        host.Reset();
    }
    void TearDown() override {
        if (dev)
            sim::DestroyDevice(dev);
    }
    bool Write(const std::vector<uint8_t> &bytes) { return sim::HostWrite(dev, bytes.data(), bytes.size()); }
    // Sends one request and returns everything it produced.
    std::vector<Frame> Ask(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}, uint16_t dst = 3,
                           uint8_t version = 0x30) {
        EXPECT_TRUE(sim::WaitIdle(dev, kWait)); // nothing earlier may land in this answer
        host.Reset();
        EXPECT_TRUE(Write(Request(cls, cmd, body, ++seq, dst, version)));
        EXPECT_TRUE(sim::WaitIdle(dev, kWait));
        return host.Frames();
    }
    // The response of a request that must succeed.
    Frame Response(uint16_t cls, uint16_t cmd, const std::vector<uint8_t> &body = {}) {
        auto f = Ask(cls, cmd, body);
        EXPECT_GE(f.size(), 2u);
        if (f.size() < 2)
            return {std::vector<uint8_t>(64, 0xFF)};
        EXPECT_EQ(f[0].kind(), 2);
        EXPECT_EQ(f[0].status(), 0);
        EXPECT_EQ(f[1].kind(), 3);
        EXPECT_EQ(f[1].status(), 0);
        return f[1];
    }
    std::vector<Frame> Notes(const std::vector<Frame> &f) {
        std::vector<Frame> out;
        for (const Frame &x : f)
            if (x.kind() == 0)
                out.push_back(x);
        return out;
    }
    void AddRule(const sim::FaultRule &r) { sim::AddFaultRule(dev, r); }

    sim::Device *dev = nullptr;
    Host host;
    uint32_t seq = 100;
};

// ---- answers -------------------------------------------------------------

TEST_F(SimTest, AnswerCarriesSequenceAddressesAndDeviceVersion) {
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x21;
    Start(cfg);
    for (uint16_t dst : {2, 3}) {
        for (uint8_t version : {0x21, 0x10}) {
            auto f = Ask(5, 1, {}, dst, version);
            ASSERT_EQ(f.size(), 2u);
            for (size_t i = 0; i < 2; ++i) {
                EXPECT_EQ(f[i].kind(), i == 0 ? 2 : 3);
                EXPECT_EQ(f[i].seq(), seq);
                EXPECT_EQ(f[i].dst(), 1);
                EXPECT_EQ(f[i].src(), dst);
                EXPECT_EQ(f[i].version(), 0x21) << "answers carry the device's own version";
                EXPECT_EQ(f[i].cls(), 5);
                EXPECT_EQ(f[i].cmd(), 1);
                EXPECT_EQ(f[i].status(), 0);
                EXPECT_EQ(f[i].b.size(), 64 + f[i].extra());
            }
        }
    }
}

// Every read of the command set answers with the length its layout needs.
TEST_F(SimTest, ReadAnswersHaveTheirLayoutLengths) {
    sim::DeviceConfig cfg;
    cfg.tableCount = 3;
    Start(cfg);
    struct Row {
        uint16_t cls, cmd;
        std::vector<uint8_t> body;
        size_t length;
    } rows[] = {
        {1, 3, {}, 64},     {1, 4, {1}, 64},  {1, 5, {}, 64},      {1, 7, {}, 742},  {1, 8, {2}, 64},
        {1, 9, {}, 64},     {1, 10, {}, 64},  {1, 11, {}, 64},     {1, 12, {}, 154}, {1, 13, {}, 64},
        {2, 10, {}, 64},    {2, 11, {}, 64},  {2, 16, {}, 64},     {2, 18, {}, 64},  {2, 20, {1}, 157},
        {3, 2, {82, 0}, 149}, {3, 2, {93, 0}, 64}, {3, 2, {1, 0}, 64}, {3, 3, {}, 64}, {3, 5, {}, 68},
        {3, 6, {}, 64},     {4, 1, {}, 64},   {4, 2, {1}, 185},    {5, 1, {}, 64},   {5, 2, {1}, 64},
        {6, 8, {}, 64},     {6, 10, {}, 64},  {6, 12, {}, 64},     {7, 2, {1, 0}, 109}, {7, 4, {}, 64},
    };
    for (const Row &r : rows) {
        Frame resp = Response(r.cls, r.cmd, r.body);
        EXPECT_EQ(resp.b.size(), r.length) << r.cls << "/" << r.cmd;
    }
}

TEST_F(SimTest, UnknownCommandsAndBadParametersAreRefused) {
    Start();
    struct Row {
        uint16_t cls, cmd;
        std::vector<uint8_t> body;
    } rows[] = {{2, 12, {}},   {8, 1, {}},       {6, 7, {}},     {1, 4, {0}},    {1, 4, {8}},   {1, 8, {3}},
                {2, 17, {4}},  {2, 19, {0}},     {2, 19, {9}},   {2, 8, {1}},    {2, 7, {2}},   {6, 11, {9}},
                {3, 1, {11, 0, 1}}, {7, 1, {2, 0}}, {7, 2, {2, 0}}, {4, 4, {101}}, {5, 3, {0}}};
    sim::DeviceState before = sim::Snapshot(dev);
    for (const Row &r : rows) {
        auto f = Ask(r.cls, r.cmd, r.body);
        ASSERT_EQ(f.size(), 1u) << r.cls << "/" << r.cmd << ": a refusal has no response";
        EXPECT_EQ(f[0].kind(), 2);
        EXPECT_NE(f[0].status(), 0) << r.cls << "/" << r.cmd;
    }
    sim::DeviceState after = sim::Snapshot(dev);
    EXPECT_EQ(after.ringerVolume, before.ringerVolume);
    EXPECT_EQ(after.receiveVolume, before.receiveVolume);
    EXPECT_EQ(after.contactCount, before.contactCount);
}

TEST_F(SimTest, StatusAndIdentityAnswersPlaceTheirFields) {
    Start();
    sim::Update(dev, [](sim::DeviceState &s) {
        s.status = 7;
        s.errorCode = 0x1234;
        s.status2 = 9;
        s.versions[2] = 0xBEEF;
        s.networkItems[5] = 0x11223344;
        s.destinationCode = 4;
        s.destinationValue = 0x5566;
        s.productDefault = 1;
    });
    Frame r = Response(1, 13);
    EXPECT_EQ(r.b[21], 7);
    EXPECT_EQ(U16(r.b, 22), 0x1234);
    EXPECT_EQ(r.b[24], 9);
    r = Response(1, 9);
    EXPECT_EQ(r.b[21], 7);
    EXPECT_EQ(U16(r.b, 22), 0x1234);
    EXPECT_EQ(U16(Response(1, 8, {2}).b, 21), 0xBEEF);
    r = Response(1, 4, {5});
    EXPECT_EQ(r.b[21], 5);
    EXPECT_EQ(U32(r.b, 22), 0x11223344u);
    r = Response(1, 4, {1});
    EXPECT_EQ(r.b[21], 1);
    EXPECT_TRUE(std::equal(r.b.begin() + 22, r.b.begin() + 28, sim::Snapshot(dev).networkItem1.begin()));
    r = Response(1, 10);
    EXPECT_EQ(r.b[21], 4);
    EXPECT_EQ(U16(r.b, 22), 0x5566);
    EXPECT_EQ(Response(1, 3).b[21], 1);
    EXPECT_EQ(Response(1, 11).b[21], 0x30);

    // The table of 44-byte entries may hold more than ten.
    sim::Update(dev, [](sim::DeviceState &s) { s.tableCount = 12; });
    r = Response(1, 12);
    ASSERT_EQ(r.b.size(), 22u + 12 * 44);
    EXPECT_EQ(r.b[21], 12);
    auto last = sim::Snapshot(dev).table[11];
    EXPECT_TRUE(std::equal(last.begin(), last.end(), r.b.begin() + 22 + 11 * 44));
}

TEST_F(SimTest, DataServiceAnswersPlaceTheirFields) {
    Start();
    sim::DeviceState s = sim::Snapshot(dev);
    Frame r = Response(3, 5);
    EXPECT_TRUE(std::equal(s.camera.begin(), s.camera.end(), r.b.begin() + 21));
    EXPECT_EQ(Response(3, 6).b[21], s.operatingMode);

    r = Response(5, 2, {2});
    const sim::RecordInfo &ri = s.records[1];
    EXPECT_EQ(U32(r.b, 21), ri.a1);
    EXPECT_EQ(U16(r.b, 25), ri.a2);
    EXPECT_EQ(r.b[27], ri.a3);
    EXPECT_EQ(U32(r.b, 28), ri.value);
    EXPECT_EQ(U32(r.b, 32), ri.b1);
    EXPECT_EQ(U32(r.b, 36), ri.b2);
    EXPECT_EQ(U16(r.b, 40), ri.b3);
    EXPECT_EQ(r.b[42], ri.b4);

    r = Response(4, 2, {3});
    const sim::Contact &c = s.contacts[2];
    EXPECT_TRUE(std::equal(c.data1.begin(), c.data1.end(), r.b.begin() + 21));
    EXPECT_EQ(r.b[55], c.byte);
    EXPECT_TRUE(std::equal(c.data2.begin(), c.data2.end(), r.b.begin() + 56));

    r = Response(7, 2, {1, 0});
    EXPECT_TRUE(std::equal(s.rtcpReceive.begin(), s.rtcpReceive.end(), r.b.begin() + 21));

    // SetRtcpVer answers the version the device runs, not the one asked for.
    std::vector<uint8_t> ver(7, 0);
    ver[0] = 9; // above what the device supports
    ver[6] = 0x5A;
    r = Response(7, 3, ver);
    EXPECT_EQ(U16(r.b, 21), s.rtcpVersion);
    ver[0] = 3;
    EXPECT_EQ(U16(Response(7, 3, ver).b, 21), 3);
    r = Response(7, 4);
    EXPECT_EQ(U16(r.b, 21), 3);
    EXPECT_EQ(r.b[23], 0x5A);
}

// ---- bytes from the host -------------------------------------------------

// Frames come in chunks of any size, with garbage anywhere between them: the
// garbage is skipped and every frame behind it is answered.
TEST_F(SimTest, FramesAreCutFromAnyChunkingAndGarbage) {
    Start();
    for (uint32_t seed : {0u, 1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> stream;
        std::vector<uint32_t> sent;
        for (uint32_t i = 0; i < 8; ++i) {
            size_t junk = seed == 0 ? 0 : rng() % 100;
            for (size_t k = 0; k < junk; ++k)
                stream.push_back(static_cast<uint8_t>(rng()));
            // Short and long frames (a 184-byte contact set) alike.
            auto f = i % 2 ? Request(1, 9, {}, seed * 100 + i)
                           : Request(4, 3, std::vector<uint8_t>(164, 200), seed * 100 + i);
            stream.insert(stream.end(), f.begin(), f.end());
            sent.push_back(seed * 100 + i);
        }
        host.Reset();
        sim::ClearLog(dev);
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min<size_t>(seed == 0 ? 1 : 1 + rng() % 300, stream.size() - at);
            ASSERT_TRUE(sim::HostWrite(dev, stream.data() + at, n));
            at += n;
        }
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        std::vector<uint32_t> answered;
        for (const Frame &f : host.Frames())
            if (f.kind() == 3)
                answered.push_back(f.seq());
        EXPECT_EQ(answered, sent) << "seed " << seed;
        EXPECT_EQ(sim::GetCounters(dev).discardedBytes > 0, seed != 0);
    }
}

TEST_F(SimTest, OversizedOrForeignHeadersAreNotFrameStarts) {
    Start();
    auto big = Request(1, 9, {}, 7);
    Put32(big, 16, 679); // longer than any frame
    auto fromDevice = Request(1, 9, {}, 8);
    Put16(fromDevice, 8, 2); // source 2: not a host frame
    auto good = Request(1, 9, {}, 9);
    std::vector<uint8_t> stream = big;
    stream.insert(stream.end(), fromDevice.begin(), fromDevice.end());
    stream.insert(stream.end(), good.begin(), good.end());
    ASSERT_TRUE(Write(stream));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto log = sim::GetLog(dev);
    ASSERT_EQ(log.frames.size(), 1u);
    EXPECT_EQ(log.frames[0].sequence, 9u);
}

TEST_F(SimTest, KeepAliveIsCountedAndNotAnswered) {
    Start();
    ASSERT_TRUE(Write(Request(0, 1, {}, 1, 2, 0x30, 0)));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_TRUE(host.Frames().empty());
    EXPECT_EQ(sim::GetCounters(dev).keepAlives, 1u);
}

TEST_F(SimTest, WriteWithoutLinkFails) {
    dev = sim::CreateDevice();
    auto f = Request(1, 9);
    EXPECT_FALSE(sim::HostWrite(dev, f.data(), f.size()));
    EXPECT_EQ(sim::GetCounters(dev).failedWrites, 1u);
    EXPECT_EQ(sim::GetCounters(dev).hostFrames, 0u);
}

// ---- protocol version ----------------------------------------------------

TEST_F(SimTest, OlderDeviceReportsItsVersionInsteadOfAnswering) {
    sim::DeviceConfig cfg;
    cfg.protocolVersion = 0x12;
    dev = sim::CreateDevice(cfg);
    ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
    ASSERT_TRUE(host.WaitFrames(1));
    Frame hello = host.Frames()[0];
    EXPECT_TRUE(hello.IsNote(sim::kEventVersionNotice)) << "connecting announces the version";
    EXPECT_EQ(hello.version(), 0x12);
    EXPECT_EQ(hello.b[20], 0x12);

    for (uint8_t v : {0x30, 0x21, 0x20}) {
        auto f = Ask(1, 9, {}, 2, v);
        ASSERT_EQ(f.size(), 1u) << "no acknowledgement and no response for version " << int(v);
        EXPECT_TRUE(f[0].IsNote(sim::kEventVersionNotice));
        EXPECT_EQ(f[0].version(), 0x12);
        EXPECT_EQ(f[0].dst(), 1);
        EXPECT_EQ(f[0].src(), 2);
    }
    for (uint8_t v : {0x12, 0x10}) {
        auto f = Ask(1, 9, {}, 2, v);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[1].version(), 0x12);
    }
}

// ---- faults --------------------------------------------------------------

TEST_F(SimTest, RefuseAndFailLeaveTheStateAlone) {
    Start();
    sim::FaultRule refuse;
    refuse.actions = sim::kRefuse;
    refuse.refuseStatus = 7;
    AddRule(refuse);
    auto f = Ask(2, 17, {3});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind(), 2);
    EXPECT_EQ(f[0].status(), 7);

    sim::FaultRule fail;
    fail.actions = sim::kFail;
    fail.failStatus = 5;
    AddRule(fail);
    f = Ask(2, 17, {3});
    ASSERT_EQ(f.size(), 2u) << "no volume notification for a failed set";
    EXPECT_EQ(f[0].status(), 0);
    EXPECT_EQ(f[1].kind(), 3);
    EXPECT_EQ(f[1].status(), 5);
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 2);

    f = Ask(2, 17, {3}); // the rules were for one request each
    ASSERT_EQ(f.size(), 3u);
    EXPECT_TRUE(f[2].IsNote(0x0107));
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 3);
}

TEST_F(SimTest, DroppedFramesAndForgedHeaders) {
    Start();
    struct Row {
        uint32_t actions;
        std::vector<uint16_t> kinds; // answer kinds in order
    } rows[] = {
        {sim::kDropAck, {3}},
        {sim::kDropResponse, {2}},
        {sim::kNoAnswer, {}},
        {sim::kDuplicate, {2, 3, 2, 3}},
    };
    for (const Row &r : rows) {
        sim::FaultRule rule;
        rule.actions = r.actions;
        AddRule(rule);
        std::vector<uint16_t> kinds;
        for (const Frame &f : Ask(5, 1))
            kinds.push_back(f.kind());
        EXPECT_EQ(kinds, r.kinds) << "actions " << r.actions;
    }

    // A lost response does not undo what the device did.
    sim::FaultRule lost;
    lost.actions = sim::kDropResponse;
    AddRule(lost);
    auto f = Ask(2, 19, {7});
    ASSERT_EQ(f.size(), 2u);
    EXPECT_TRUE(f[1].IsNote(0x0108));
    EXPECT_EQ(sim::Snapshot(dev).receiveVolume, 7);

    sim::FaultRule wrong;
    wrong.actions = sim::kWrongSequence | sim::kWrongVersion;
    wrong.sequenceOffset = 5;
    AddRule(wrong);
    f = Ask(5, 1, {}, 3, 0x21);
    ASSERT_EQ(f.size(), 2u);
    for (const Frame &x : f) {
        EXPECT_EQ(x.seq(), seq + 5);
        EXPECT_EQ(x.version(), 0x22) << "one above the request's version";
    }
}

TEST_F(SimTest, DelayedAnswerComesAfterLaterOnes) {
    Start();
    sim::FaultRule rule;
    rule.classId = 5;
    rule.actions = sim::kDelay;
    rule.delayMs = 300;
    AddRule(rule);
    ASSERT_TRUE(Write(Request(5, 1, {}, 1)));
    ASSERT_TRUE(Write(Request(1, 9, {}, 2)));
    ASSERT_TRUE(host.WaitFrames(2));
    auto early = host.Frames();
    EXPECT_EQ(early[0].seq(), 2u);
    EXPECT_EQ(early[1].seq(), 2u);
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto all = host.Frames();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].seq(), 1u);
    EXPECT_EQ(all[3].seq(), 1u);
}

TEST_F(SimTest, ChunkShapingFaults) {
    Start();
    const auto pick = [&](uint32_t actions, size_t chunkSize = 1) {
        sim::FaultRule rule;
        rule.actions = actions;
        rule.chunkSize = chunkSize;
        rule.garbageBytes = 10;
        AddRule(rule);
        host.Reset();
        EXPECT_TRUE(Write(Request(1, 9, {}, ++seq)));
        EXPECT_TRUE(sim::WaitIdle(dev, kWait));
        std::lock_guard<std::mutex> lk(host.mu);
        return host.chunks;
    };
    auto chunks = pick(0);
    ASSERT_EQ(chunks.size(), 2u) << "each frame its own chunk by default";

    chunks = pick(sim::kMerge);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].size(), 128u);

    chunks = pick(sim::kSplit, 5);
    size_t total = 0;
    for (const auto &c : chunks) {
        EXPECT_LE(c.size(), 5u);
        total += c.size();
    }
    EXPECT_EQ(total, 128u);
    EXPECT_EQ(host.Frames().size(), 2u) << "split frames still join up";

    chunks = pick(sim::kGarbageBefore | sim::kGarbageAfter);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0], std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(chunks[3], std::vector<uint8_t>(10, 0xEE));
    EXPECT_EQ(chunks[1].size(), 64u);
}

TEST_F(SimTest, LinkReportInsteadOfAnswer) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kReportLink;
    rule.linkType = 6;
    AddRule(rule);
    Ask(2, 17, {0});
    std::lock_guard<std::mutex> lk(host.mu);
    EXPECT_EQ(host.types, std::vector<int32_t>{6});
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(sim::Snapshot(dev).ringerVolume, 2) << "a request not answered is not carried out";
}

TEST_F(SimTest, FailedWriteAndFailedOpens) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kFailWrite;
    AddRule(rule);
    auto f = Request(1, 9, {}, 1);
    EXPECT_FALSE(Write(f));
    EXPECT_EQ(sim::GetCounters(dev).hostFrames, 0u) << "the refused frame was not taken";
    EXPECT_TRUE(Write(f));
    EXPECT_TRUE(sim::WaitForFrames(dev, 1, kWait));

    sim::FaultPlan plan;
    plan.failOpens = 2;
    sim::SetFaultPlan(dev, plan);
    auto sink = [](const uint8_t *, int32_t, int32_t) {};
    EXPECT_FALSE(sim::ConnectSink(dev, sink));
    EXPECT_FALSE(sim::ConnectSink(dev, sink));
    EXPECT_TRUE(sim::ConnectSink(dev, sink));
}

TEST_F(SimTest, NotReadyStatusAnswer) {
    Start();
    sim::FaultRule rule;
    rule.actions = sim::kNotReady;
    rule.notReadyStatus = 13;
    AddRule(rule);
    EXPECT_EQ(Response(1, 9).b[21], 13);
    EXPECT_EQ(Response(1, 9).b[21], 2) << "one request only; the device's status is unchanged";
}

TEST_F(SimTest, RulesMatchByCommandDestinationAndWindow) {
    Start();
    sim::FaultRule rule;
    rule.classId = 2;
    rule.commandId = 17;
    rule.destination = 3;
    rule.skip = 1;
    rule.count = 2;
    rule.actions = sim::kRefuse;
    AddRule(rule);
    const auto status = [&](uint16_t cls, uint16_t cmd, uint16_t dst) {
        auto f = Ask(cls, cmd, {1}, dst);
        return f.empty() ? -1 : f[0].status();
    };
    EXPECT_EQ(status(2, 19, 3), 0); // another command
    EXPECT_EQ(status(2, 17, 2), 0); // another destination
    EXPECT_EQ(status(2, 17, 3), 0); // skipped
    EXPECT_NE(status(2, 17, 3), 0);
    EXPECT_NE(status(2, 17, 3), 0);
    EXPECT_EQ(status(2, 17, 3), 0); // window over

    sim::FaultRule always;
    always.count = 0;
    always.actions = sim::kRefuse;
    sim::FaultPlan plan;
    plan.rules = {always};
    sim::SetFaultPlan(dev, plan);
    ASSERT_TRUE(Write(Request(0, 1, {}, 1, 2, 0x30, 0))); // keep-alives do not use up rules
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(status(1, 9, 2), 0);
    sim::ClearFaults(dev);
    EXPECT_EQ(status(1, 9, 2), 0);
}

// ---- calls -----------------------------------------------------------------

std::vector<uint8_t> Dial(const char *number, uint8_t p1 = 0, uint8_t p2 = 0) {
    std::vector<uint8_t> body(131, 0);
    body[0] = p1;
    body[1] = p2;
    std::memcpy(body.data() + 2, number, std::strlen(number));
    return body;
}

std::vector<uint16_t> Events(const std::vector<Frame> &f) {
    std::vector<uint16_t> out;
    for (const Frame &x : f)
        if (x.kind() == 0)
            out.push_back(x.cmd());
    return out;
}

TEST_F(SimTest, OutgoingCallProgressesThroughCallEvents) {
    Start();
    auto f = Ask(2, 1, Dial("5551234", 0x21, 0x42));
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f[1].kind(), 3);
    EXPECT_EQ(Events(f), (std::vector<uint16_t>{0x0201, 0x0206, 0x0203}));
    auto notes = Notes(f);
    const Frame &details = notes[0];
    ASSERT_GE(details.b.size(), 155u);
    uint8_t id = details.b[20];
    EXPECT_GE(id, 1);
    EXPECT_LE(id, 6);
    EXPECT_EQ(details.b[21], 0x42);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&details.b[22])), "5551234");
    EXPECT_EQ(U32(details.b, 151), 0x21u);
    EXPECT_EQ(notes[1].b.size(), 64u);
    EXPECT_EQ(notes[1].b[20], id);

    Frame info = Response(2, 20, {id});
    EXPECT_EQ(info.b[21], id);
    EXPECT_EQ(info.b[22], 2);
    EXPECT_EQ(info.b[23], 0x42);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&info.b[24])), "5551234");
    EXPECT_EQ(U32(info.b, 153), 0x21u);
    EXPECT_EQ(Response(2, 20, {6}).b[22], 0) << "no such call: state 0";

    f = Ask(2, 2, {id});
    EXPECT_EQ(Events(f), std::vector<uint16_t>{0x020F});
    EXPECT_FALSE(sim::Snapshot(dev).calls[0].live);
}

TEST_F(SimTest, IncomingCallsAnswerHoldJoinAndRefuseAThird) {
    Start();
    uint8_t first = sim::Ring(dev, "111");
    ASSERT_NE(first, 0);
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto notes = host.Frames();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].IsNote(0x0202));
    EXPECT_EQ(notes[0].b[20], first);

    EXPECT_EQ(Events(Ask(2, 3)), std::vector<uint16_t>{0x0203});
    uint8_t second = sim::Ring(dev, "222");
    ASSERT_NE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(sim::Ring(dev, "333"), 0) << "two live calls at most";
    auto f = Ask(2, 1, Dial("444"));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].status(), 0) << "a third call is refused";

    // Answering the second holds the first.
    f = Ask(2, 3);
    ASSERT_EQ(Notes(f).size(), 2u);
    EXPECT_EQ(Notes(f)[0].cmd(), 0x0207);
    EXPECT_EQ(Notes(f)[0].b[20], first);
    EXPECT_EQ(Notes(f)[1].cmd(), 0x0203);
    EXPECT_EQ(Notes(f)[1].b[20], second);

    f = Ask(2, 21, {0}); // swap
    EXPECT_EQ(Events(f), (std::vector<uint16_t>{0x0207, 0x0208}));
    EXPECT_EQ(Events(Ask(2, 4)), (std::vector<uint16_t>{0x0209, 0x0209}));
    EXPECT_EQ(Events(Ask(2, 5)), (std::vector<uint16_t>{0x020A, 0x020A}));

    host.Reset();
    ASSERT_TRUE(sim::FarEndHangUp(dev, second));
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_EQ(Events(host.Frames()), std::vector<uint16_t>{0x0211});
    f = Ask(2, 4);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[1].status(), 0) << "nothing to join with one call";
}

TEST_F(SimTest, RejectAndAnswerNeedARingingCall) {
    Start();
    for (uint16_t cmd : {3, 6}) {
        auto f = Ask(2, cmd);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[0].status(), 0);
        EXPECT_NE(f[1].status(), 0);
    }
    uint8_t id = sim::Ring(dev, "9");
    EXPECT_EQ(Events(Ask(2, 6)), std::vector<uint16_t>{0x0210});
    EXPECT_EQ(Response(2, 20, {id}).b[22], 0);
}

TEST_F(SimTest, AnyCallStateGoesOutWithItsEventLayout) {
    Start();
    struct Row {
        uint8_t state;
        uint16_t event;
        bool full;
        bool live;
    } rows[] = {{10, 0x0204, true, true},   {16, 0x0206, false, true}, {18, 0x020B, false, true},
                {17, 0x020E, false, true},  {21, 0x0218, false, true}, {32, 0x021E, false, true},
                {22, 0x0213, false, true},  {26, 0x0217, false, false}, {0, 0x0205, false, false}};
    for (const Row &r : rows) {
        uint8_t id = sim::Ring(dev, "55");
        ASSERT_NE(id, 0);
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        host.Reset();
        ASSERT_TRUE(sim::SetCallState(dev, id, r.state));
        ASSERT_TRUE(sim::WaitIdle(dev, kWait));
        auto f = host.Frames();
        ASSERT_EQ(f.size(), 1u);
        EXPECT_TRUE(f[0].IsNote(r.event)) << int(r.state);
        EXPECT_EQ(f[0].b[20], id);
        EXPECT_EQ(f[0].b.size(), r.full ? 155u : 64u) << int(r.state);
        bool live = false;
        for (const sim::Call &c : sim::Snapshot(dev).calls)
            live = live || (c.live && c.id == id);
        EXPECT_EQ(live, r.live) << int(r.state);
        if (live)
            sim::SetCallState(dev, id, 4);
    }
    EXPECT_FALSE(sim::SetCallState(dev, 1, 1)) << "no event reports state 1";
}

// ---- setters and their notifications ---------------------------------------

TEST_F(SimTest, VolumeSettersReportTheNewValue) {
    Start();
    struct Row {
        uint16_t cls, cmd;
        uint8_t value;
        uint16_t event;
        uint8_t sim::DeviceState::*field;
    } rows[] = {{2, 17, 0, 0x0107, &sim::DeviceState::ringerVolume},
                {2, 19, 8, 0x0108, &sim::DeviceState::receiveVolume},
                {6, 11, 1, 0x0109, &sim::DeviceState::playbackVolume}};
    for (const Row &r : rows) {
        auto f = Ask(r.cls, r.cmd, {r.value});
        ASSERT_EQ(f.size(), 3u);
        EXPECT_TRUE(f[2].IsNote(r.event));
        EXPECT_EQ(f[2].b[20], r.value);
        EXPECT_EQ(f[2].version(), 0x30);
        EXPECT_EQ(sim::Snapshot(dev).*r.field, r.value);
    }
    EXPECT_EQ(Response(2, 16).b[21], 0);
    EXPECT_EQ(Response(2, 18).b[21], 8);
    EXPECT_EQ(Response(6, 10).b[21], 1);
}

TEST_F(SimTest, SystemDataSetReportsAndReadsBack) {
    Start();
    std::vector<uint8_t> body{82, 0};
    for (int i = 0; i < 128; ++i)
        body.push_back(static_cast<uint8_t>('a' + i % 26));
    auto f = Ask(3, 1, body);
    ASSERT_EQ(f.size(), 3u);
    const Frame &note = f[2];
    EXPECT_TRUE(note.IsNote(0x0301));
    EXPECT_EQ(U16(note.b, 20), 82);
    EXPECT_TRUE(std::equal(body.begin() + 2, body.end(), note.b.begin() + 22));

    Frame r = Response(3, 2, {82, 0});
    EXPECT_TRUE(std::equal(body.begin() + 2, body.end(), r.b.begin() + 21));
    r = Response(3, 3);
    EXPECT_EQ(U16(r.b, 21), 82);
    EXPECT_EQ(r.b[23], 'a');

    // A frame too short for the item's width is refused, not read beyond its end.
    f = Ask(3, 1, {84, 0, 'z'});
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].status(), 0);
    EXPECT_EQ(Response(3, 2, {84, 0}).b[21], 'I') << "the stored text is unchanged";
}

TEST_F(SimTest, StartupItemsOutsideTheStoreAnswerNothing) {
    Start();
    for (uint16_t id : {11, 12, 13, 14, 15, 20, 21, 22, 23, 54, 72, 73, 74, 99, 0, 130}) {
        Frame r = Response(3, 2, {static_cast<uint8_t>(id), 0});
        EXPECT_EQ(r.b.size(), 64u);
        EXPECT_TRUE(std::all_of(r.b.begin() + 21, r.b.end(), [](uint8_t b) { return b == 0; })) << id;
    }
    auto f = Ask(3, 1, {131, 0});
    ASSERT_EQ(f.size(), 2u) << "an action item is carried out without a report";
}

TEST_F(SimTest, KeyFrameReportsTheKeyAndTheDisplayByMode) {
    for (sim::DisplayMode mode : {sim::DisplayMode::Always, sim::DisplayMode::Never, sim::DisplayMode::Alternate}) {
        sim::DeviceConfig cfg;
        cfg.displayMode = mode;
        Start(cfg);
        std::vector<uint32_t> extras;
        for (int i = 0; i < 3; ++i) {
            auto notes = Notes(Ask(1, 6, {0, static_cast<uint8_t>('5' + i)}));
            ASSERT_EQ(notes.size(), 2u);
            EXPECT_TRUE(notes[0].IsNote(0x0104));
            EXPECT_EQ(notes[0].b[20], 0);
            EXPECT_EQ(notes[0].b[21], '5' + i);
            EXPECT_TRUE(notes[1].IsNote(0x0106));
            extras.push_back(notes[1].extra());
            if (notes[1].extra() == 677) {
                std::string text(reinterpret_cast<const char *>(&notes[1].b[20]));
                EXPECT_NE(text.find(std::string("KEY ") + char('5' + i)), std::string::npos) << text;
            }
        }
        std::vector<uint32_t> want = mode == sim::DisplayMode::Always  ? std::vector<uint32_t>{677, 677, 677}
                                     : mode == sim::DisplayMode::Never ? std::vector<uint32_t>{0, 0, 0}
                                                                       : std::vector<uint32_t>{677, 0, 677};
        EXPECT_EQ(extras, want);
        Frame key = Response(1, 5);
        EXPECT_EQ(key.b[21], 0);
        EXPECT_EQ(key.b[22], '7');
        sim::DestroyDevice(dev);
        dev = nullptr;
    }
}

TEST_F(SimTest, DisplayReadsAsText) {
    Start();
    EXPECT_EQ(sim::DisplayText(sim::Snapshot(dev)).rfind("READY  VOL 4\n", 0), 0u);
    Ask(2, 19, {6});
    Ask(1, 6, {0, '#'});
    Frame r = Response(1, 7);
    std::string text(reinterpret_cast<const char *>(&r.b[21]));
    EXPECT_EQ(text.rfind("READY  VOL 6\n", 0), 0u) << text;
    EXPECT_NE(text.find("KEY #"), std::string::npos) << text;
    sim::SetStatus(dev, 12);
    EXPECT_EQ(sim::DisplayText(sim::Snapshot(dev)).rfind("NOT READY 12", 0), 0u);
}

TEST_F(SimTest, RawDataIsEchoedAsNotification) {
    Start();
    std::vector<uint8_t> block(128);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(255 - i);
    auto f = Ask(0, 2, block);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1].b.size(), 64u);
    EXPECT_TRUE(f[2].IsNote(0x0002));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), f[2].b.begin() + 20));
}

// ---- contacts and recorder -------------------------------------------------

TEST_F(SimTest, ContactsAppendUntilFullAndDelete) {
    sim::DeviceConfig cfg;
    cfg.contactCount = 98;
    Start(cfg);
    std::vector<uint8_t> entry(164, 'x');
    entry[34] = 77;
    EXPECT_EQ(Response(4, 3, entry).b[21], 99);
    EXPECT_EQ(Response(4, 3, entry).b[21], 100);
    EXPECT_EQ(Response(4, 3, entry).b[21], 0) << "full";
    EXPECT_EQ(Response(4, 1).b[21], 100);
    EXPECT_EQ(Response(4, 2, {100}).b[55], 77);

    auto second = Response(4, 2, {2}).b;
    Ask(4, 4, {1});
    EXPECT_TRUE(std::equal(second.begin() + 21, second.end(), Response(4, 2, {1}).b.begin() + 21));
    EXPECT_EQ(Response(4, 1).b[21], 99);
    auto f = Ask(4, 4, {100});
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[1].status(), 0) << "no contact 100 any more";
    Ask(4, 4, {255});
    EXPECT_EQ(Response(4, 1).b[21], 0);
}

TEST_F(SimTest, ContactCountAboveTheStoredEntries) {
    sim::DeviceConfig cfg;
    cfg.contactCount = 120;
    Start(cfg);
    EXPECT_EQ(Response(4, 1).b[21], 120);
    EXPECT_EQ(Response(4, 2, {100}).b[55], 100);
    for (uint8_t n : {0, 101, 120}) {
        Frame r = Response(4, 2, {n});
        EXPECT_EQ(r.b.size(), 185u);
        EXPECT_TRUE(std::all_of(r.b.begin() + 21, r.b.end(), [](uint8_t b) { return b == 0; })) << int(n);
    }
    EXPECT_EQ(Response(4, 3, std::vector<uint8_t>(164, 1)).b[21], 0);
}

TEST_F(SimTest, RecorderRecordsPlaysAndDeletes) {
    sim::DeviceConfig cfg;
    cfg.recordCount = 1;
    cfg.playbackStep = 250;
    Start(cfg);
    const auto op = [&] { return U32(Response(6, 12).b, 21); };
    EXPECT_EQ(Response(5, 1).b[21], 1);
    Ask(6, 1);
    EXPECT_EQ(op(), sim::kRecRecording);
    Ask(6, 2);
    EXPECT_EQ(op(), sim::kRecIdle);
    EXPECT_EQ(Response(5, 1).b[21], 2);
    EXPECT_NE(U32(Response(5, 2, {2}).b, 21), 0u);

    Ask(6, 3, {2});
    EXPECT_EQ(op(), sim::kRecPlaying);
    EXPECT_EQ(U32(Response(6, 8).b, 21), 250u);
    EXPECT_EQ(U32(Response(6, 8).b, 21), 500u);
    Ask(6, 5);
    EXPECT_EQ(op(), sim::kRecPaused);
    EXPECT_EQ(U32(Response(6, 8).b, 21), 500u) << "paused: the position stays";
    Ask(6, 6, {0x10, 0x27, 0, 0});
    EXPECT_EQ(op(), sim::kRecPlaying);
    EXPECT_EQ(U32(Response(6, 8).b, 21), 10250u);
    Ask(6, 4);
    EXPECT_EQ(op(), sim::kRecIdle);
    auto f = Ask(6, 5);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[1].status(), 0) << "nothing to pause";

    Ask(6, 3, {1});
    Ask(5, 3, {1}); // deleting what plays stops it
    EXPECT_EQ(op(), sim::kRecIdle);
    EXPECT_EQ(Response(5, 1).b[21], 1);
    Ask(5, 4);
    EXPECT_EQ(Response(5, 1).b[21], 0);
    f = Ask(6, 3, {1});
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[1].status(), 0);
}

// ---- connection ----------------------------------------------------------

TEST_F(SimTest, NoCallbackAfterDisconnectReturns) {
    Start();
    std::atomic<int> oldCalls{0};
    ASSERT_TRUE(sim::ConnectSink(dev, [&](const uint8_t *, int32_t, int32_t) { ++oldCalls; }));
    for (int i = 0; i < 200; ++i)
        sim::SendRawBytes(dev, reinterpret_cast<const uint8_t *>("x"), 1);
    sim::Disconnect(dev);
    int seen = oldCalls.load();
    EXPECT_FALSE(sim::IsConnected(dev));
    ASSERT_TRUE(sim::ConnectSink(dev, [this](const uint8_t *d, int32_t n, int32_t t) { host.OnBytes(d, n, t); }));
    ASSERT_TRUE(Write(Request(1, 9)));
    ASSERT_TRUE(host.WaitFrames(3)); // version notice, ack, response
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    EXPECT_EQ(oldCalls.load(), seen);
}

TEST_F(SimTest, CallbackMayDisconnectOrDestroyItsDevice) {
    Start();
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    sim::Device *d = dev;
    ASSERT_TRUE(sim::ConnectSink(dev, [&, d](const uint8_t *, int32_t, int32_t type) {
        if (type == 6) {
            sim::Disconnect(d);
            sim::DestroyDevice(d);
            std::lock_guard<std::mutex> lk(mu);
            done = true;
            cv.notify_all();
        }
    }));
    dev = nullptr;
    sim::ReportLink(d, 6);
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(cv.wait_for(lk, kWait, [&] { return done; }));
}

TEST_F(SimTest, ConsoleOperationsNotify) {
    Start();
    sim::PressKey(dev, '1', 1);
    sim::SetRingerVolume(dev, 1);
    sim::SetReceiveVolume(dev, 3);
    sim::SetPlaybackVolume(dev, 5);
    uint8_t value[4] = {1, 2, 3, 4};
    EXPECT_TRUE(sim::ChangeItem(dev, 66, value, 4));
    EXPECT_FALSE(sim::ChangeItem(dev, 66, value, 3));
    EXPECT_FALSE(sim::ChangeItem(dev, 11, value, 4));
    uint8_t block[128] = {9};
    sim::SendRawData(dev, block);
    EXPECT_TRUE(sim::SendNotification(dev, 0x0123, nullptr, 0));
    sim::DropLink(dev);
    ASSERT_TRUE(sim::WaitIdle(dev, kWait));
    auto f = host.Frames();
    EXPECT_EQ(Events(f), (std::vector<uint16_t>{0x0104, 0x0106, 0x0107, 0x0108, 0x0109, 0x0301, 0x0002, 0x0123}));
    EXPECT_EQ(f[5].b[22], 1);
    EXPECT_EQ(f[5].b[25], 4);
    {
        std::lock_guard<std::mutex> lk(host.mu);
        EXPECT_EQ(host.types.back(), 7);
    }
    EXPECT_EQ(Response(3, 3).b[21], 66);
}

} // namespace
